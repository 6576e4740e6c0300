// A fake chip port and a recording front end for the engine tests. Both write into one
// timeline, so a test sees writes, time-outs, pauses and messages in the order they happened.
#pragma once

#include "flasher/FlashEngine.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace enginetest {

using Bytes = std::vector<uint8_t>;

class Timeline
{
public:
    // Called with every entry as it is added, on the adding thread: lets a test make something
    // happen at an exact point of a run.
    std::function<void(const std::string&)> onEntry;

    void add(std::string entry)
    {
        if (onEntry)
            onEntry(entry);
        const std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(std::move(entry));
    }
    std::vector<std::string> take()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> taken;
        taken.swap(entries);
        return taken;
    }

private:
    std::mutex mutex;
    std::vector<std::string> entries;
};

// Behaves as CSerialPort does for the engine: reads fail once it is closed (14) or once the
// device has gone (18), and close() returns only when the notification being handled on another
// thread has returned, as closing the real port joins its receive thread.
class FakeChipPort : public rq75x::ChipPort
{
public:
    explicit FakeChipPort(Timeline& timeline) : timeline(timeline) {}

    bool isOpen() override
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return open;
    }
    int readData(void* data, int size) override
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (failReads || !open || (gone && pending.empty())) {
            error = !open ? 14 : gone ? 18 : 14;
            return -1;
        }
        const int count = std::min(size, static_cast<int>(pending.size()));
        std::copy(pending.begin(), pending.begin() + count, static_cast<uint8_t*>(data));
        pending.erase(pending.begin(), pending.begin() + count);
        return count;
    }
    int writeData(const void* data, int size) override
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        Bytes frame(bytes, bytes + size);
        // Block frames are named by number and length; everything shorter is shown in full.
        if (size > 9 && bytes[0] == 0x55 && bytes[2] == 0x33)
            timeline.add("write: block " + std::to_string(bytes[3] << 8 | bytes[4]) + ", " +
                         std::to_string(size) + " bytes");
        else
            timeline.add("write: " +
                         QByteArray(static_cast<const char*>(data), size).toHex(' ').toUpper().toStdString());
        const std::lock_guard<std::mutex> lock(mutex);
        written.push_back(std::move(frame));
        return size;
    }
    void close() override
    {
        timeline.add("close");
        std::unique_lock<std::mutex> lock(mutex);
        open = false;
        if (handlerThread != std::this_thread::get_id())
            handlerDone.wait_for(lock, std::chrono::seconds(10), [this] { return handlers == 0; });
    }
    int lastError() override
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return error;
    }
    unsigned int bytesWaiting() override
    {
        if (onBytesWaitingAsked)
            onBytesWaitingAsked();
        const std::lock_guard<std::mutex> lock(mutex);
        return static_cast<unsigned int>(pending.size());
    }

    void receive(const Bytes& bytes)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        pending.insert(pending.end(), bytes.begin(), bytes.end());
    }
    void hangUp()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        gone = true;
    }
    void reopen()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        open = true;
        gone = false;
        pending.clear();
    }
    std::vector<Bytes> takeWritten()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        std::vector<Bytes> taken;
        taken.swap(written);
        return taken;
    }

    // Brackets a notification's handling, as the receive thread's call of the listener.
    void handlerBegins()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        ++handlers;
        handlerThread = std::this_thread::get_id();
    }
    void handlerEnds()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            --handlers;
            handlerThread = {};
        }
        handlerDone.notify_all();
    }

    std::atomic<bool> failReads{false};
    // Called, on the engine's thread, each time the engine asks what is waiting.
    std::function<void()> onBytesWaitingAsked;

private:
    Timeline& timeline;
    std::mutex mutex;
    std::condition_variable handlerDone;
    bool open = true;
    bool gone = false;
    int error = 0;
    int handlers = 0;
    std::thread::id handlerThread;
    Bytes pending;
    std::vector<Bytes> written;
};

