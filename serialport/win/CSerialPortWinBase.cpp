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
struct CSerialPortWinBase::Session
{
    HANDLE handle = INVALID_HANDLE_VALUE; // closed by close() under deviceInUse and all three locks
    bool overlapped = true;
    std::uint64_t opening = 0;
    char portName[kPortNameSize] = {};
    HANDLE stopEvent = makeEvent();           // set once the opening is being closed
    HANDLE nudgeEvent = makeAutoResetEvent(); // the receive thread is to look at the minimum count again
    HANDLE waitEvent = makeEvent();           // WaitCommEvent (receive thread)
    HANDLE readEvent = makeEvent();           // device reads (receive thread)
    HANDLE writeEvent = makeEvent();          // writes (under writeLock)
    std::atomic<bool> running{true};
    std::atomic<bool> deviceGone{false};
    std::atomic<bool> receiveEnded{false};
    // Held by the receive thread while it waits for received characters and asks for the
    // driver's count, outside any listener call: close() takes it before the handle goes, so that
    // a thread it could not join has ended its wait on the device (handle values are reused).
    std::mutex deviceInUse;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session()
    {
        for (HANDLE event : {stopEvent, nudgeEvent, waitEvent, readEvent, writeEvent})
            if (event)
                CloseHandle(event);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }

    bool hasEvents() const { return stopEvent && nudgeEvent && waitEvent && readEvent && writeEvent; }

    void stop()
    {
        running.store(false);
        SetEvent(stopEvent);
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
    DeviceSource(CSerialPortWinBase& port, Session& opened) : port(port), opened(opened) {}

    unsigned int queuedBytes() override { return queued; }
    // The reads return at once with what the driver holds (see the time-outs set by open()).
    int readQueued(char* buffer, unsigned int size) override { return port.readDevice(opened, buffer, size); }
    // Drivers may report received characters for as long as any are queued (wine does): bytes
    // below the minimum are kept by the receive thread instead, so that it can wait for more.
    bool holdsBack(unsigned int) const override { return false; }

    unsigned int queued = 0; // the driver's count when it was last asked

private:
    CSerialPortWinBase& port;
    Session& opened;
};

CSerialPortBase* createPlatformSerialPortBase(const char* portName)
{
    return new CSerialPortWinBase(portName);
}

CSerialPortWinBase::CSerialPortWinBase(const char* name) : CSerialPortDeviceBase(name) {}

CSerialPortWinBase::~CSerialPortWinBase()
{
    close();
    joinRetiredThreads();
    stopDelayedNotification();
}

std::shared_ptr<CSerialPortWinBase::Session> CSerialPortWinBase::currentSession()
{
    std::lock_guard<std::mutex> lock(stateLock);
    return session;
}

bool CSerialPortWinBase::isOpen()
{
    return currentSession() != nullptr;
}

HANDLE CSerialPortWinBase::openDevice(bool overlapped)
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

bool CSerialPortWinBase::open()
{
    // Receive threads retired by a close from inside a listener may still need commLock before
    // they end: they are joined before it is taken. From inside a listener call only those that
    // have ended are (the others may be waiting for this very call).
    joinRetiredThreads(consumers.isInsideCall());
    std::unique_lock<std::recursive_mutex> lock(commLock);
    if (isOpen()) {
        setLastError(ErrorOpenFailed);
        lock.unlock(); // close() may wait for the receive thread, which may need commLock
        close();
        return false;
    }
    if (refuseCutPortName())
        return false;

    const bool overlapped = getIoMode() == IoModeAsynchronous;
    auto opened = std::make_shared<Session>();
    opened->overlapped = overlapped;
    std::memcpy(opened->portName, portName, sizeof opened->portName);
    if (!opened->hasEvents()) {
        setLastError(ErrorInternal);
        return false;
    }
    opened->handle = openDevice(overlapped);
    if (opened->handle == INVALID_HANDLE_VALUE)
        return false; // the session closes nothing further

    if (!configureDevice(opened->handle)) {
        setLastError(ErrorInvalidParam);
        return false;
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
        return false;
    }
    // Published in the same step as the receive thread starts: a listener it calls finds the
    // port open.
    std::lock_guard<std::mutex> state(stateLock);
    if (overlapped) {
        opened->opening = consumers.beginOpening();
        try {
            receiveThread = std::thread([this, opened] {
                receiveLoop(opened);
                opened->receiveEnded.store(true);
            });
        } catch (const std::system_error&) {
            consumers.endOpening(opened->opening);
            setLastError(ErrorInternal);
            return false;
        }
    }
    session = opened;
    setLastError(ErrorSuccess);
    return true;
}

void CSerialPortWinBase::close()
{
    std::shared_ptr<Session> closing;
    std::thread thread;
    {
        std::lock_guard<std::mutex> state(stateLock);
        closing = std::move(session);
        session.reset();
        thread = std::move(receiveThread);
    }
    if (!closing)
        return;

    consumers.endOpening(closing->opening); // nobody is told of its bytes any more
    closing->stop();                        // ends the receive thread's wait and any read or write under way
    finishReceiving(closing->opening, std::move(thread),
                    std::shared_ptr<const std::atomic<bool>>(closing, &closing->receiveEnded));

    // Setters, writers, readers and a receive thread that is still ending its wait leave before
    // the handle goes, so none of them can reach a handle value the system has meanwhile given
    // to something else.
    std::lock_guard<std::mutex> waitEnded(closing->deviceInUse);
    std::lock_guard<std::recursive_mutex> configuring(commLock);
    std::lock_guard<std::recursive_mutex> writing(writeLock);
    std::lock_guard<std::recursive_mutex> reading(readLock);
    PurgeComm(closing->handle, kPurgeAll);
    CloseHandle(closing->handle);
    closing->handle = INVALID_HANDLE_VALUE;
}

CSerialPortWinBase::Waited CSerialPortWinBase::waitForReceivedCharacters(Session& opened)
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

int CSerialPortWinBase::readDevice(Session& opened, char* buffer, unsigned int count)
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

void CSerialPortWinBase::setMinReadBytes(unsigned int count)
{
    CSerialPortDeviceBase::setMinReadBytes(count);
    if (const auto opened = currentSession(); opened && opened->overlapped)
        SetEvent(opened->nudgeEvent);
}

void CSerialPortWinBase::receiveLoop(const std::shared_ptr<Session>& opened)
{
    Reception reception;
    reception.opening = opened->opening;
    reception.running = &opened->running;
    std::memcpy(reception.portName, opened->portName, sizeof reception.portName);
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

unsigned int CSerialPortWinBase::getReadBufferLen()
{
    // Under readLock the handle cannot be closed underneath.
    std::lock_guard<std::recursive_mutex> lock(readLock);
    const auto opened = currentSession();
    if (!opened)
        return 0;
    if (!opened->overlapped) {
        DWORD errors = 0;
        COMSTAT status = {};
        return ClearCommError(opened->handle, &errors, &status) ? status.cbInQue : 0;
    }
    return bufferedLen();
}

int CSerialPortWinBase::readData(void* data, int size)
{
    std::lock_guard<std::recursive_mutex> lock(readLock);
    if (size < 1)
        return 0;
    const auto opened = currentSession();
    if (!opened) {
        setLastError(ErrorNotOpen);
        return -1;
    }
    if (!opened->overlapped) {
        // Read only what the driver holds, so the call never waits for data to arrive.
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(opened->handle, &errors, &status)) {
            setLastError(ErrorReadFailed);
            return -1;
        }
        const DWORD wanted = std::min(static_cast<DWORD>(size), status.cbInQue);
        DWORD got = 0;
        if (wanted > 0 && !ReadFile(opened->handle, data, wanted, &got, nullptr)) {
            setLastError(ErrorReadFailed);
            return -1;
        }
        return static_cast<int>(got);
    }
    return readBuffered(data, size, [&] { return opened->deviceGone.load(); });
}

int CSerialPortWinBase::writeData(const void* data, int size)
{
    std::lock_guard<std::recursive_mutex> lock(writeLock);
    const auto opened = currentSession();
    if (!opened) {
        setLastError(ErrorNotOpen);
        return -1;
    }
    if (size <= 0)
        return 0;

    DWORD written = 0;
    if (!opened->overlapped) {
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
    const auto opened = currentSession();
    return opened && FlushFileBuffers(opened->handle);
}

bool CSerialPortWinBase::purgeReadQueue()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = currentSession();
    if (!opened || !PurgeComm(opened->handle, PURGE_RXCLEAR))
        return false;
    notePurgedReadQueue();
    return true;
}

bool CSerialPortWinBase::purgeWriteQueue()
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    const auto opened = currentSession();
    return opened && PurgeComm(opened->handle, PURGE_TXCLEAR);
}

