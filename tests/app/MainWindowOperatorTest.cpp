// The window for an operator at the keyboard or with a screen reader, and its logs: where the
// focus starts and where Tab takes it, Enter on a button, the names a screen reader reads, the
// logs' length and saving them.
#include "MainWindow.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QMenu>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

#include <algorithm>

namespace {

// Hands the next popup menu to `handler` as soon as it is shown; checks every 10 ms for up to 20 s.
void whenMenuShown(std::function<void(QMenu*)> handler)
{
    auto* poll = new QTimer(qApp);
    auto remaining = std::make_shared<int>(20000);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, remaining, handler] {
        *remaining -= poll->interval();
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu || *remaining <= 0) {
            poll->stop();
            poll->deleteLater();
            if (menu)
                handler(menu);
        }
    });
    poll->start();
}

} // namespace

class MainWindowOperatorTest : public QObject
{
    Q_OBJECT

private slots:
    void focusStartsOnPortAndTabRunsDownTheLeftColumn();
    void enterPressesTheFocusedButton();
    void screenReaderNamesEveryControl();
    void logsKeepTheirLastLinesAndSaveThem();
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

void MainWindowOperatorTest::logsKeepTheirLastLinesAndSaveThem()
{
    constexpr int Kept = 100000;
    MainWindow window;
    for (const char* name : {"plainTextEditSend", "plainTextEditReceive"}) {
        auto* log = child<QPlainTextEdit>(window, name);
        for (int i = 0; i < Kept + 10; ++i)
            log->appendPlainText(QString::number(i));
        QCOMPARE(log->blockCount(), Kept);
        QCOMPARE(log->document()->firstBlock().text(), QStringLiteral("10"));
        QCOMPARE(log->document()->lastBlock().text(), QString::number(Kept + 9));
    }

    // "Save log…" in a pane's context menu writes what the pane holds.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString saved = dir.filePath(QStringLiteral("replies.txt"));
    auto* replies = child<QPlainTextEdit>(window, "plainTextEditReceive");
    bool offered = false;
    whenMenuShown([&offered, saved](QMenu* menu) {
        for (QAction* action : menu->actions()) {
            if (action->text() != QStringLiteral("Save log\u2026"))
                continue;
            offered = true;
            answerNextFileDialog(saved);
            menu->setActiveAction(action);
            QTest::keyClick(menu, Qt::Key_Return);
            return;
        }
        menu->close();
    });
    const QPoint at(10, 10);
    QContextMenuEvent request(QContextMenuEvent::Keyboard, at, replies->viewport()->mapToGlobal(at));
    QApplication::sendEvent(replies->viewport(), &request);
    QVERIFY(offered);
    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(QString::fromUtf8(file.readAll()), replies->toPlainText() + QLatin1Char('\n'));
}

QTEST_MAIN(MainWindowOperatorTest)
#include "MainWindowOperatorTest.moc"
