// Output for people: the status lines as the window's action log shows them, the chip's replies
// after "> ", and with several ports every line prefixed with its port.
#pragma once

#include "cli/Console.h"
#include "cli/RunEvents.h"

namespace morvane::cli {

// Splits a text into the lines to print: "\r\n" and "\n" end a line, a final line break does
// not add an empty line, and an empty text is one empty line.
QStringList printableLines(const QString& text);

// Status lines and replies on standard output; with several ports each port's lines are prefixed
// with it and end with "PORT: Result: RESULT".
class TextOutput : public RunSink
{
public:
    TextOutput(Console& console, bool prefixPorts) : console(console), prefixPorts(prefixPorts) {}

    void take(const RunEvent& event) override;

private:
    QByteArray lines(const QString& port, const QString& lead, const QString& text) const;

    Console& console;
    bool prefixPorts;
};

// What people must read whatever the output format, on standard error: a port that could not be
// opened (the library's code and text, the system's reason and what to do about it), where a run
// that ended early left the chip, and why a port the program found was skipped.
class NoticeOutput : public RunSink
{
public:
    explicit NoticeOutput(Console& console) : console(console) {}

    void take(const RunEvent& event) override;

private:
    Console& console;
};

} // namespace morvane::cli
