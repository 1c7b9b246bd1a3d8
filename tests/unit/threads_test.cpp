#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

#include "runtime/threads.h"
#include "runtime/wake_event.h"

namespace korvex {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(TimeVal, NormalizeCarriesMicrosecondsIntoSeconds) {
  struct Case {
    std::int64_t s, us, wantS, wantUs;
  };
  const std::int64_t big = std::int64_t{1} << 40;
  const Case cases[] = {
      {5, -1, 4, 999999},           {5, -1000000, 4, 0},    {5, 2500000, 7, 500000},
      {5, 999999, 5, 999999},       {5, -2500000, 2, 500000}, {5, 0, 5, 0},
      {big, 1000001, big + 1, 1},   {big, -1, big - 1, 999999},
  };
  for (const Case& c : cases) {
    TimeVal t(c.s, c.us);
    t.normalize();
    EXPECT_EQ(c.wantS, t.seconds()) << c.s << ", " << c.us;
    EXPECT_EQ(c.wantUs, t.microseconds()) << c.s << ", " << c.us;
  }
  TimeVal sum(5, 900000);
  sum.add(TimeVal(1, 200000));
  EXPECT_EQ(7, sum.seconds());
  EXPECT_EQ(100000, sum.microseconds());
}

TEST(TimeVal, ClocksAreNormalized) {
  TimeVal wall;
  wall.now();
  EXPECT_GT(wall.seconds(), 1600000000);  // after 2020
  EXPECT_EQ(0, wall.microseconds() % 1000);
  EXPECT_LT(wall.microseconds(), 1000000);
  TimeVal a, b;
  a.monotonicNow();
  b.monotonicNow();
  EXPECT_LT(a.microseconds(), 1000000);
  EXPECT_TRUE(b.seconds() > a.seconds() || (b.seconds() == a.seconds() && b.microseconds() >= a.microseconds()));
}

class VConditionTest : public ::testing::Test {
 protected:
  // Runs `wait` under the mutex on another thread until `woken` is set,
  // sets it once the waiter is inside the wait, and returns the waiter's
  // results and elapsed time.
  template <typename Wait>
  std::pair<std::vector<int>, double> waitForBroadcast(Wait wait) {
    std::vector<int> results;
    std::atomic<bool> waiting{false};
    const auto start = Clock::now();
    std::thread waiter([&] {
      LockHelper lock(mutex_);
      waiting.store(true);
      while (!woken_) results.push_back(wait());
    });
    while (!waiting.load()) std::this_thread::yield();
    {
      // Taking the mutex means the waiter has released it inside the wait.
      LockHelper lock(mutex_);
      woken_ = true;
      EXPECT_EQ(0, cond_.broadcast());
    }
    waiter.join();
    return {results, secondsSince(start)};
  }

  PlainMutex mutex_;
  VCondition cond_;
  bool woken_ = false;  // guarded by mutex_
};

TEST_F(VConditionTest, ZeroTimeoutReturnsAtOnce) {
  LockHelper lock(mutex_);
  const auto start = Clock::now();
  EXPECT_EQ(ETIMEDOUT, cond_.waitMs(mutex_, 0));
  EXPECT_EQ(ETIMEDOUT, cond_.waitMicros(mutex_, 0));
  EXPECT_LT(secondsSince(start), 1.0);
}

TEST_F(VConditionTest, TimedWaitExpiresOnMonotonicDeadline) {
  LockHelper lock(mutex_);
  const auto start = Clock::now();
  EXPECT_EQ(ETIMEDOUT, cond_.waitMs(mutex_, 1500));
  const double elapsed = secondsSince(start);
  EXPECT_GE(elapsed, 1.4);
  EXPECT_LT(elapsed, 6.0);

  TimeVal deadline;
  deadline.monotonicNow().add(TimeVal(0, 100000));
  const auto again = Clock::now();
  EXPECT_EQ(ETIMEDOUT, cond_.waitUntil(mutex_, deadline));
  EXPECT_GE(secondsSince(again), 0.09);
}

TEST_F(VConditionTest, NegativeTimeoutWaitsForBroadcast) {
  // An untimed wait never reports a timeout, however often it is entered.
  const std::vector<int> ms = waitForBroadcast([&] { return cond_.waitMs(mutex_, -1); }).first;
  ASSERT_FALSE(ms.empty());
  for (const int r : ms) EXPECT_EQ(0, r);
  woken_ = false;  // the waiter has been joined
  const std::vector<int> micros = waitForBroadcast([&] { return cond_.waitMicros(mutex_, -5); }).first;
  ASSERT_FALSE(micros.empty());
  for (const int r : micros) EXPECT_EQ(0, r);
}

TEST_F(VConditionTest, BroadcastEndsTimedWaitEarly) {
  const auto [results, elapsed] = waitForBroadcast([&] { return cond_.waitMs(mutex_, 30000); });
  ASSERT_FALSE(results.empty());
  EXPECT_EQ(0, results.back());
  EXPECT_LT(elapsed, 10.0);
}

TEST(SchedulingPriority, ClassesMapToPriorities) {
  EXPECT_EQ(0, schedulingPriorityForClass(1));
  EXPECT_EQ(1, schedulingPriorityForClass(2));
  EXPECT_EQ(2, schedulingPriorityForClass(4));
  EXPECT_EQ(0, schedulingPriorityForClass(0x11));
  EXPECT_EQ(std::nullopt, schedulingPriorityForClass(3));
  EXPECT_EQ(std::nullopt, schedulingPriorityForClass(0));
}

void* echo(void* argument) { return argument; }

TEST(VThread, JoinAndCancelWithoutSpawnAreHarmless) {
  VThread thread;
  EXPECT_FALSE(thread.started());
  EXPECT_EQ(0, thread.join());
  EXPECT_NE(0, thread.cancel());
}

TEST(VThread, SpawnRunsFunctionInEveryClass) {
  for (const int priorityClass : {0, 1, 2, 3, 4, 0x11}) {
    VThread thread;
    int token = priorityClass;
    ASSERT_TRUE(thread.spawn(&echo, &token, priorityClass)) << priorityClass;
    EXPECT_TRUE(thread.started());
    void* result = nullptr;
    EXPECT_EQ(0, thread.join(&result));
    EXPECT_EQ(&token, result);
    EXPECT_FALSE(thread.started());
    EXPECT_EQ(0, thread.join());  // a second join has nothing left to wait for
  }
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

class Worker : public ThreadIf {
 public:
  void thread() override {
    bodyId_.store(currentThreadId());
    sawRunning_.store(!isShutdown());
    entered_.store(true);
    while (!isShutdown()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // so join has something to wait for
    finished_.store(true);
  }

  std::atomic<ThreadId> bodyId_{};
  std::atomic<bool> entered_{false};
  std::atomic<bool> sawRunning_{false};
  std::atomic<bool> finished_{false};
};

TEST(ThreadIf, RunShutdownJoin) {
  Worker worker;
  EXPECT_TRUE(worker.isShutdown());
  ASSERT_TRUE(worker.run());
  EXPECT_FALSE(worker.isShutdown());
  while (!worker.entered_.load()) std::this_thread::yield();
  EXPECT_TRUE(worker.sawRunning_.load());
  EXPECT_NE(currentThreadId(), worker.bodyId_.load());
  EXPECT_EQ(worker.getId(), worker.bodyId_.load());
  worker.shutdown();
  EXPECT_TRUE(worker.isShutdown());
  EXPECT_EQ(0, worker.join());
  EXPECT_TRUE(worker.finished_.load());
  EXPECT_EQ(0, worker.join());
}

}  // namespace
}  // namespace korvex
