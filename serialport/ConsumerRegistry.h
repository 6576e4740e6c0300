// The listener and the parser of one port, and the calls made to them. Every call goes through
// here, so that removing or replacing a consumer can wait for the calls that may still use the
// old one, and an opening that has been closed tells nobody any more.
#pragma once

#include "serialport/CSerialPortListener.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vandrel {

class ConsumerRegistry
{
public:
    ConsumerRegistry();
    ConsumerRegistry(const ConsumerRegistry&) = delete;
    ConsumerRegistry& operator=(const ConsumerRegistry&) = delete;

    // Registration. Removing the listener and replacing the parser return once no call that
    // started before runs on another thread; called from inside a call of this port they return
    // at once (a thread cannot wait for the call it is in).
    void connectListener(CSerialPortListener* listener);
    void disconnectListener();
    void setParser(ProtocolParser* parser);
    bool hasListener() const;
    // Someone is told of received bytes: a listener or a parser.
    bool hasConsumer() const;

    // Openings. Received bytes are handed on only for the live opening.
    std::uint64_t beginOpening();
    // Ends `opening` if it is the live one: no call for it starts any more.
    void endOpening(std::uint64_t opening);
    bool isLive(std::uint64_t opening) const;

    // True on a thread that is inside a call of this port's listener or parser.
    bool isInsideCall() const;
    // Returns once no call that started before runs on another thread (at once from inside one).
    void waitForRunningCalls();

    // Calls the listener on this thread when there is one, no parser, and `opening` is live;
    // false when nobody was told.
    bool notifyListener(std::uint64_t opening, const char* portName, unsigned int readBufferLen);

    // One call of the parser, counted as running while this object lives. parser() is null when
    // there is no parser or `opening` is not live.
    class ParserCall
    {
    public:
        ParserCall(ConsumerRegistry& registry, std::uint64_t opening);
        ~ParserCall();
        ParserCall(const ParserCall&) = delete;
        ParserCall& operator=(const ParserCall&) = delete;
        ProtocolParser* parser() const { return target; }

    private:
        ConsumerRegistry& registry;
        ProtocolParser* target = nullptr;
    };

private:
    struct RunningCall
    {
        std::thread::id thread;
        std::uint64_t era; // the era in which it started
    };

    void enter(); // under the lock
    void leave();
    bool isInsideCallLocked() const;
    // Starts a new era and waits until every call of an earlier one has ended on other threads.
    void beginEraAndWait(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex;
    std::condition_variable callEnded;
    CSerialPortListener* listener = nullptr;
    ProtocolParser* parser = nullptr;
    std::uint64_t liveOpening = 0; // 0 while closed
    std::uint64_t lastOpening = 0;
    std::uint64_t era = 0; // raised by every change that calls already running must not outlive
    std::vector<RunningCall> running;
};

} // namespace vandrel
