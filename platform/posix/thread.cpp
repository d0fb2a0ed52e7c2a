#include "platform/platform.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

namespace platform {

namespace {

struct Event {
    std::string name;
    bool manualReset;
    bool signaled;
    std::mutex mutex;
    std::condition_variable changed;
};

Event *AsEvent(EventHandle event) {
    return static_cast<Event *>(event);
}

} // namespace

ThreadHandle CreateThread(ThreadFunction function, void *argument) {
    if (function == nullptr)
        return nullptr;
    try {
        return new std::thread([function, argument] { function(argument); });
    } catch (const std::system_error &) {
        return nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void JoinThread(ThreadHandle thread) {
    auto *worker = static_cast<std::thread *>(thread);
    if (worker == nullptr)
        return;
    if (worker->joinable())
        worker->join();
    delete worker;
}

EventHandle CreateEvent(const char *name, bool manualReset, bool initialState) {
    auto *event = new (std::nothrow) Event;
    if (event == nullptr)
        return nullptr;
    event->name = name ? name : "";
    event->manualReset = manualReset;
    event->signaled = initialState;
    return event;
}

void SetEvent(EventHandle handle) {
    Event *event = AsEvent(handle);
    if (event == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->signaled = true;
    }
    event->changed.notify_all();
}

void ResetEvent(EventHandle handle) {
    Event *event = AsEvent(handle);
    if (event == nullptr)
        return;
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signaled = false;
}

bool WaitEvent(EventHandle handle, int timeoutMs) {
    Event *event = AsEvent(handle);
    if (event == nullptr)
        return false;
    std::unique_lock<std::mutex> lock(event->mutex);
    auto isSignaled = [event] { return event->signaled; };
    if (timeoutMs < 0)
        event->changed.wait(lock, isSignaled);
    else if (!event->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSignaled))
        return false;
    // An auto-reset event releases one waiter per signal.
    if (!event->manualReset)
        event->signaled = false;
    return true;
}

void CloseEvent(EventHandle handle) {
    delete AsEvent(handle);
}

uint32_t GetTickCount() {
    auto elapsed = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void Sleep(int milliseconds) {
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    else
        std::this_thread::yield();
}

} // namespace platform
