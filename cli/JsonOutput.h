// Output for scripts and test rigs: one JSON object per line and event, each naming its port.
// The format is described in docs/cli.md and kept stable.
#pragma once

#include "cli/Console.h"
#include "cli/RunEvents.h"

#include <QJsonObject>

namespace morvane::cli {

namespace json {

// The object of an event: "begin", "status", "reply", "progress", "end", "added" or "removed".
QJsonObject eventObject(const RunEvent& event);
// One compact line, ending in '\n'.
QByteArray line(const QJsonObject& object);

} // namespace json

class JsonOutput : public RunSink
{
public:
    explicit JsonOutput(Console& console) : console(console) {}

    void take(const RunEvent& event) override { console.writeOut(json::line(json::eventObject(event))); }

private:
    Console& console;
};

} // namespace morvane::cli
