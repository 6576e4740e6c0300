#include "serialport/win/CSerialPortWinBase.h"

#include "serialport/PlatformBackEnd.h"
#include "serialport/win/DcbSettings.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr unsigned int kMinDriverQueue = 4096;
constexpr DWORD kConfigSize = sizeof(COMMCONFIG);
static_assert(sizeof(COMMCONFIG) == 52, "COMMCONFIG with its DCB is 52 bytes");
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// Retries after a failed wait for received characters: a driver that keeps failing is asked
// again at most once a second, never in a tight loop.
constexpr DWORD kFirstRetryMs = 10;
constexpr DWORD kLongestRetryMs = 1000;
// How often a close asks again for a pending wait to end (see endPendingWait).
constexpr DWORD kStopRetryMs = 50;

std::wstring toWide(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}

HANDLE makeEvent()
{
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

HANDLE makeAutoResetEvent()
{
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

} // namespace

// Everything one opening of the device owns. The receive thread keeps its own reference, so an
// open() that follows a close() at once never shares a handle, an event or a flag with an old
// thread.
struct CSerialPortWinBase::WinSession final : Session
{
    HANDLE handle = INVALID_HANDLE_VALUE; // closed by releaseDevice() under deviceInUse and all three locks
    HANDLE stopEvent = makeEvent();       // set once the opening is being closed
    HANDLE nudgeEvent = makeAutoResetEvent(); // the receive thread is to look at the minimum count again
    HANDLE waitEvent = makeEvent();           // WaitCommEvent (receive thread)
    HANDLE readEvent = makeEvent();           // device reads (receive thread)
    HANDLE writeEvent = makeEvent();          // writes (under writeLock)
    // Held by the receive thread while it waits for received characters and asks for the
    // driver's count, outside any listener call: releaseDevice() takes it before the handle goes,
    // so that a thread close() could not join has ended its wait on the device (handle values
    // are reused).
    std::mutex deviceInUse;

    WinSession() = default;
    WinSession(const WinSession&) = delete;
    WinSession& operator=(const WinSession&) = delete;
    ~WinSession() override
    {
        for (HANDLE event : {stopEvent, nudgeEvent, waitEvent, readEvent, writeEvent})
            if (event)
                CloseHandle(event);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }

    bool hasEvents() const { return stopEvent && nudgeEvent && waitEvent && readEvent && writeEvent; }

    void stop() override
    {
        running.store(false);
        SetEvent(stopEvent);
    }

    void nudge() override { SetEvent(nudgeEvent); }

    unsigned int driverQueued() override
    {
        DWORD errors = 0;
        COMSTAT status = {};
        return ClearCommError(handle, &errors, &status) ? status.cbInQue : 0;
    }

    // Reads only what the driver holds, so the call never waits for data to arrive.
    int readDriver(void* data, int size) override
    {
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(handle, &errors, &status))
            return -1;
        const DWORD wanted = std::min(static_cast<DWORD>(size), status.cbInQue);
        DWORD got = 0;
        if (wanted > 0 && !ReadFile(handle, data, wanted, &got, nullptr))
            return -1;
        return static_cast<int>(got);
    }

    // Waits for an overlapped read or write to complete; a close cancels it. The record is no
    // longer in use when this returns.
    bool finish(OVERLAPPED& record, DWORD& transferred)
    {
        HANDLE events[2] = {stopEvent, record.hEvent};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0)
            CancelIoEx(handle, &record);
        return GetOverlappedResult(handle, &record, &transferred, TRUE) != FALSE;
    }

    // Ends a WaitCommEvent that is still pending. Windows completes it as soon as the mask
    // becomes 0. wine completes it with an error instead, and a wait that wine has not quite
    // begun may miss a single mask change (and then waits for ever), so the mask is cleared again
    // until the wait has ended.
    void endPendingWait(OVERLAPPED& record)
    {
        do {
            SetCommMask(handle, 0);
            CancelIoEx(handle, &record);
        } while (WaitForSingleObject(record.hEvent, kStopRetryMs) == WAIT_TIMEOUT);
        DWORD unused = 0;
        GetOverlappedResult(handle, &record, &unused, TRUE);
    }
};

