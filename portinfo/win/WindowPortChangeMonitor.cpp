#include "portinfo/win/WindowPortChangeMonitor.h"

#include "portinfo/win/AnsiText.h"

#include <windows.h>
// after windows.h, which it needs
#include <dbt.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace vandrel {

namespace {

constexpr wchar_t kWindowClass[] = L"vandrelSerialPortChangeWnd";

LRESULT CALLBACK portChangeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace

struct WindowPortChangeMonitor::State
{
    explicit State(Sink sink) : sink(std::move(sink)) {}

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
        sink(name ? name->c_str() : nullptr, isAdded);
    }

    const Sink sink;
    std::atomic<bool> stopping{false};
    std::atomic<bool> ownsClass{false}; // the thread unregisters the class when it ends

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
    if (!window)
        return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    if (state->ownsClass.load())
        UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
}

} // namespace

std::unique_ptr<PortChangeMonitor> WindowPortChangeMonitor::create(Sink sink)
{
    if (!sink)
        return nullptr;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = portChangeWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    if (!instance || !RegisterClassExW(&windowClass))
        return nullptr; // one monitor per process holds the class

    auto state = std::make_shared<State>(std::move(sink));
    std::unique_ptr<WindowPortChangeMonitor> monitor(new WindowPortChangeMonitor(state));
    try {
        monitor->thread = std::thread(runWindow, state);
    } catch (const std::system_error&) {
        UnregisterClassW(kWindowClass, instance);
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    state->started.wait(lock, [&] { return state->startDone; });
    if (!state->window)
        return nullptr; // the thread has ended; the destructor joins it and frees the class
    return monitor;
}

WindowPortChangeMonitor::WindowPortChangeMonitor(std::shared_ptr<State> state) : state(std::move(state)) {}

WindowPortChangeMonitor::~WindowPortChangeMonitor()
{
    state->stopping.store(true);
    HWND window;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        window = state->window;
    }
    if (window)
        PostMessageW(window, WM_CLOSE, 0, 0); // DefWindowProc destroys it; WM_DESTROY ends the loop
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            // Inside our own sink: the thread ends when it returns, owning the state, and frees
            // the class once its window is gone.
            state->ownsClass.store(true);
            thread.detach();
            return;
        }
        thread.join();
    }
    UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
}

} // namespace vandrel
