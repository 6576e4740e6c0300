// Output for people: the status lines as the window's action log shows them, the chip's replies
// after "> ", and with several ports every line prefixed with its port.
#pragma once

#include "cli/Console.h"
#include "cli/RunOutput.h"

namespace morvane::cli {

// Splits a text into the lines to print: "\r\n" and "\n" end a line, a final line break does
// not add an empty line, and an empty text is one empty line.
QStringList printableLines(const QString& text);

// Status lines and replies on standard output; with several ports each port's lines are prefixed
// with it and end with "PORT: Result: RESULT".
class TextOutput : public RunOutput
{
public:
    TextOutput(Console& console, bool prefixPorts);

    void taskBegun(const QString& port, Command task, const QString& file) override;
    void statusLine(const QString& port, const QString& text) override;
    void replyLine(const QString& port, const QString& text) override;
    void progress(const QString& port, const Progress& progress) override;
    void taskEnded(const QString& port, Command task, const TaskResult& result) override;
    void portChanged(const QString& port, bool added) override;

private:
    QByteArray lines(const QString& port, const QString& lead, const QString& text) const;

    Console& console;
    bool prefixPorts;
};

// What people must read whatever the output format, on standard error: a port that could not be
// opened (the library's code and text, the system's reason and what to do about it), and in
// which state a run left the chip when it ended early (interrupted, boot mode, port gone), and why
// a port the program found was skipped.
class NoticeOutput : public RunOutput
{
public:
    explicit NoticeOutput(Console& console) : console(console) {}

    void taskBegun(const QString&, Command, const QString&) override {}
    void statusLine(const QString&, const QString&) override {}
    void replyLine(const QString&, const QString&) override {}
    void progress(const QString&, const Progress&) override {}
    void taskEnded(const QString& port, Command task, const TaskResult& result) override;

private:
    Console& console;
};

} // namespace morvane::cli