// The receive path's view of the device of one opening.
class CSerialPortWinBase::DeviceSource final : public ReceiveSource
{
public:
    DeviceSource(CSerialPortWinBase& port, WinSession& opened) : port(port), opened(opened) {}

    unsigned int queuedBytes() override { return queued; }
    // The reads return at once with what the driver holds (see the time-outs set by open()).
    int readQueued(char* buffer, unsigned int size) override { return port.readDevice(opened, buffer, size); }
    // Drivers may report received characters for as long as any are queued (wine does): bytes
    // below the minimum are kept by the receive thread instead, so that it can wait for more.
    bool holdsBack(unsigned int) const override { return false; }

    unsigned int queued = 0; // the driver's count when it was last asked

private:
    CSerialPortWinBase& port;
    WinSession& opened;
};

CSerialPortBase* createPlatformSerialPortBase(const char* portName)
{
    return new CSerialPortWinBase(portName);
}

CSerialPortWinBase::CSerialPortWinBase(const char* name) : CSerialPortBase(name) {}

CSerialPortWinBase::~CSerialPortWinBase()
{
    closeAndJoin();
}

HANDLE CSerialPortWinBase::openByName(bool overlapped)
{
    // The whole name: COM10 and above are reachable only through the \\.\ prefix.
    const std::wstring path = toWide(std::string("\\\\.\\") + portName);
    const HANDLE handle = path.empty()
                              ? INVALID_HANDLE_VALUE
                              : CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (path.empty() ? ERROR_INVALID_NAME : GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            setLastError(ErrorNotExist);
            break;
        case ERROR_ACCESS_DENIED:
            setLastError(ErrorAccessDenied);
            break;
        default:
            setLastError(ErrorOpenFailed);
            break;
        }
    }
    return handle;
}

bool CSerialPortWinBase::configureDevice(HANDLE handle)
{
    const DWORD queueSize = std::max(readBufferSize.load(), kMinDriverQueue);
    SetupComm(handle, queueSize, queueSize);

    // The device's current configuration is the starting point: flags this library does not
    // manage keep the values the driver has. Some drivers keep provider data after the structure
    // and answer with a larger size; the whole of it is read and written back.
    DWORD size = kConfigSize;
    std::vector<COMMCONFIG> config(1);
    config[0].dwSize = kConfigSize;
    config[0].dcb.DCBlength = sizeof(DCB);
    if (!GetCommConfig(handle, config.data(), &size) && size > kConfigSize) {
        config.resize((size + kConfigSize - 1) / kConfigSize);
        config[0].dwSize = size;
        GetCommConfig(handle, config.data(), &size);
    }
    size = std::min<DWORD>(size, static_cast<DWORD>(config.size() * kConfigSize));
    GetCommState(handle, &config[0].dcb);

    vandrel::win::applyOpenSettings(config[0].dcb, baudRate, parity, dataBits, stopbits);
    vandrel::win::applyFlowControl(config[0].dcb, flowControl);
    // The setters write the structure alone, without provider data past its end.
    commConfig = config[0];
    commConfig.dwSize = kConfigSize;
    commConfig.dwProviderOffset = 0;
    commConfig.dwProviderSize = 0;
    return SetCommConfig(handle, config.data(), size) != FALSE;
}

bool CSerialPortWinBase::writeConfig(HANDLE handle)
{
    return SetCommConfig(handle, &commConfig, kConfigSize) != FALSE;
}

std::shared_ptr<CSerialPortBase::Session> CSerialPortWinBase::openDevice()
{
    const bool overlapped = getIoMode() == IoModeAsynchronous;
    auto opened = std::make_shared<WinSession>();
    opened->synchronous = !overlapped;
    if (!opened->hasEvents()) {
        setLastError(ErrorInternal);
        return nullptr;
    }
    opened->handle = openByName(overlapped);
    if (opened->handle == INVALID_HANDLE_VALUE)
        return nullptr; // the session closes nothing further

    if (!configureDevice(opened->handle)) {
        setLastError(ErrorInvalidParam);
        return nullptr; // the session closes the handle
    }
    PurgeComm(opened->handle, kPurgeAll);

    // Reads return at once with what the driver holds; the receive thread sizes them by the
    // driver's count. Synchronous writes give up after 100 ms per byte plus 500 ms.
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    if (!overlapped) {
        timeouts.WriteTotalTimeoutMultiplier = 100;
        timeouts.WriteTotalTimeoutConstant = 500;
    }
    SetCommTimeouts(opened->handle, &timeouts);

    if (overlapped && !SetCommMask(opened->handle, EV_RXCHAR)) {
        setLastError(ErrorInvalidParam);
        return nullptr;
    }
    return opened;
}

