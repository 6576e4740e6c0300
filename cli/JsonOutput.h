// Output for scripts and test rigs: one JSON object per line and event, each naming its port.
// The format is described in docs/cli.md and kept stable.
#pragma once

#include "cli/Console.h"
#include "cli/RunOutput.h"

#include <QJsonObject>

namespace morvane::cli::json {

QJsonObject beginEvent(const QString& port, Command task, const QString& file);
QJsonObject statusEvent(const QString& port, const QString& text);
QJsonObject replyEvent(const QString& port, const QString& text);
QJsonObject progressEvent(const QString& port, const Progress& progress);
QJsonObject endEvent(const QString& port, Command task, const TaskResult& result);
QJsonObject portChangeEvent(const QString& port, bool added); // "added" or "removed"

// One compact line, ending in '\n'.
QByteArray line(const QJsonObject& event);

} // namespace morvane::cli::json

namespace morvane::cli {

class JsonOutput : public RunOutput
{
public:
    explicit JsonOutput(Console& console) : console(console) {}

    void taskBegun(const QString& port, Command task, const QString& file) override;
    void statusLine(const QString& port, const QString& text) override;
    void replyLine(const QString& port, const QString& text) override;
    void progress(const QString& port, const Progress& progress) override;
    void taskEnded(const QString& port, Command task, const TaskResult& result) override;
    void portChanged(const QString& port, bool added) override;

private:
    Console& console;
};

} // namespace morvane::cli
