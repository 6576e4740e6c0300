#include "PortTestSupport.h"

#include <windows.h>

namespace vandrel::wintest {

Bytes patternBytes(size_t count, unsigned int seed)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<unsigned char>((seed * 131u + i * 7u + (i >> 8)) & 0xFF);
    return bytes;
}

bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        WaitForSingleObject(GetCurrentThread(), 5);
    }
    return true;
}

void ReceivingListener::onReadEvent(const char*, unsigned int readBufferLen)
{
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(mutex);
        action.swap(nextAction);
    }
    if (action)
        action();
    std::vector<char> chunk(readBufferLen);
    const int got =
        readsData && readBufferLen > 0 ? port.readData(chunk.data(), static_cast<int>(readBufferLen)) : 0;
    std::lock_guard<std::mutex> lock(mutex);
    if (got > 0)
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    recordedCalls.push_back({GetCurrentThreadId(), readBufferLen});
    changed.notify_all();
}

bool ReceivingListener::waitForBytes(size_t count, std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, deadline, [&] { return bytes.size() >= count; });
}

bool ReceivingListener::waitForCalls(size_t count, std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, deadline, [&] { return recordedCalls.size() >= count; });
}

Bytes ReceivingListener::received()
{
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}

std::vector<ReceivingListener::Call> ReceivingListener::calls()
{
    std::lock_guard<std::mutex> lock(mutex);
    return recordedCalls;
}

void ReceivingListener::setAction(std::function<void()> action)
{
    std::lock_guard<std::mutex> lock(mutex);
    nextAction = std::move(action);
}

void PortTest::SetUp()
{
    if (!peer.connected())
        GTEST_SKIP() << peer.problem();
    portName = peer.openPort();
    ASSERT_FALSE(portName.empty());
}

void PortTest::TearDown()
{
    port.close();
    if (!portName.empty())
        peer.unplug(portName);
}

bool PortTest::openWith(int baudRate, StopBits stopbits, FlowControl flow)
{
    port.init(portName.c_str(), baudRate, ParityNone, DataBits8, stopbits, flow, 4096);
    return port.open();
}

bool PortTest::openNamed(const std::string& name)
{
    port.init(name.c_str(), 9600, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
    return port.open();
}

} // namespace vandrel::wintest
