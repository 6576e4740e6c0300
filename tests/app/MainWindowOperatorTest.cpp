// The window for an operator at the keyboard or with a screen reader: where the focus starts and
// where Tab takes it, Enter on a button, the names a screen reader reads.
#include "MainWindow.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QComboBox>
#include <QProgressBar>
#include <QTest>

#include <algorithm>

class MainWindowOperatorTest : public QObject
{
    Q_OBJECT

private slots:
    void focusStartsOnPortAndTabRunsDownTheLeftColumn();
    void enterPressesTheFocusedButton();
    void screenReaderNamesEveryControl();
};

void MainWindowOperatorTest::focusStartsOnPortAndTabRunsDownTheLeftColumn()
{
    MainWindow window;
    button(window, "pushButtonSend")->setEnabled(true); // as once a file is picked
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), child<QWidget>(window, "comboBoxPortName"));

    const QStringList order{"comboBoxBaudrate",     "comboBoxParity",  "comboBoxDataBit",
                            "comboBoxStopBit",      "pushButtonOpen",  "pushButtonLoadFirmware",
                            "pushButtonSend",       "pushButtonReset", "plainTextEditSend",
                            "plainTextEditReceive", "pushButtonClear", "comboBoxPortName"};
    QStringList visited;
    for (int i = 0; i < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, order);
}

void MainWindowOperatorTest::enterPressesTheFocusedButton()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QPushButton* clear = button(window, "pushButtonClear");
    clear->setFocus();
    for (const auto& [key, modifiers] :
         {std::pair{Qt::Key_Return, Qt::NoModifier}, std::pair{Qt::Key_Enter, Qt::KeypadModifier}}) {
        child<QPlainTextEdit>(window, "plainTextEditSend")->appendPlainText(QStringLiteral("status"));
        QTest::keyClick(clear, key, modifiers);
        QVERIFY(sendLog(window).isEmpty());
    }
}

void MainWindowOperatorTest::screenReaderNamesEveryControl()
{
    MainWindow window;
    // Each setting box is labelled by the caption beside it.
    const std::pair<const char*, const char*> captions[] = {
        {"labelPortName", "comboBoxPortName"}, {"labelBaudrate", "comboBoxBaudrate"},
        {"labelParity", "comboBoxParity"},     {"labelDataBit", "comboBoxDataBit"},
        {"labelStopBit", "comboBoxStopBit"},
    };
    for (const auto& [labelName, boxName] : captions) {
        auto* label = child<QLabel>(window, labelName);
        auto* box = child<QComboBox>(window, boxName);
        QCOMPARE(label->buddy(), box);
        QAccessibleInterface* boxInterface = QAccessible::queryAccessibleInterface(box);
        QVERIFY(boxInterface);
        // (The group box around it labels it too.)
        const auto labelledBy = boxInterface->relations(QAccessible::Label);
        QVERIFY2(
            std::any_of(labelledBy.begin(), labelledBy.end(),
                        [label = label](const auto& relation) { return relation.first->object() == label; }),
            labelName);
    }
    // The bar and the logs are named for what they show, not for the group around them.
    const std::pair<const char*, const char*> names[] = {
        {"progressBar", "Flashing progress"},
        {"plainTextEditSend", "Send log"},
        {"plainTextEditReceive", "Receive log"},
    };
    for (const auto& [widgetName, name] : names) {
        QAccessibleInterface* interface =
            QAccessible::queryAccessibleInterface(child<QWidget>(window, widgetName));
        QVERIFY(interface);
        QCOMPARE(interface->text(QAccessible::Name), QString::fromLatin1(name));
    }
}

QTEST_MAIN(MainWindowOperatorTest)
#include "MainWindowOperatorTest.moc"