void CSerialPortWinBase::releaseDevice(Session& closed)
{
    auto& opened = static_cast<WinSession&>(closed);
    // The receive thread holds deviceInUse only outside the three locks.
    std::lock_guard<std::mutex> waitEnded(opened.deviceInUse);
    PurgeComm(opened.handle, kPurgeAll);
    CloseHandle(opened.handle);
    opened.handle = INVALID_HANDLE_VALUE;
}

CSerialPortWinBase::Waited CSerialPortWinBase::waitForReceivedCharacters(WinSession& opened)
{
    DWORD mask = 0;
    OVERLAPPED record = {};
    record.hEvent = opened.waitEvent;
    ResetEvent(opened.waitEvent);
    if (WaitCommEvent(opened.handle, &mask, &record))
        return Waited::Characters; // whatever the mask says, the driver's count decides
    if (GetLastError() != ERROR_IO_PENDING)
        return Waited::Failed;
    HANDLE events[3] = {opened.stopEvent, opened.waitEvent, opened.nudgeEvent};
    switch (WaitForMultipleObjects(3, events, FALSE, INFINITE)) {
    case WAIT_OBJECT_0:
        opened.endPendingWait(record);
        return Waited::Stopped;
    case WAIT_OBJECT_0 + 2:
        // The minimum count changed: what is held back may be enough now. Ending the wait clears
        // the mask; bytes that come meanwhile are found by the count asked for next.
        opened.endPendingWait(record);
        SetCommMask(opened.handle, EV_RXCHAR);
        return Waited::Nudged;
    default: {
        DWORD unused = 0;
        return GetOverlappedResult(opened.handle, &record, &unused, TRUE) ? Waited::Characters
                                                                          : Waited::Failed;
    }
    }
}

int CSerialPortWinBase::readDevice(WinSession& opened, char* buffer, unsigned int count)
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    OVERLAPPED record = {};
    record.hEvent = opened.readEvent;
    ResetEvent(opened.readEvent);
    DWORD got = 0;
    if (!ReadFile(opened.handle, buffer, count, &got, &record) &&
        (GetLastError() != ERROR_IO_PENDING || !opened.finish(record, got))) {
        setLastError(opened.running.load() ? ErrorReadFailed : ErrorNotOpen);
        return -1;
    }
    return static_cast<int>(got);
}

void CSerialPortWinBase::receiveLoop(const std::shared_ptr<Session>& session)
{
    const auto opened = std::static_pointer_cast<WinSession>(session);
    Reception reception(*opened);
    DeviceSource device(*this, *opened);

    DWORD retryMs = 0;
    // Waits before the next attempt; false when the port is being closed meanwhile.
    auto pause = [&](DWORD ms) { return WaitForSingleObject(opened->stopEvent, ms) == WAIT_TIMEOUT; };

    while (opened->running.load()) {
        Waited waited;
        DWORD errors = 0;
        COMSTAT status = {};
        bool answered;
        {
            std::lock_guard<std::mutex> inUse(opened->deviceInUse);
            if (!opened->running.load())
                break;
            waited = waitForReceivedCharacters(*opened);
            if (waited == Waited::Stopped || !opened->running.load())
                break;
            answered = ClearCommError(opened->handle, &errors, &status) != FALSE;
        }
        if (!answered) {
            // The driver no longer answers: the device has gone (a USB adapter pulled out).
            // Only a close can end the thread's work now; waiting for it costs nothing.
            setLastError(ErrorReadFailed);
            opened->deviceGone.store(true);
            notifyDeviceGone(reception);
            WaitForSingleObject(opened->stopEvent, INFINITE);
            break;
        }

        bool failed = waited == Waited::Failed;
        if (!failed && (status.cbInQue > 0 || waited == Waited::Nudged)) {
            device.queued = status.cbInQue;
            failed = receive(reception, device) == Received::DeviceGone; // a failed read stores nothing
        }
        if (failed) {
            // A driver that keeps failing is asked again at most once a second, never in a
            // tight loop.
            retryMs = retryMs == 0 ? kFirstRetryMs : std::min(retryMs * 2, kLongestRetryMs);
            if (!pause(retryMs))
                break;
        } else {
            retryMs = 0;
        }
    }
}

