// Helpers shared by the window tests: widgets by object name and the modal boxes the window opens.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

// The child of `window` with that object name and class, or null.
template <typename Widget> Widget* child(QWidget& window, const char* objectName)
{
    return window.findChild<Widget*>(QString::fromLatin1(objectName));
}

inline QPushButton* button(QWidget& window, const char* objectName)
{
    return child<QPushButton>(window, objectName);
}

inline QString labelText(QWidget& window, const char* objectName)
{
    return child<QLabel>(window, objectName)->text();
}

// The window's one timer: the guard that ends an unanswered request.
inline QTimer* guardTimer(QWidget& window)
{
    const auto timers = window.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
    return timers.size() == 1 ? timers.front() : nullptr;
}

inline QString plainText(QWidget& window, const char* objectName)
{
    QPlainTextEdit* edit = child<QPlainTextEdit>(window, objectName);
    return edit ? edit->toPlainText() : QString();
}

inline QString sendLog(QWidget& window)
{
    return plainText(window, "plainTextEditSend");
}

inline QString receiveLog(QWidget& window)
{
    return plainText(window, "plainTextEditReceive");
}

// Hands the next modal widget to `handler` as soon as it is shown. Window slots that open a box
// block in the box's own event loop, so the test must arrange this before pressing the button.
// Checks the event loop every 10 ms until `timeoutMs` have passed.
inline void whenModalShown(std::function<void(QWidget*)> handler, int timeoutMs = 20000)
{
    auto* poll = new QTimer(qApp);
    auto remaining = std::make_shared<int>(timeoutMs);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, remaining, handler] {
        *remaining -= poll->interval();
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            handler(modal);
        } else if (*remaining <= 0) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start();
}

// What a message box said; filled when the box is closed.
struct SeenBox
{
    bool seen = false;
    QString title;
    QString text;
    QString className;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Closes the next modal box with `answer` (Ok: its default answer) and records its title and
// text; a dialog that is no message box is rejected.
inline std::shared_ptr<SeenBox> closeNextBox(QMessageBox::StandardButton answer = QMessageBox::Ok)
{
    auto seen = std::make_shared<SeenBox>();
    whenModalShown([seen, answer](QWidget* modal) {
        seen->seen = true;
        seen->title = modal->windowTitle();
        seen->className = QString::fromLatin1(modal->metaObject()->className());
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen->text = box->text();
            if (box->defaultButton())
                seen->defaultButton = box->standardButton(box->defaultButton());
            // Pressed as a user would: a box asked for its answer reports the button clicked.
            if (QAbstractButton* pressed = box->button(answer))
                pressed->click();
            else
                box->done(answer);
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        } else {
            modal->close();
        }
    });
    return seen;
}

// Answers the next file dialog with `path`, typed into its file-name field and accepted as a user
// would. The dialog fills its file list in the background, so this tries again until the dialog
// takes the choice and closes.
inline void answerNextFileDialog(const QString& path)
{
    whenModalShown([path](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        auto* retry = new QTimer(dialog);
        QObject::connect(retry, &QTimer::timeout, dialog, [dialog, path] {
            if (auto* fileName = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                fileName->setText(path);
            static_cast<QDialog*>(dialog)->accept();
        });
        retry->start(10);
    });
}
