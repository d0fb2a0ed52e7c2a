// Hidden windows and the message queue on the Win32 window manager. Every class registered here
// has one real window procedure that hands the window's messages to the class's WindowProc.
// Only the core Win32 headers: the multimedia ones declare names the platform layer has too.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#undef SendMessage
#undef DefWindowProc

#include "platform/platform.h"

#include <cctype>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace platform {

namespace {

// Our procedures, by class atom; the real procedure looks its class up on every message.
std::mutex classesMutex;
std::map<ATOM, WindowProc> classes;
std::map<std::string, ATOM> classNames; // class names compare without case

std::string UpperName(const char *name) {
    std::string upper = name;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// Windows that the calling thread is destroying: a procedure that destroys its window again
// while handling WM_DESTROY does nothing.
thread_local std::set<HWND> destroying;

WindowProc FindClassProc(HWND window) {
    auto atom = static_cast<ATOM>(GetClassWord(window, GCW_ATOM));
    std::lock_guard<std::mutex> lock(classesMutex);
    auto found = classes.find(atom);
    return found == classes.end() ? nullptr : found->second;
}

// The window manager's own messages (creation, sizing, painting) keep their default handling;
// our procedures see what the rest of the program sends and posts, closing and destruction.
bool IsForwarded(UINT msg) {
    return msg == WM_DESTROY || msg == WM_CLOSE || msg >= WM_USER;
}

LRESULT CALLBACK RelayWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    WindowProc proc = IsForwarded(msg) ? FindClassProc(window) : nullptr;
    if (proc == nullptr)
        return DefWindowProcA(window, msg, wParam, lParam);
    return proc(window, msg, wParam, lParam);
}

} // namespace

bool RegisterWindowClass(const char *className, WindowProc proc) {
    if (className == nullptr || proc == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(classesMutex);
    // Registered before: fine when it was ours, with the same procedure.
    auto known = classNames.find(UpperName(className));
    if (known != classNames.end())
        return classes[known->second] == proc;
    WNDCLASSA windowClass = {};
    windowClass.style = 0;
    windowClass.lpfnWndProc = RelayWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = nullptr;
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = className;
    ATOM atom = RegisterClassA(&windowClass);
    if (atom == 0)
        return false;
    classes[atom] = proc;
    classNames[UpperName(className)] = atom;
    return true;
}

HWND CreateHiddenWindow(const char *className, const char *title) {
    if (className == nullptr)
        return nullptr;
    HWND window =
        CreateWindowExA(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr)
        return nullptr;
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return window;
}

void DestroyWindow(HWND window) {
    // The desktop is the system's, shared by every program: only our own windows go.
    if (window == nullptr || window == ::GetDesktopWindow() || !IsWindow(window) ||
        !destroying.insert(window).second)
        return;
    ::DestroyWindow(window);
    destroying.erase(window);
}

HWND GetDesktopWindow() {
    return ::GetDesktopWindow();
}

intptr_t SendMessage(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam) {
    return SendMessageA(window, msg, wParam, lParam);
}

intptr_t DefWindowProc(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam) {
    return DefWindowProcA(window, msg, wParam, lParam);
}

bool PumpOneMessage() {
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        return false;
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return true;
}

bool WaitForMessage(int timeoutMs) {
    // MWMO_INPUTAVAILABLE: messages already queued count, not only those arriving later.
    DWORD timeout = timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0;
    DWORD result =
        MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return result == WAIT_OBJECT_0;
}

} // namespace platform
