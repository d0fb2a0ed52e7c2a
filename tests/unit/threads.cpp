// The services that decoding threads meet: hidden windows and their queues (posts racing with
// destruction too), the core's hidden window that starts the stop thread, threads, events, the
// tick count and file locks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "convert/QZ_Convertor.h"
#include "modules/loader.h"
#include "platform/platform.h"
#include "tests/fixtures/harness.h"

namespace fs = std::filesystem;

namespace {

struct Received {
    HWND window;
    unsigned int msg;
    uintptr_t wParam;
    intptr_t lParam;
    std::thread::id thread;
};

std::vector<Received> received;
std::atomic<int> receivedCount{0};

intptr_t RecordingProc(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam) {
    received.push_back({window, msg, wParam, lParam, std::this_thread::get_id()});
    ++receivedCount;
    // Destroys itself on close, the way the core's hidden window does.
    if (msg == WM_CLOSE)
        platform::DestroyWindow(window);
    return static_cast<intptr_t>(msg) + 1000;
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        received.clear();
        receivedCount = 0;
        ASSERT_TRUE(platform::RegisterWindowClass("knTestRecording", RecordingProc));
    }
    void TearDown() override {
        for (HWND window : windows)
            platform::DestroyWindow(window);
        while (platform::PumpOneMessage()) {
        }
    }
    HWND Create() {
        windows.push_back(platform::CreateHiddenWindow("knTestRecording", "test"));
        return windows.back();
    }
    std::vector<HWND> windows;
};

TEST_F(WindowTest, DestroyingDropsQueuedMessagesAndRefusesLatePosts) {
    HWND window = Create();
    HWND other = Create();
    PostMessageA(window, WM_USER + 2, 0, 0);
    PostMessageA(other, WM_USER + 4, 0, 0);
    platform::DestroyWindow(window);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].msg, static_cast<unsigned>(WM_DESTROY));
    EXPECT_TRUE(platform::PumpOneMessage());
    EXPECT_FALSE(platform::PumpOneMessage());
    EXPECT_EQ(received.back().window, other);
    EXPECT_EQ(PostMessageA(window, WM_USER + 2, 0, 0), 0);
    EXPECT_EQ(platform::SendMessage(window, WM_USER, 0, 0), 0);
    // A window may destroy itself while it handles a message.
    HWND closing = Create();
    EXPECT_EQ(platform::SendMessage(closing, WM_CLOSE, 0, 0), WM_CLOSE + 1000);
    EXPECT_EQ(received.back().msg, static_cast<unsigned>(WM_DESTROY));
    EXPECT_EQ(PostMessageA(closing, WM_USER, 0, 0), 0);
}

// Decoder threads keep posting while the owner pumps and then destroys the window.
TEST_F(WindowTest, PostsRacingWithDestructionAreSafe) {
    HWND window = Create();
    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    std::vector<std::thread> posters;
    for (int i = 0; i < 4; ++i) {
        posters.emplace_back([&] {
            while (!stop)
                accepted += PostMessageA(window, WM_USER + 2, 0, 0);
        });
    }
    const uint32_t start = platform::GetTickCount();
    while (receivedCount < 200 && platform::GetTickCount() - start < 5000)
        platform::PumpOneMessage();
    platform::DestroyWindow(window);
    const int deliveredAtDestroy = receivedCount.load();
    for (int i = 0; i < 100; ++i)
        platform::PumpOneMessage();
    stop = true;
    for (std::thread &poster : posters)
        poster.join();
    EXPECT_GE(deliveredAtDestroy, 200);
    EXPECT_LE(deliveredAtDestroy, accepted.load());
    EXPECT_EQ(receivedCount.load(), deliveredAtDestroy);
    EXPECT_EQ(PostMessageA(window, WM_USER + 2, 0, 0), 0);
}

int stopThreadStarts = 0;
void CountStopThreadStart() {
    ++stopThreadStarts;
}

