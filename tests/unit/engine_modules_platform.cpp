// The platform services behind the loaders and the decode driver: hidden windows and their
// message queues, threads, events, the tick count, file locks and libraries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/e2e/harness.h"

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
    return static_cast<intptr_t>(msg) + 1000;
}

intptr_t CountingProc(HWND, unsigned int, uintptr_t, intptr_t) {
    ++receivedCount;
    return 0;
}

// Destroys itself on close, the way the core's hidden window does.
intptr_t SelfDestroyingProc(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam) {
    RecordingProc(window, msg, wParam, lParam);
    if (msg == WM_CLOSE || msg == WM_DESTROY)
        platform::DestroyWindow(window);
    return 0;
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        received.clear();
        receivedCount = 0;
        ASSERT_TRUE(platform::RegisterWindowClass("knTestRecording", RecordingProc));
        ASSERT_TRUE(platform::RegisterWindowClass("knTestCounting", CountingProc));
        ASSERT_TRUE(platform::RegisterWindowClass("knTestSelfDestroying", SelfDestroyingProc));
    }
    void TearDown() override {
        for (HWND window : windows)
            platform::DestroyWindow(window);
        while (platform::PumpOneMessage()) {
        }
    }
    HWND Create(const char *className) {
        HWND window = platform::CreateHiddenWindow(className, "test");
        windows.push_back(window);
        return window;
    }
    std::vector<HWND> windows;
};

TEST_F(WindowTest, ClassesRegisterOnceByName) {
    EXPECT_TRUE(platform::RegisterWindowClass("knTestRecording", RecordingProc));
    EXPECT_FALSE(platform::RegisterWindowClass("knTestRecording", CountingProc));
    EXPECT_FALSE(platform::RegisterWindowClass(nullptr, RecordingProc));
    EXPECT_FALSE(platform::RegisterWindowClass("knTestNull", nullptr));
    EXPECT_EQ(platform::CreateHiddenWindow("knTestUnregistered", "x"), nullptr);
    EXPECT_EQ(platform::CreateHiddenWindow(nullptr, "x"), nullptr);
}

TEST_F(WindowTest, PostedMessagesAreDispatchedInOrderOnTheOwningThread) {
    HWND first = Create("knTestRecording");
    HWND second = Create("knTestRecording");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    std::thread poster([&] {
        EXPECT_EQ(PostMessageA(first, WM_USER + 2, 7, -7), 1);
        EXPECT_EQ(PostMessageA(second, WM_USER + 3, 8, 8), 1);
        EXPECT_EQ(PostMessageA(first, WM_USER, 9, 9), 1);
        // Only the owner pumps its windows' messages.
        EXPECT_FALSE(platform::PumpOneMessage());
    });
    poster.join();
    EXPECT_TRUE(received.empty());
    while (platform::PumpOneMessage()) {
    }
    ASSERT_EQ(received.size(), 3u);
    const std::thread::id self = std::this_thread::get_id();
    struct Expected {
        HWND window;
        unsigned int msg;
        uintptr_t wParam;
        intptr_t lParam;
    } expected[] = {
        {first, WM_USER + 2, 7, -7}, {second, WM_USER + 3, 8, 8}, {first, WM_USER, 9, 9}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(received[i].window, expected[i].window) << i;
        EXPECT_EQ(received[i].msg, expected[i].msg) << i;
        EXPECT_EQ(received[i].wParam, expected[i].wParam) << i;
        EXPECT_EQ(received[i].lParam, expected[i].lParam) << i;
        EXPECT_EQ(received[i].thread, self) << i;
    }
}

TEST_F(WindowTest, SendCallsTheProcedureAtOnce) {
    HWND window = Create("knTestRecording");
    EXPECT_EQ(platform::SendMessage(window, WM_USER + 5, 1, 2), WM_USER + 5 + 1000);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_FALSE(platform::PumpOneMessage());
    EXPECT_EQ(platform::DefWindowProc(window, WM_USER, 0, 0), 0);
}

