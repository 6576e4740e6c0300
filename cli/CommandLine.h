// What the user asked morvane-flash to do, read from the command line.
#pragma once

#include "serialport/SerialPortGlobal.h"

#include <QString>
#include <QStringList>

namespace morvane::cli {

// Exit status of the program: the worst of all ports, in this order.
enum ExitStatus
{
    ExitSuccess = 0,
    ExitChipFailure = 1, // time-out, a run that cannot go on, a chip in boot mode, a port gone
    ExitBadInput = 2,    // bad usage, bad image, a port that cannot be opened
    ExitInterrupted = 3, // stopped by the user (Ctrl+C, a termination request, the terminal gone)
    ExitOutputLost = 4   // standard output could not be written: the results did not arrive
};

// The baud rates accepted: from the slowest the window offers to the fastest standard rate of
// serial drivers. Slower rates would stretch the wait for the end of an answer to minutes.
constexpr int MinBaudRate = 300;
constexpr int MaxBaudRate = 4000000;

enum class Command
{
    Info,
    Flash,
    Reset,
    List
};

// Line settings passed to CSerialPort::init; flow control and buffer size are fixed.
struct LineSettings
{
    int baudRate = 115200;
    Parity parity = ParityNone;
    DataBits dataBits = DataBits8;
    StopBits stopBits = StopBitsOne;
};

struct Options
{
    Command command = Command::Info;
    QStringList ports;     // in the order given, each at most once; empty with allPorts and onArrival
    bool allPorts = false; // --port all: every listed port whose chip answers
    LineSettings line;
    QString firmwareFile;   // flash only
    bool onArrival = false; // flash only: each port as it arrives, until interrupted
    QString reportFile;     // --report: where each chip's run is recorded; empty for none
    bool json = false;
    bool watch = false; // list only
    bool probe = false; // list only: ask every port for its firmware information
};

// The port name that stands for every listed port whose chip answers.
inline const QString AllPorts = QStringLiteral("all");

struct ParseResult
{
    enum Kind
    {
        Run,
        ShowHelp,
        ShowVersion,
        UsageError
    };
    Kind kind = UsageError;
    Options options;
    QString error; // for UsageError: one line that says what is wrong
};

// The program's arguments after its name, whole: on Unix argv's bytes as fromLocalBytes() reads
// them; on Windows the command line in UTF-16 as the system holds it (argv has it in the ANSI code
// page, which cannot spell every file name).
QStringList programArguments(int argc, char* argv[]);

// Reads the arguments after the program name.
ParseResult parseCommandLine(const QStringList& arguments);

QString usageText();
QString commandName(Command command);

} // namespace morvane::cli
