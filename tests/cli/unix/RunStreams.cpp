#include "RunStreams.h"

struct RunStreams::Platform
{
};

RunStreams::RunStreams(QProcess& process, Received received, std::function<void()> ended)
{
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [&process, received] {
        received(QProcess::StandardOutput, process.readAllStandardOutput());
    });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process, [&process, received] {
        received(QProcess::StandardError, process.readAllStandardError());
    });
    QObject::connect(&process, &QProcess::finished, &process, [&process, received, ended] {
        received(QProcess::StandardOutput, process.readAllStandardOutput());
        received(QProcess::StandardError, process.readAllStandardError());
        ended();
    });
}

RunStreams::~RunStreams() = default;

void RunStreams::started() {}