int CSerialPortWinBase::writeData(const void* data, int size)
{
    std::lock_guard<std::recursive_mutex> lock(writeLock);
    const auto opened = current<WinSession>();
    if (!opened) {
        setLastError(ErrorNotOpen);
        return -1;
    }
    if (size <= 0)
        return 0;

    DWORD written = 0;
    if (opened->synchronous) {
        if (!WriteFile(opened->handle, data, static_cast<DWORD>(size), &written, nullptr)) {
            setLastError(ErrorWriteFailed);
            return -1;
        }
        return static_cast<int>(written);
    }

    OVERLAPPED record = {};
    record.hEvent = opened->writeEvent;
    ResetEvent(opened->writeEvent);
    // A write that completes with an error (or is cancelled by a close) is a failure too.
    if (!WriteFile(opened->handle, data, static_cast<DWORD>(size), &written, &record) &&
        (GetLastError() != ERROR_IO_PENDING || !opened->finish(record, written))) {
        setLastError(ErrorWriteFailed);
        return -1;
    }
    return static_cast<int>(written);
}

bool CSerialPortWinBase::flushBuffers()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = current<WinSession>();
    return opened && FlushFileBuffers(opened->handle);
}

bool CSerialPortWinBase::purgeReadQueue()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = current<WinSession>();
    if (!opened || !PurgeComm(opened->handle, PURGE_RXCLEAR))
        return false;
    notePurgedReadQueue();
    return true;
}

bool CSerialPortWinBase::purgeWriteQueue()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = current<WinSession>();
    return opened && PurgeComm(opened->handle, PURGE_TXCLEAR);
}

void CSerialPortWinBase::setBaudRate(int rate)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    baudRate = rate;
    if (const auto opened = current<WinSession>()) {
        commConfig.dcb.BaudRate = static_cast<DWORD>(rate);
        writeConfig(opened->handle);
    }
}

void CSerialPortWinBase::setParity(Parity newParity)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    parity = newParity;
    if (const auto opened = current<WinSession>()) {
        vandrel::win::applyParity(commConfig.dcb, newParity);
        writeConfig(opened->handle);
    }
}

void CSerialPortWinBase::setDataBits(DataBits newDataBits)
{
    // A pair the device cannot take leaves it as it was; open() tries the stored pair again.
    std::lock_guard<std::recursive_mutex> lock(commLock);
    dataBits = newDataBits;
    const bool known = newDataBits >= DataBits5 && newDataBits <= DataBits8;
    if (const auto opened = current<WinSession>();
        opened && known && vandrel::win::isFrameAllowed(newDataBits, stopbits)) {
        commConfig.dcb.ByteSize = static_cast<BYTE>(newDataBits);
        writeConfig(opened->handle);
    }
}

void CSerialPortWinBase::setStopBits(StopBits newStopbits)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    stopbits = newStopbits;
    const bool known = newStopbits >= StopBitsOne && newStopbits <= StopBitsTwo;
    if (const auto opened = current<WinSession>();
        opened && known && vandrel::win::isFrameAllowed(dataBits, newStopbits)) {
        commConfig.dcb.StopBits = static_cast<BYTE>(newStopbits);
        writeConfig(opened->handle);
    }
}

void CSerialPortWinBase::setFlowControl(FlowControl newFlowControl)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    flowControl = newFlowControl;
    if (const auto opened = current<WinSession>()) {
        if (vandrel::win::applyFlowControl(commConfig.dcb, newFlowControl))
            writeConfig(opened->handle);
    }
}

void CSerialPortWinBase::setDtr(bool set)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (const auto opened = current<WinSession>())
        EscapeCommFunction(opened->handle, set ? SETDTR : CLRDTR);
}

void CSerialPortWinBase::setRts(bool set)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (const auto opened = current<WinSession>())
        EscapeCommFunction(opened->handle, set ? SETRTS : CLRRTS);
}
