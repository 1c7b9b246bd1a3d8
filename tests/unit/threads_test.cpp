#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/threads.h"
#include "runtime/wake_event.h"

namespace korvex {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void* echo(void* argument) { return argument; }

TEST(VThread, JoinAndDetachWithoutSpawnAreHarmless) {
  VThread thread;
  EXPECT_FALSE(thread.started());
  EXPECT_EQ(0, thread.join());
  EXPECT_EQ(0, thread.detach());
}

TEST(VThread, SpawnRunsFunctionAndJoinReturnsItsResult) {
  VThread thread;
  int token = 7;
  ASSERT_TRUE(thread.spawn(&echo, &token));
  EXPECT_TRUE(thread.started());
  void* result = nullptr;
  EXPECT_EQ(0, thread.join(&result));
  EXPECT_EQ(&token, result);
  EXPECT_FALSE(thread.started());
  EXPECT_EQ(0, thread.join());  // a second join has nothing left to wait for
}

// The keep-alive's pause: runs its whole time unless signalled, and a
// signal before, during or after a wait ends that wait and every later one.
TEST(WakeEvent, RunsItsTimeUnlessSignalled) {
  WakeEvent idle;
  auto start = Clock::now();
  EXPECT_FALSE(idle.waitFor(200));
  EXPECT_GE(secondsSince(start), 0.19);

  struct Case {
    const char* name;
    int signalAfterMs;  // -1: before the wait starts
  };
  const Case cases[] = {{"signalled before the wait", -1}, {"signalled during the wait", 50}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WakeEvent event;
    if (c.signalAfterMs < 0) event.signal();
    std::thread signaller([&] {
      if (c.signalAfterMs < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(c.signalAfterMs));
      event.signal();
    });
    start = Clock::now();
    EXPECT_TRUE(event.waitFor(30000));
    EXPECT_LT(secondsSince(start), 10.0);
    signaller.join();
    EXPECT_TRUE(event.waitFor(30000));  // stays signalled
  }
}

class Worker : public StoppableThread {
 public:
  void thread() override {
    bodyId_ = std::this_thread::get_id();
    sawRunning_.store(!isShutdown());
    entered_.store(true);
    while (!isShutdown()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // so join has something to wait for
    finished_.store(true);
  }

  std::thread::id bodyId_;  // written before entered_ is set
  std::atomic<bool> entered_{false};
  std::atomic<bool> sawRunning_{false};
  std::atomic<bool> finished_{false};
};

TEST(StoppableThread, RunShutdownJoin) {
  Worker worker;
  EXPECT_TRUE(worker.isShutdown());
  ASSERT_TRUE(worker.run());
  EXPECT_FALSE(worker.isShutdown());
  while (!worker.entered_.load()) std::this_thread::yield();
  EXPECT_TRUE(worker.sawRunning_.load());
  EXPECT_NE(std::this_thread::get_id(), worker.bodyId_);
  worker.shutdown();
  EXPECT_TRUE(worker.isShutdown());
  EXPECT_EQ(0, worker.join());
  EXPECT_TRUE(worker.finished_.load());
  EXPECT_EQ(0, worker.join());
}

}  // namespace
}  // namespace korvex
