// Waiting a bounded time for a thread, as start-up waits for the usage
// report: the same test runs on the real Windows calls and on the layer.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_gateLock;
std::condition_variable g_gateOpened;
bool g_gateOpen = false;

DWORD WINAPI WaitAtTheGate(LPVOID) {
    std::unique_lock<std::mutex> lock(g_gateLock);
    g_gateOpened.wait(lock, [] { return g_gateOpen; });
    return 0;
}

DWORD WINAPI ReturnAtOnce(LPVOID) { return 0; }

TEST(ThreadWait, ATimedWaitEndsOnTimeAndTheEndOfTheThreadEndsAWait) {
    HANDLE thread = CreateThread(nullptr, 0, WaitAtTheGate, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(thread, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(waited, 0.25);  // Windows' timer may end a wait a tick early
    EXPECT_LT(waited, 5.0);
    {
        std::lock_guard<std::mutex> lock(g_gateLock);
        g_gateOpen = true;
    }
    g_gateOpened.notify_all();
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));

    // More threads than the program ever runs at once, one after another:
    // each one's handle and record are given back.
    for (int i = 0; i < 16; ++i) {
        thread = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, nullptr);
        ASSERT_NE(thread, nullptr) << "thread " << i;
        EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        EXPECT_TRUE(CloseHandle(thread));
    }
}

}  // namespace