// Both end-of-stream messages (WM_USER + 2 and + 3) start the stop thread; each job gets a
// fresh hidden window that dies with it.
TEST(CoreWindow, EndOfStreamStartsTheStopThreadAndTheWindowLivesForOneJob) {
    stopThreadStarts = 0;
    startStopThread = CountStopThreadStart;
    ASSERT_EQ(InitConvertor(), 1);
    HWND first = converterState.shadowWindow;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(shadowWindow, first);
    std::thread decoder([first] {
        for (unsigned msg : {WM_USER + 2u, WM_USER + 1u, WM_USER + 3u, 0u})
            PostMessageA(first, msg, 0, 0);
    });
    decoder.join();
    int dispatched = 0;
    while (platform::PumpOneMessage())
        ++dispatched;
    EXPECT_EQ(dispatched, 4);
    EXPECT_EQ(stopThreadStarts, 2);
    startStopThread = nullptr;
    DeInitConvertor();
    EXPECT_EQ(PostMessageA(first, WM_USER + 2, 0, 0), 0);
    ASSERT_EQ(InitConvertor(), 1);
    EXPECT_NE(converterState.shadowWindow, first);
    EXPECT_EQ(PostMessageA(converterState.shadowWindow, WM_USER + 1, 0, 0), 1);
    DeInitConvertor();
    EXPECT_FALSE(platform::PumpOneMessage());
}

unsigned long StoreArgument(void *argument) {
    *static_cast<std::atomic<int> *>(argument) = 42;
    return 0;
}

// How far the tick count may lag behind the time slept or waited: Windows advances it in steps
// of a timer tick (about 16 ms).
constexpr uint32_t kTickStepMs = platform::kPathSeparator == '/' ? 1 : 16;

TEST(ThreadsAndEvents, ThreadsRunAndEventsReleaseWaits) {
    std::atomic<int> value{0};
    platform::ThreadHandle thread = platform::CreateThread(StoreArgument, &value);
    ASSERT_NE(thread, nullptr);
    platform::JoinThread(thread);
    EXPECT_EQ(value.load(), 42);
    for (bool manualReset : {true, false}) {
        platform::EventHandle event = platform::CreateEvent("MDP_TEST", manualReset, true);
        EXPECT_TRUE(platform::WaitEvent(event, 0));
        EXPECT_EQ(platform::WaitEvent(event, 0), manualReset) << "an auto-reset event releases one";
        platform::SetEvent(event);
        platform::ResetEvent(event);
        const uint32_t start = platform::GetTickCount();
        EXPECT_FALSE(platform::WaitEvent(event, 30));
        EXPECT_GE(platform::GetTickCount() - start, 30u - kTickStepMs);
        std::thread setter([event] {
            platform::Sleep(20);
            platform::SetEvent(event);
        });
        EXPECT_TRUE(platform::WaitEvent(event, -1));
        setter.join();
        platform::CloseEvent(event);
    }
}

TEST(ThreadsAndEvents, ASecondFileLockWaitsForTheFirst) {
    const TempFolder temp;
    const std::string file = temp / "jobs.dat";
    std::ofstream(file) << "job line\n";
    platform::FileLockHandle first = platform::LockFile(file.c_str());
    ASSERT_NE(first, nullptr);
    std::atomic<bool> acquired{false};
    std::thread second([&] {
        platform::FileLockHandle lock = platform::LockFile(file.c_str());
        acquired = lock != nullptr;
        platform::UnlockFile(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(acquired.load());
    platform::UnlockFile(first);
    second.join();
    EXPECT_TRUE(acquired.load());
    std::string line;
    std::getline(std::ifstream(file), line);
    EXPECT_EQ(line, "job line");
    platform::FileLockHandle created = platform::LockFile((temp / "new.dat").c_str());
    EXPECT_TRUE(created && fs::exists(temp / "new.dat"));
    platform::UnlockFile(created);
    EXPECT_EQ(platform::LockFile((temp / "new.dat/below").c_str()), nullptr);
}

} // namespace
