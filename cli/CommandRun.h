// What every command that works on ports sets up the same way, in one place: the report, the
// sinks its events go to, the image it flashes, the interrupt and the event loop, and the status
// it ends with. info, flash and reset on named ports or --port all, list --probe, flash
// --on-arrival and list --watch each make one and hand its events to it.
//
// Main thread only: created after the QCoreApplication, and outlives the sessions it serves.
#pragma once

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/JsonOutput.h"
#include "cli/ProgressBoard.h"
#include "cli/RunEvents.h"
#include "cli/RunReport.h"
#include "cli/TextOutput.h"
#include "flasher/FirmwareImage.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace morvane::cli {

class CommandRun
{
public:
    CommandRun(const Options& options, Console& console);
    CommandRun(const CommandRun&) = delete;
    CommandRun& operator=(const CommandRun&) = delete;

    const Options& options() const { return given; }
    Console& console() { return out; }

    // --report, when asked for: checks that the file can be written; false, said on standard
    // error, when it cannot. Its records go to the file once recordResults() is called.
    bool openReport();
    // flash: reads the image, once; false, said as the engine says it, when it is refused.
    // `refusedPorts` each get the refusal as their task's beginning, its lines and its end;
    // with none it goes to standard error.
    bool readImage(const QStringList& refusedPorts);
    const rq75x::ImageRead& imageRead() const { return read; }
    const rq75x::FirmwareImage* image() const { return read.image.get(); }

    // Events shown as the user chose: text or JSON on standard output, the notices on standard
    // error, and the progress board where standard error is a terminal. `prefixPorts`: each text
    // line starts with its port. `boardPorts` and `finished` as for ProgressBoard.
    void showEvents(bool prefixPorts, const QStringList& boardPorts,
                    ProgressBoard::Finished finished = ProgressBoard::KeepFinished);
    void addSink(RunSink& sink) { sinks.push_back(&sink); }
    // From now on every result is recorded in the report, before any sink hears of it.
    void recordResults();

    void tell(const RunEvent& event);

    // Calls `begin` and runs the event loop until quit(). The first request to stop (Ctrl+C, a termination
    // request, the terminal gone) calls `onStop` on this thread, after saying on standard error
    // that the program stops when `sayStopping`; a second one ends the process at once with
    // `forcedExit`.
    void exec(const std::function<void()>& begin, const std::function<void()>& onStop,
              bool sayStopping = true, ExitStatus forcedExit = ExitInterrupted);
    // Ends the event loop once control returns to it (also before it has started).
    static void quit();

    // `status`, or 4 when records were lost or standard output could not be written.
    ExitStatus statusWith(ExitStatus status) const;
    // The program's status, statusWith(`status`). Results that standard output could not take
    // are repeated on standard error: each port's result and `summary`.
    ExitStatus finish(ExitStatus status, const QByteArray& summary = {});

private:
    const Options given;
    Console& out;
    std::unique_ptr<RunReport> report;
    rq75x::ImageRead read; // flash
    std::optional<TextOutput> text;
    std::optional<JsonOutput> json;
    std::optional<NoticeOutput> notices;
    std::optional<ProgressBoard> board;
    std::vector<RunSink*> sinks;
    std::vector<std::pair<QString, TaskOutcome>> results; // in the order they came
};

} // namespace morvane::cli