inline const char* outcomeName(rq75x::RunOutcome outcome)
{
    switch (outcome) {
    case rq75x::RunOutcome::Completed:
        return "Completed";
    case rq75x::RunOutcome::TimedOut:
        return "TimedOut";
    case rq75x::RunOutcome::ImageUnreadable:
        return "ImageUnreadable";
    case rq75x::RunOutcome::Aborted:
        return "Aborted";
    case rq75x::RunOutcome::Disconnected:
        return "Disconnected";
    case rq75x::RunOutcome::Stopped:
        return "Stopped";
    }
    return "?";
}

inline std::string stageName(const rq75x::RunPosition& at)
{
    using rq75x::RunStage;
    switch (at.stage) {
    case RunStage::Idle:
        return "idle";
    case RunStage::FirmwareInfo:
        return "firmware info";
    case RunStage::BootRequest:
        return "boot request";
    case RunStage::BootReady:
        return "boot ready";
    case RunStage::Block:
        return "block " + std::to_string(at.block) + "/" + std::to_string(at.totalBlocks);
    case RunStage::BlockWritten:
        return "written " + std::to_string(at.block) + "/" + std::to_string(at.totalBlocks);
    case RunStage::EndOfData:
        return "end of data";
    case RunStage::FactoryReset:
        return "factory reset";
    case RunStage::ExitBootMode:
        return "exit boot mode";
    case RunStage::Completed:
        return "completed";
    }
    return "?";
}

// Writes the engine's events into the timeline as the window would place them: "log: " for the
// status log, "show: " for the action line, "report: " for the reply log's messages, "reply: " for
// the chip's replies, "receive: " for a reply-log line without progress.
class RecordingEvents : public rq75x::FlashEvents
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    RecordingEvents(Timeline& timeline, std::function<TimePoint()> clock)
        : timeline(timeline), clock(std::move(clock))
    {
    }

    // Stages are written into the timeline only when a test asks for them.
    std::atomic<bool> recordStages{false};

    void runStarted(rq75x::RunTask task) override
    {
        timeline.add(task == rq75x::RunTask::FactoryReset ? "started: reset" : "started: flash");
    }
    void stageReached(const rq75x::RunPosition& position) override
    {
        if (recordStages)
            timeline.add("stage: " + stageName(position));
    }
    void message(const rq75x::Message& message) override
    {
        using rq75x::MessagePlace;
        switch (message.place) {
        case MessagePlace::Log:
            add("log: ", message.text);
            break;
        case MessagePlace::LogAndAction:
            add("log: ", message.text);
            add("show: ", message.text);
            break;
        case MessagePlace::Report:
            add("report: ", message.text);
            break;
        case MessagePlace::ReportAndAction:
            add("report: ", message.text);
            add("show: ", message.text);
            break;
        case MessagePlace::ReplyLog:
            add("receive: ", message.text);
            break;
        }
    }
    void replied(const rq75x::ChipReply& reply) override
    {
        add("reply: ", reply.text);
        const std::lock_guard<std::mutex> lock(timerMutex);
        replies.push_back(reply);
    }
    void guardChanged(unsigned int ms) override
    {
        timeline.add("timer: " + std::to_string(ms));
        const std::lock_guard<std::mutex> lock(timerMutex);
        timerDue = ms == 0 ? TimePoint::max() : clock() + std::chrono::milliseconds(ms);
    }
    void runEnded(const rq75x::RunEnd& end) override
    {
        timeline.add(std::string("ended: ") + outcomeName(end.outcome));
        const std::lock_guard<std::mutex> lock(timerMutex);
        lastEnd = end;
    }

    // When the front end's timer would fire; max() while it is stopped.
    TimePoint timerDueAt()
    {
        const std::lock_guard<std::mutex> lock(timerMutex);
        return timerDue;
    }
    rq75x::RunEnd lastRunEnd()
    {
        const std::lock_guard<std::mutex> lock(timerMutex);
        return lastEnd;
    }
    // Every reply told so far, with whether it was in turn.
    std::vector<rq75x::ChipReply> takeReplies()
    {
        const std::lock_guard<std::mutex> lock(timerMutex);
        std::vector<rq75x::ChipReply> taken;
        taken.swap(replies);
        return taken;
    }

