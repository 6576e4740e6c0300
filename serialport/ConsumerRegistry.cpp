#include "serialport/ConsumerRegistry.h"

#include <algorithm>

namespace vandrel {

ConsumerRegistry::ConsumerRegistry()
{
    // A receive thread and a delayed notification at most, and a retired receive thread or two:
    // calls never allocate.
    running.reserve(8);
}

void ConsumerRegistry::connectListener(CSerialPortListener* newListener)
{
    std::lock_guard<std::mutex> lock(mutex);
    listener = newListener;
}

void ConsumerRegistry::disconnectListener()
{
    std::unique_lock<std::mutex> lock(mutex);
    listener = nullptr;
    beginEraAndWait(lock);
}

void ConsumerRegistry::setParser(ProtocolParser* newParser)
{
    std::unique_lock<std::mutex> lock(mutex);
    const bool replacing = parser && parser != newParser;
    parser = newParser;
    if (replacing)
        beginEraAndWait(lock);
}

bool ConsumerRegistry::hasListener() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return listener != nullptr;
}

bool ConsumerRegistry::hasConsumer() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return listener || parser;
}

std::uint64_t ConsumerRegistry::beginOpening()
{
    std::lock_guard<std::mutex> lock(mutex);
    liveOpening = ++lastOpening;
    return liveOpening;
}

void ConsumerRegistry::endOpening(std::uint64_t opening)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (liveOpening == opening)
        liveOpening = 0;
}

bool ConsumerRegistry::isLive(std::uint64_t opening) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return opening != 0 && opening == liveOpening;
}

bool ConsumerRegistry::isInsideCall() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return isInsideCallLocked();
}

void ConsumerRegistry::waitForRunningCalls()
{
    std::unique_lock<std::mutex> lock(mutex);
    beginEraAndWait(lock);
}

bool ConsumerRegistry::notifyListener(std::uint64_t opening, const char* portName, unsigned int readBufferLen)
{
    CSerialPortListener* target;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // While a parser is registered it takes the bytes: the listener is not called, not even
        // by a delayed notification armed before.
        if (opening == 0 || opening != liveOpening || !listener || parser)
            return false;
        target = listener;
        enter();
    }
    struct Leave
    {
        ConsumerRegistry& registry;
        ~Leave() { registry.leave(); }
    } leaveAfterwards{*this};
    target->onReadEvent(portName, readBufferLen);
    return true;
}

ConsumerRegistry::ParserCall::ParserCall(ConsumerRegistry& registry, std::uint64_t opening)
    : registry(registry)
{
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (opening == 0 || opening != registry.liveOpening || !registry.parser)
        return;
    target = registry.parser;
    registry.enter();
}

ConsumerRegistry::ParserCall::~ParserCall()
{
    if (target)
        registry.leave();
}

void ConsumerRegistry::enter()
{
    running.push_back({std::this_thread::get_id(), era});
}

void ConsumerRegistry::leave()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto self = std::this_thread::get_id();
        const auto call = std::find_if(running.rbegin(), running.rend(),
                                       [&](const RunningCall& c) { return c.thread == self; });
        if (call != running.rend())
            running.erase(std::next(call).base());
    }
    callEnded.notify_all();
}

bool ConsumerRegistry::isInsideCallLocked() const
{
    const auto self = std::this_thread::get_id();
    return std::any_of(running.begin(), running.end(),
                       [&](const RunningCall& c) { return c.thread == self; });
}

void ConsumerRegistry::beginEraAndWait(std::unique_lock<std::mutex>& lock)
{
    const std::uint64_t newEra = ++era;
    if (isInsideCallLocked())
        return;
    callEnded.wait(lock, [&] {
        return std::none_of(running.begin(), running.end(),
                            [&](const RunningCall& c) { return c.era < newEra; });
    });
}

} // namespace vandrel