void CSerialPortWinBase::setBaudRate(int rate)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    baudRate = rate;
    if (const auto opened = currentSession()) {
        commConfig.dcb.BaudRate = static_cast<DWORD>(rate);
        writeConfig(opened->handle);
    }
}

void CSerialPortWinBase::setParity(Parity newParity)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    parity = newParity;
    if (const auto opened = currentSession()) {
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
    if (const auto opened = currentSession();
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
    if (const auto opened = currentSession();
        opened && known && vandrel::win::isFrameAllowed(dataBits, newStopbits)) {
        commConfig.dcb.StopBits = static_cast<BYTE>(newStopbits);
        writeConfig(opened->handle);
    }
}

void CSerialPortWinBase::setFlowControl(FlowControl newFlowControl)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    flowControl = newFlowControl;
    if (const auto opened = currentSession()) {
        if (vandrel::win::applyFlowControl(commConfig.dcb, newFlowControl))
            writeConfig(opened->handle);
    }
}

void CSerialPortWinBase::setDtr(bool set)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (const auto opened = currentSession())
        EscapeCommFunction(opened->handle, set ? SETDTR : CLRDTR);
}

void CSerialPortWinBase::setRts(bool set)
{
    std::lock_guard<std::recursive_mutex> lock(commLock);
    if (const auto opened = currentSession())
        EscapeCommFunction(opened->handle, set ? SETRTS : CLRRTS);
}