TEST_F(WindowTest, DestroyingSendsDestroyDropsQueuedMessagesAndRefusesLatePosts) {
    HWND window = Create("knTestRecording");
    HWND other = Create("knTestRecording");
    PostMessageA(window, WM_USER + 2, 0, 0);
    PostMessageA(other, WM_USER + 4, 0, 0);
    PostMessageA(window, WM_USER + 3, 0, 0);
    platform::DestroyWindow(window);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].msg, static_cast<unsigned>(WM_DESTROY));
    EXPECT_TRUE(platform::PumpOneMessage());
    EXPECT_FALSE(platform::PumpOneMessage());
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].window, other);

    EXPECT_EQ(PostMessageA(window, WM_USER + 2, 0, 0), 0);
    EXPECT_EQ(platform::SendMessage(window, WM_USER, 0, 0), 0);
    platform::DestroyWindow(window);
    EXPECT_EQ(received.size(), 2u);
    EXPECT_FALSE(platform::PumpOneMessage());
}

TEST_F(WindowTest, AWindowMayDestroyItselfWhileHandlingAMessage) {
    HWND window = Create("knTestSelfDestroying");
    EXPECT_EQ(platform::SendMessage(window, WM_CLOSE, 0, 0), 0);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].msg, static_cast<unsigned>(WM_CLOSE));
    EXPECT_EQ(received[1].msg, static_cast<unsigned>(WM_DESTROY));
    EXPECT_EQ(PostMessageA(window, WM_USER, 0, 0), 0);
}

TEST_F(WindowTest, TheDesktopStandInAcceptsPostsAndKeepsNothing) {
    HWND desktop = platform::GetDesktopWindow();
    ASSERT_NE(desktop, nullptr);
    EXPECT_EQ(desktop, platform::GetDesktopWindow());
    // On Windows the desktop is the system's window: whether a post is taken depends on the
    // desktop process (Wine's without a display now and then takes none), not on the core.
    constexpr bool kPostIsAlwaysTaken = platform::kPathSeparator == '/';
    const int taken = PostMessageA(desktop, WM_USER + 2, 0, 0);
    if (kPostIsAlwaysTaken) {
        EXPECT_EQ(taken, 1);
    }
    EXPECT_FALSE(platform::PumpOneMessage());
    if (kPostIsAlwaysTaken) {
        EXPECT_EQ(platform::SendMessage(desktop, WM_CLOSE, 0, 0), 0);
    }
    platform::DestroyWindow(desktop);
    EXPECT_EQ(desktop, platform::GetDesktopWindow());
    if (kPostIsAlwaysTaken) {
        EXPECT_EQ(PostMessageA(desktop, WM_USER + 2, 0, 0), 1);
    }
}

