#include "portinfo/win/WindowPortChangeMonitor.h"

#include "portinfo/PortInfo.h"
#include "portinfo/win/AnsiText.h"

#include <windows.h>
// after windows.h, which it needs
#include <dbt.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace vandrel {

namespace {

constexpr wchar_t kWindowClass[] = L"vandrelSerialPortChangeWnd";

LRESULT CALLBACK portChangeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The window class is registered once per process and held by one monitor at a time. A monitor
// that is stopping no longer holds it, but its window may live on for a moment: destroyed from
// inside its own sink, the monitor lets its thread end by itself once the sink has returned. The
// registration is therefore shared by every window thread still running and released by the
// last one, so that a monitor started meanwhile need not wait for an old window to go.
struct WindowClass
{
    std::mutex mutex;
    bool held = false;     // a monitor that has not begun to stop holds the class
    int windowThreads = 0; // window threads that have not ended yet
};

WindowClass& windowClass()
{
    static WindowClass shared;
    return shared;
}

// Takes the class for a new monitor and its window thread; false when another monitor holds it.
bool takeWindowClass(HINSTANCE instance)
{
    WindowClass& shared = windowClass();
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (shared.held)
        return false;
    if (shared.windowThreads == 0) {
        WNDCLASSEXW registration = {};
        registration.cbSize = sizeof registration;
        registration.lpfnWndProc = portChangeWindowProc;
        registration.hInstance = instance;
        registration.lpszClassName = kWindowClass;
        if (!RegisterClassExW(&registration))
            return false;
    }
    shared.held = true;
    ++shared.windowThreads;
    return true;
}

// The monitor has begun to stop: a new one may take the class.
void letGoOfWindowClass()
{
    WindowClass& shared = windowClass();
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.held = false;
}

// A window thread has ended (or never started); the last one unregisters the class.
void endWindowThread()
{
    WindowClass& shared = windowClass();
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (--shared.windowThreads == 0)
        UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
}

} // namespace

struct WindowPortChangeMonitor::State
{
    State(Sink sink, std::vector<std::string> presentPorts)
        : sink(std::move(sink)), knownPorts(presentPorts.begin(), presentPorts.end())
    {
    }

    void report(WPARAM event, const DEV_BROADCAST_HDR* header)
    {
        if (stopping.load() || !header || header->dbch_devicetype != DBT_DEVTYP_PORT)
            return;
        unsigned int isAdded;
        if (event == DBT_DEVICEARRIVAL)
            isAdded = 1;
        else if (event == DBT_DEVICEREMOVECOMPLETE)
            isAdded = 0;
        else
            return;
        const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_W*>(header);
        const auto name = win::ansiText(port->dbcp_name);
        if (name) {
            // A driver reinstalled or restarted announces a port that never left: no arrival.
            if (isAdded && !knownPorts.insert(*name).second)
                return;
            if (!isAdded)
                knownPorts.erase(*name);
        }
        sink(name ? name->c_str() : nullptr, isAdded);
    }

    const Sink sink;
    // Ports present at the start or reported added since, and not removed; used on the window's
    // thread only.
    std::set<std::string> knownPorts;
    std::atomic<bool> stopping{false};

    std::mutex mutex; // guards the three members below
    std::condition_variable started;
    bool startDone = false;
    HWND window = nullptr;
};

namespace {

LRESULT CALLBACK portChangeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
        break;
    }
    case WM_DEVICECHANGE:
        if (auto* state =
                reinterpret_cast<WindowPortChangeMonitor::State*>(GetWindowLongPtrW(window, GWLP_USERDATA)))
            state->report(wParam, reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void runWindow(const std::shared_ptr<WindowPortChangeMonitor::State>& state)
{
    // A top-level window without parent, not a message-only one: device-change broadcasts go to
    // top-level windows only.
    const HWND window = CreateWindowExW(0, kWindowClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr,
                                        GetModuleHandleW(nullptr), state.get());
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->window = window;
        state->startDone = true;
    }
    state->started.notify_all();
    if (window) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
            DispatchMessageW(&message);
    }
    endWindowThread();
}

} // namespace

std::unique_ptr<PortChangeMonitor> WindowPortChangeMonitor::create(Sink sink)
{
    if (!sink)
        return nullptr;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!instance || !takeWindowClass(instance))
        return nullptr; // one monitor per process holds the class

    std::vector<std::string> presentPorts;
    for (const PortInfo& port : listAvailablePorts())
        presentPorts.emplace_back(port.portName);
    auto state = std::make_shared<State>(std::move(sink), std::move(presentPorts));
    std::unique_ptr<WindowPortChangeMonitor> monitor(new WindowPortChangeMonitor(state));
    try {
        monitor->thread = std::thread(runWindow, state);
    } catch (const std::system_error&) {
        endWindowThread();
        return nullptr; // the destructor lets go of the class
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    state->started.wait(lock, [&] { return state->startDone; });
    if (!state->window)
        return nullptr; // the thread has ended; the destructor joins it
    return monitor;
}

WindowPortChangeMonitor::WindowPortChangeMonitor(std::shared_ptr<State> state) : state(std::move(state)) {}

WindowPortChangeMonitor::~WindowPortChangeMonitor()
{
    state->stopping.store(true);
    letGoOfWindowClass();
    HWND window;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        window = state->window;
    }
    if (window)
        PostMessageW(window, WM_CLOSE, 0, 0); // DefWindowProc destroys it; WM_DESTROY ends the loop
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach(); // inside our own sink: the thread ends when it returns, owning the state
    else
        thread.join();
}

} // namespace vandrel