private:
    void add(const char* kind, const QString& text) { timeline.add(kind + text.toStdString()); }
    Timeline& timeline;
    std::function<TimePoint()> clock;
    std::mutex timerMutex;
    TimePoint timerDue = TimePoint::max();
    rq75x::RunEnd lastEnd;
    std::vector<rq75x::ChipReply> replies;
};

// Image bytes that differ from block to block, so a block sent from the wrong offset shows.
inline Bytes patternImage(size_t size, uint8_t seed = 0)
{
    Bytes image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t>((i * 7 + i / 256 * 31 + seed) & 0xFF);
    return image;
}

// Image files in a directory that lives as long as the test.
class ImageFiles
{
public:
    QString path(const QString& name) const { return dir.filePath(name); }
    QString write(const Bytes& image, const QString& name = QStringLiteral("image.bin"))
    {
        const QString file = path(name);
        QFile out(file);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    out.write(reinterpret_cast<const char*>(image.data()), qint64(image.size())) ==
                        qint64(image.size()))
            << file.toStdString();
        return file;
    }

private:
    QTemporaryDir dir;
};

// The chip's replies, padded the way a bootloader answers.
inline const Bytes AckBootReady = {0x55, 0x66, 0x32, 0x00, 0x01, 0x00};
inline const Bytes AckBlock = {0x55, 0x66, 0x33, 0x00, 0x01, 0x00};
inline const Bytes AckEndOfData = {0x55, 0x66, 0x34, 0x00, 0x01, 0x00};
inline const Bytes AckBootExited = {0x55, 0x66, 0x35, 0x00, 0x01, 0x00};
inline const Bytes AckFactoryReset = {0x55, 0x66, 0x36, 0x00, 0x01, 0x00};

// One chip's engine wired to a fake port and a recording front end. Pauses are recorded, not
// waited out; the clock stands still unless the test moves it.
struct EngineBench
{
    using TimePoint = std::chrono::steady_clock::time_point;

    Timeline timeline;
    FakeChipPort port{timeline};
    std::atomic<int64_t> clockNs{0};
    RecordingEvents events{timeline, [this] { return now(); }};
    rq75x::FlashEngine engine{port, events,
                              [this](unsigned int ms) { timeline.add("pause: " + std::to_string(ms)); },
                              [this] { return now(); }};

    TimePoint now() const { return TimePoint(std::chrono::nanoseconds(clockNs.load())); }
    void advance(std::chrono::nanoseconds by) { clockNs += by.count(); }

    // The receive thread's call of the listener for `length` bytes.
    void notify(unsigned int length)
    {
        port.handlerBegins();
        engine.onReadEvent(length);
        port.handlerEnds();
    }
    void chipSends(const Bytes& reply)
    {
        port.receive(reply);
        notify(static_cast<unsigned int>(reply.size()));
    }
    // The front end's timer fires when it is due: the clock moves on to that moment, no later.
    bool guardFires()
    {
        const TimePoint due = events.timerDueAt();
        if (due != TimePoint::max() && due > now())
            clockNs = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
        return engine.onTimerFired();
    }

    // Flashes the file at `path` with a chip that acknowledges every frame; returns every frame
    // written.
    std::vector<Bytes> flashWholeFile(const QString& path)
    {
        const rq75x::ImageRead read = rq75x::readFirmwareImage(path);
        engine.startFlash(read);
        chipSends(AckBootReady);
        for (uint32_t block = 1; read.image && block <= read.image->totalBlocks; ++block)
            chipSends(AckBlock);
        chipSends(AckEndOfData);
        chipSends(AckBootExited);
        return port.takeWritten();
    }
};

} // namespace enginetest