// Decoder threads keep posting while the owner pumps and then destroys the window.
TEST_F(WindowTest, PostsRacingWithDestructionAreSafe) {
    HWND window = Create("knTestCounting");
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

// ---- Threads, events, time ----

unsigned long StoreArgument(void *argument) {
    *static_cast<std::atomic<int> *>(argument) = 42;
    return 0;
}

TEST(ThreadTest, ThreadRunsItsFunctionWithTheArgument) {
    std::atomic<int> value{0};
    platform::ThreadHandle thread = platform::CreateThread(StoreArgument, &value);
    ASSERT_NE(thread, nullptr);
    platform::JoinThread(thread);
    EXPECT_EQ(value.load(), 42);
    EXPECT_EQ(platform::CreateThread(nullptr, nullptr), nullptr);
    platform::JoinThread(nullptr);
}

TEST(EventTest, ManualResetEventsStaySetAndAutoResetEventsReleaseOneWait) {
    struct Case {
        bool manualReset;
        bool secondWait;
    } cases[] = {{true, true}, {false, false}};
    for (const Case &c : cases) {
        platform::EventHandle event = platform::CreateEvent("MDP_TEST", c.manualReset, false);
        ASSERT_NE(event, nullptr);
        EXPECT_FALSE(platform::WaitEvent(event, 0)) << c.manualReset;
        platform::SetEvent(event);
        EXPECT_TRUE(platform::WaitEvent(event, 0)) << c.manualReset;
        EXPECT_EQ(platform::WaitEvent(event, 0), c.secondWait) << c.manualReset;
        platform::ResetEvent(event);
        EXPECT_FALSE(platform::WaitEvent(event, 0)) << c.manualReset;
        platform::CloseEvent(event);
    }
    platform::EventHandle initiallySet = platform::CreateEvent(nullptr, true, true);
    EXPECT_TRUE(platform::WaitEvent(initiallySet, 0));
    platform::CloseEvent(initiallySet);
}

// How far the tick count may lag behind the time slept or waited: Windows advances it in steps of a
// timer tick (about 16 ms).
#if defined(_WIN32)
constexpr uint32_t kTickStepMs = 16;
#else
constexpr uint32_t kTickStepMs = 1;
#endif

TEST(EventTest, WaitEndsWhenAnotherThreadSetsTheEventOrTheTimeRunsOut) {
    platform::EventHandle event = platform::CreateEvent("MDP_WAIT", true, false);
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

TEST(TimeTest, TickCountFollowsSleep) {
    const uint32_t start = platform::GetTickCount();
    platform::Sleep(25);
    const uint32_t elapsed = platform::GetTickCount() - start;
    EXPECT_GE(elapsed, 25u - kTickStepMs);
    EXPECT_LT(elapsed, 5000u);
    platform::Sleep(0);
}

// ---- File locks ----

TEST(FileLockTest, ASecondLockWaitsUntilTheFirstIsReleasedAndContentsStay) {
    fs::path file =
        fs::temp_directory_path() / ("kn-lock-" + std::to_string(std::random_device{}()) + ".dat");
    std::ofstream(file) << "job line\n";
    platform::FileLockHandle first = platform::LockFile(file.string().c_str());
    ASSERT_NE(first, nullptr);
    std::atomic<bool> acquired{false};
    std::thread second([&] {
        platform::FileLockHandle lock = platform::LockFile(file.string().c_str());
        acquired = lock != nullptr;
        platform::UnlockFile(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(acquired.load());
    platform::UnlockFile(first);
    second.join();
    EXPECT_TRUE(acquired.load());
    std::string line;
    // Closed before the removal: Windows removes no file that is still open.
    std::getline(std::ifstream(file), line);
    EXPECT_EQ(line, "job line");
    fs::remove(file);
}

TEST(FileLockTest, MissingFileIsCreatedAndAnImpossiblePathFails) {
    fs::path file = fs::temp_directory_path() /
                    ("kn-lock-new-" + std::to_string(std::random_device{}()) + ".dat");
    platform::FileLockHandle lock = platform::LockFile(file.string().c_str());
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(fs::exists(file));
    platform::UnlockFile(lock);
    fs::remove(file);
    EXPECT_EQ(platform::LockFile((file / "below" / "x").string().c_str()), nullptr);
    EXPECT_EQ(platform::LockFile(nullptr), nullptr);
    platform::UnlockFile(nullptr);
}

// ---- Libraries ----

TEST(LibraryTest, LoadingAndLookingUpReportFailures) {
    EXPECT_EQ(platform::LoadLibrary(LibraryFile("/nonexistent/kn_missing").c_str()), nullptr);
    EXPECT_NE(platform::LastLibraryError().find("kn_missing"), std::string::npos);
    EXPECT_EQ(platform::LoadLibrary(nullptr), nullptr);
    const std::string plugin =
        std::string(KN_TEST_PLUGIN_DIR) + platform::kPathSeparator + LibraryFile("test_encoder");
    platform::LibraryHandle library = platform::LoadLibrary(plugin.c_str());
    ASSERT_NE(library, nullptr) << platform::LastLibraryError();
    EXPECT_NE(platform::GetExport(library, "RegisterCompressModule"), nullptr);
    EXPECT_EQ(platform::GetExport(library, "winampGetInModule2"), nullptr);
    EXPECT_NE(platform::LastLibraryError().find("winampGetInModule2"), std::string::npos);
    EXPECT_EQ(platform::GetExport(nullptr, "RegisterCompressModule"), nullptr);
    platform::FreeLibrary(library);
    platform::FreeLibrary(nullptr);
}

} // namespace
