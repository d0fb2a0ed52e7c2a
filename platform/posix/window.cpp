#include "platform/platform.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_set>

namespace platform {

namespace {

struct Window {
    KernovaWindow handle; // first member: the `post` that plug-ins call through the HWND
    WindowProc proc;
    std::thread::id owner;
    bool alive;      // guarded by the registry's mutex
    bool destroying; // guarded by the registry's mutex
};
static_assert(std::is_standard_layout_v<Window> && offsetof(Window, handle) == 0);

struct Message {
    Window *window;
    unsigned int msg;
    uintptr_t wParam;
    intptr_t lParam;
};

// Window objects live as long as the library: a decoder thread may still post to a window
// after the command thread destroyed it, and that post must find a dead window, not freed
// memory.
struct Registry {
    std::mutex mutex;
    std::map<std::string, WindowProc> classes;
    std::deque<Window> windows; // stable addresses
    std::unordered_set<const KernovaWindow *> known;
    std::map<std::thread::id, std::deque<Message>> queues; // per owning thread
    std::condition_variable posted;                        // wakes threads waiting for a message
};

// Released when the library is unloaded; by then no decoder thread runs.
Registry &GetRegistry() {
    static Registry registry;
    return registry;
}

// The caller holds the registry's mutex.
Window *FindLiveWindow(Registry &registry, HWND handle) {
    if (registry.known.count(handle) == 0)
        return nullptr;
    Window *window = reinterpret_cast<Window *>(handle);
    return window->alive ? window : nullptr;
}

// The caller holds the registry's mutex.
void DropQueuedMessages(Registry &registry, const Window *window) {
    auto queue = registry.queues.find(window->owner);
    if (queue == registry.queues.end())
        return;
    std::erase_if(queue->second, [window](const Message &m) { return m.window == window; });
    if (queue->second.empty())
        registry.queues.erase(queue);
}

int PostToWindow(HWND self, unsigned int msg, uintptr_t wParam, intptr_t lParam) {
    Registry &registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    Window *window = FindLiveWindow(registry, self);
    if (window == nullptr)
        return 0;
    registry.queues[window->owner].push_back(Message{window, msg, wParam, lParam});
    registry.posted.notify_all();
    return 1;
}

int PostToDesktop(HWND, unsigned int, uintptr_t, intptr_t) {
    return 1;
}

KernovaWindow desktopWindow = {PostToDesktop};

Window *LockedFindLiveWindow(HWND handle) {
    Registry &registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return FindLiveWindow(registry, handle);
}

} // namespace

bool RegisterWindowClass(const char *className, WindowProc proc) {
    if (className == nullptr || proc == nullptr)
        return false;
    Registry &registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto [entry, added] = registry.classes.emplace(className, proc);
    return added || entry->second == proc;
}

// The title is never shown: hidden windows only receive messages.
HWND CreateHiddenWindow(const char *className, const char *) {
    if (className == nullptr)
        return nullptr;
    Registry &registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto windowClass = registry.classes.find(className);
    if (windowClass == registry.classes.end())
        return nullptr;
    Window &window = registry.windows.emplace_back(
        Window{{PostToWindow}, windowClass->second, std::this_thread::get_id(), true, false});
    registry.known.insert(&window.handle);
    return &window.handle;
}

void DestroyWindow(HWND handle) {
    Registry &registry = GetRegistry();
    Window *window;
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        window = FindLiveWindow(registry, handle);
        if (window == nullptr || window->destroying)
            return;
        window->destroying = true;
    }
    window->proc(handle, WM_DESTROY, 0, 0);
    std::lock_guard<std::mutex> lock(registry.mutex);
    window->alive = false;
    DropQueuedMessages(registry, window);
}

HWND GetDesktopWindow() {
    return &desktopWindow;
}

intptr_t SendMessage(HWND handle, unsigned int msg, uintptr_t wParam, intptr_t lParam) {
    Window *window = LockedFindLiveWindow(handle);
    return window ? window->proc(handle, msg, wParam, lParam) : 0;
}

intptr_t DefWindowProc(HWND, unsigned int, uintptr_t, intptr_t) {
    return 0;
}

bool PumpOneMessage() {
    Registry &registry = GetRegistry();
    Message message;
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto queue = registry.queues.find(std::this_thread::get_id());
        if (queue == registry.queues.end() || queue->second.empty())
            return false;
        message = queue->second.front();
        queue->second.pop_front();
        if (queue->second.empty())
            registry.queues.erase(queue);
    }
    // Translating has nothing to do for hidden windows; dispatching calls the procedure.
    message.window->proc(&message.window->handle, message.msg, message.wParam, message.lParam);
    return true;
}

bool WaitForMessage(int timeoutMs) {
    Registry &registry = GetRegistry();
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(registry.mutex);
    return registry.posted.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        auto queue = registry.queues.find(self);
        return queue != registry.queues.end() && !queue->second.empty();
    });
}

} // namespace platform
