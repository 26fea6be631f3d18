// The event loop: managed devices, timeout handlers, idle work and the slice
// rules of xPL_processMessages.  Devices are pipes; no network is involved.
// The loop runs only while xPLFD is set, so each test points it at a pipe of
// its own that never becomes readable.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "xpl_test_helpers.h"

namespace {

using xpltest::debugLogOf;

// A pipe whose ends close with the object.
struct Pipe {
  int fds[2] = {-1, -1};
  // Non-blocking, so that a handler reading an already drained pipe returns.
  Pipe() { EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0); }
  ~Pipe() {
    closeWrite();
    if (fds[0] >= 0) close(fds[0]);
  }
  int readEnd() const { return fds[0]; }
  void poke() { ASSERT_EQ(write(fds[1], "x", 1), 1); }
  void drain() {
    char buffer[64];
    (void)!read(fds[0], buffer, sizeof buffer);
  }
  void closeWrite() {
    if (fds[1] >= 0) close(fds[1]);
    fds[1] = -1;
  }
};

// Every call of the fake clock moves it one second on, so that each idle work
// runs the timeout check and a timeout handler of interval 0 counts them.
time_t fakeNow = 1000000;
bool autoAdvance = true;
time_t fakeClock() { return autoAdvance ? ++fakeNow : fakeNow; }

int idleWorkCount = 0;
void countIdleWork(int, xPL_ObjectPtr) { idleWorkCount++; }

// What the device handlers saw, in call order.
std::vector<int> calls;
std::vector<Pipe *> pipesByValue;

void recordAndDrain(int fd, int, int userValue) {
  calls.push_back(userValue);
  char buffer[64];
  (void)!read(fd, buffer, sizeof buffer);
}

class EventLoopTest : public ::testing::Test {
 protected:
  Pipe listener;  // stands in for the xPL listener socket

  void SetUp() override {
    xPLFD = listener.readEnd();
    xPL_setClock(fakeClock);
    autoAdvance = true;
    idleWorkCount = 0;
    calls.clear();
    pipesByValue.clear();
    xPL_setHubConfirmed(TRUE);
  }
  void TearDown() override {
    xPLFD = -1;
    xPL_setClock(NULL);
    xPL_setMillisecondClock(NULL);
  }
  void countIdle() { xPL_addTimeoutHandler(countIdleWork, 0, NULL); }
};

TEST_F(EventLoopTest, DeviceWithoutWatchedEventsIsRefusedSilently) {
  Pipe p;
  std::string log = debugLogOf(
      [&] { EXPECT_FALSE(xPL_addIODevice(recordAndDrain, 1, p.readEnd(), FALSE, FALSE, FALSE)); });
  EXPECT_EQ(log, "");
  EXPECT_FALSE(xPL_removeIODevice(p.readEnd()));
}

TEST_F(EventLoopTest, AddAndRemoveLogTheDeviceCount) {
  Pipe a, b;
  std::string log = debugLogOf([&] {
    xPL_addIODevice(recordAndDrain, 1, a.readEnd(), TRUE, FALSE, FALSE);
    xPL_addIODevice(recordAndDrain, 2, b.readEnd(), TRUE, FALSE, FALSE);
    xPL_removeIODevice(a.readEnd());
    xPL_removeIODevice(a.readEnd());
  });
  EXPECT_NE(log.find("xPL_DEBUG: Added managed IO device, now 1 devices\n"), std::string::npos);
  EXPECT_NE(log.find("xPL_DEBUG: Added managed IO device, now 2 devices\n"), std::string::npos);
  EXPECT_NE(log.find("xPL_DEBUG: Removed managed IO device, now 1 devices\n"), std::string::npos);
  EXPECT_NE(log.find("xPL_DEBUG: Unable to remove managed IO device, fd=" +
                     std::to_string(a.readEnd()) + " not found\n"),
            std::string::npos);
  xPL_removeIODevice(b.readEnd());
}

TEST_F(EventLoopTest, NewestDeviceIsServedFirst) {
  Pipe first, second;
  xPL_addIODevice(recordAndDrain, 1, first.readEnd(), TRUE, FALSE, FALSE);
  xPL_addIODevice(recordAndDrain, 2, second.readEnd(), TRUE, FALSE, FALSE);
  first.poke();
  second.poke();
  EXPECT_FALSE(xPL_processMessages(0));
  EXPECT_EQ(calls, (std::vector<int>{2, 1}));
}

TEST_F(EventLoopTest, DuplicateDescriptorHasTwoEntriesAndRemovalTakesTheOlder) {
  Pipe p;
  xPL_addIODevice(recordAndDrain, 1, p.readEnd(), TRUE, FALSE, FALSE);
  xPL_addIODevice(recordAndDrain, 2, p.readEnd(), TRUE, FALSE, FALSE);
  p.poke();
  xPL_processMessages(0);
  // Both entries were ready; the newer one drained the pipe first.
  EXPECT_EQ(calls, (std::vector<int>{2, 1}));

  calls.clear();
  EXPECT_TRUE(xPL_removeIODevice(p.readEnd()));
  p.poke();
  xPL_processMessages(0);
  EXPECT_EQ(calls, (std::vector<int>{2}));
}

TEST_F(EventLoopTest, TableGrowsBeyondThirtyTwoDevices) {
  std::vector<Pipe> pipes(40);
  for (int i = 0; i < 40; i++) {
    ASSERT_TRUE(xPL_addIODevice(recordAndDrain, i, pipes[i].readEnd(), TRUE, FALSE, FALSE));
  }
  for (auto &p : pipes) p.poke();
  xPL_processMessages(0);
  ASSERT_EQ(calls.size(), 40u);
  for (int i = 0; i < 40; i++) EXPECT_EQ(calls[i], 39 - i);
}

int lastEvents = 0;
void noteEventsAndWithdraw(int fd, int events, int) {
  lastEvents = events;
  xPL_removeIODevice(fd);
}

TEST_F(EventLoopTest, HangupAloneStillCallsTheHandlerWithItsBits) {
  Pipe p;
  xPL_addIODevice(noteEventsAndWithdraw, 0, p.readEnd(), TRUE, FALSE, FALSE);
  p.closeWrite();
  xPL_processMessages(0);
  EXPECT_TRUE(lastEvents & POLLHUP);
  EXPECT_FALSE(lastEvents & POLLIN);
}

TEST_F(EventLoopTest, ZeroTimeoutWithNothingPendingIdlesOnce) {
  countIdle();
  EXPECT_FALSE(xPL_processMessages(0));
  EXPECT_EQ(idleWorkCount, 1);
}

TEST_F(EventLoopTest, StoppedLibraryIdlesOnceWithoutPolling) {
  Pipe p;
  xPL_addIODevice(recordAndDrain, 1, p.readEnd(), TRUE, FALSE, FALSE);
  p.poke();
  countIdle();
  xPLFD = -1;
  EXPECT_FALSE(xPL_processMessages(-1));
  EXPECT_EQ(idleWorkCount, 1);
  EXPECT_TRUE(calls.empty());
}

TEST_F(EventLoopTest, OneSecondLimitIdlesAfterTheFirstSliceOnly) {
  countIdle();
  xPL_processMessages(1000);
  EXPECT_EQ(idleWorkCount, 1);
}

TEST_F(EventLoopTest, TwoAndAHalfSecondLimitIdlesTwiceThenWaitsTheRemainder) {
  countIdle();
  auto start = std::chrono::steady_clock::now();
  xPL_processMessages(2500);
  auto spent = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(idleWorkCount, 2);
  // The remainder slice was waited for, not skipped.
  EXPECT_GE(spent, std::chrono::milliseconds(2400));
}

TEST_F(EventLoopTest, ActivityRestartsTheQuietPeriod) {
  Pipe p;
  xPL_addIODevice(recordAndDrain, 7, p.readEnd(), TRUE, FALSE, FALSE);
  countIdle();
  std::thread writer([&] {
    for (int i = 0; i < 3; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      p.poke();
    }
  });
  xPL_processMessages(400);
  writer.join();
  // Every poke came within 400 ms of the previous activity, so none was missed.
  EXPECT_EQ(calls, (std::vector<int>{7, 7, 7}));
  // No full quiet slice passed and the call lasted less than a second: the
  // idle work ran once.
  EXPECT_EQ(idleWorkCount, 1);
}

// --- handlers that change the table while a pass is running --------------

struct Plan {
  int removeFd = -1;     // descriptor to withdraw when called
  int addFd = -1;        // descriptor to add when called
  bool shutdown = false; // end the library when called
};
std::vector<Plan> plans;

void actOnPlan(int fd, int events, int userValue) {
  recordAndDrain(fd, events, userValue);
  Plan plan = plans[userValue];
  if (plan.removeFd >= 0) xPL_removeIODevice(plan.removeFd);
  if (plan.addFd >= 0) xPL_addIODevice(actOnPlan, 3, plan.addFd, TRUE, FALSE, FALSE);
  if (plan.shutdown) xPLFD = -1;
}

// Watches the pipes with actOnPlan, each with its place in the list as user value.
void watchWithPlans(std::initializer_list<Pipe *> pipes) {
  int userValue = 0;
  for (Pipe *pipe : pipes)
    xPL_addIODevice(actOnPlan, userValue++, pipe->readEnd(), TRUE, FALSE, FALSE);
}

// Makes every pipe readable.
void pokeAll(std::initializer_list<Pipe *> pipes) {
  for (Pipe *pipe : pipes) pipe->poke();
}

TEST_F(EventLoopTest, DeviceRemovedBeforeItsTurnIsNeverCalled) {
  Pipe a, b, c;
  plans.assign(4, Plan());
  plans[2].removeFd = a.readEnd();  // the newest withdraws the oldest
  watchWithPlans({&a, &b, &c});
  pokeAll({&a, &b, &c});
  xPL_processMessages(0);
  EXPECT_EQ(calls, (std::vector<int>{2, 1}));

  // The withdrawn descriptor stays readable but is not watched any more.
  calls.clear();
  b.poke();
  xPL_processMessages(0);
  EXPECT_EQ(calls, (std::vector<int>{1}));
}

TEST_F(EventLoopTest, RemovingAVisitedDeviceOrItselfCallsNobodyTwice) {
  Pipe a, b, c;
  plans.assign(4, Plan());
  plans[1].removeFd = c.readEnd();  // c was already served
  plans[0].removeFd = a.readEnd();  // a withdraws itself
  watchWithPlans({&a, &b, &c});
  pokeAll({&a, &b, &c});
  xPL_processMessages(0);
  EXPECT_EQ(calls, (std::vector<int>{2, 1, 0}));

  calls.clear();
  pokeAll({&a, &b, &c});
  xPL_processMessages(0);
  EXPECT_EQ(calls, (std::vector<int>{1}));
}

TEST_F(EventLoopTest, ReplacingADeviceInsideAHandlerServesTheNewOneNextPass) {
  // The pattern of reopening a serial port from inside the xPL handler:
  // withdraw the old descriptor and add the new one during the pass.
  Pipe oldPort, newPort, trigger;
  plans.assign(4, Plan());
  plans[1].removeFd = oldPort.readEnd();
  plans[1].addFd = newPort.readEnd();
  xPL_addIODevice(actOnPlan, 1, trigger.readEnd(), TRUE, FALSE, FALSE);
  xPL_addIODevice(actOnPlan, 0, oldPort.readEnd(), TRUE, FALSE, FALSE);
  oldPort.poke();
  trigger.poke();
  newPort.poke();
  xPL_processMessages(0);
  // The old port (newest) is served first, then the trigger replaces it; the
  // new port is added beyond this pass and served by the next poll.
  EXPECT_EQ(calls, (std::vector<int>{0, 1, 3}));
}

TEST_F(EventLoopTest, HandlerThatShutsDownEndsTheLoopAfterItsCall) {
  Pipe a, b;
  plans.assign(4, Plan());
  plans[1].shutdown = true;
  watchWithPlans({&a, &b});
  pokeAll({&a, &b});
  EXPECT_FALSE(xPL_processMessages(-1));
  EXPECT_EQ(calls, (std::vector<int>{1}));
}

// --- timeout handlers -------------------------------------------------------

std::vector<std::pair<int, int>> timeoutCalls;  // (which, elapsed)
void timeoutA(int elapsed, xPL_ObjectPtr) { timeoutCalls.push_back({0, elapsed}); }
void timeoutB(int elapsed, xPL_ObjectPtr) { timeoutCalls.push_back({1, elapsed}); }
void timeoutRemovesA(int elapsed, xPL_ObjectPtr) {
  timeoutCalls.push_back({2, elapsed});
  xPL_removeTimeoutHandler(timeoutA);
}
void timeoutRemovesItself(int elapsed, xPL_ObjectPtr) {
  timeoutCalls.push_back({3, elapsed});
  xPL_removeTimeoutHandler(timeoutRemovesItself);
}
void timeoutAddsB(int elapsed, xPL_ObjectPtr) {
  timeoutCalls.push_back({4, elapsed});
  xPL_removeTimeoutHandler(timeoutAddsB);
  xPL_addTimeoutHandler(timeoutB, 0, NULL);
}

class TimeoutTest : public EventLoopTest {
 protected:
  void SetUp() override {
    EventLoopTest::SetUp();
    autoAdvance = false;
    timeoutCalls.clear();
  }
  // One idle work at the given clock second.
  void idleAt(time_t when) {
    fakeNow = when;
    xPL_processMessages(0);
  }
};

TEST_F(TimeoutTest, HandlerRunsOnceItsIntervalHasPassedAndCountsFromThere) {
  idleAt(100);
  xPL_addTimeoutHandler(timeoutA, 10, NULL);
  idleAt(109);
  EXPECT_TRUE(timeoutCalls.empty());
  idleAt(113);
  ASSERT_EQ(timeoutCalls.size(), 1u);
  EXPECT_EQ(timeoutCalls[0].second, 13);
  idleAt(122);
  EXPECT_EQ(timeoutCalls.size(), 1u);
  idleAt(123);
  EXPECT_EQ(timeoutCalls.size(), 2u);
}

TEST_F(TimeoutTest, ZeroIntervalRunsAtEveryCheckButAtMostOncePerSecond) {
  idleAt(100);
  xPL_addTimeoutHandler(timeoutA, 0, NULL);
  idleAt(101);
  idleAt(101);
  idleAt(102);
  EXPECT_EQ(timeoutCalls.size(), 2u);
}

TEST_F(TimeoutTest, RemovedHandlersAreNotCalledEvenLaterInTheSameCheck) {
  idleAt(100);
  xPL_addTimeoutHandler(timeoutA, 0, NULL);             // oldest: visited last
  xPL_addTimeoutHandler(timeoutRemovesItself, 0, NULL);
  xPL_addTimeoutHandler(timeoutRemovesA, 0, NULL);      // newest: visited first
  idleAt(101);
  EXPECT_EQ(timeoutCalls, (std::vector<std::pair<int, int>>{{2, 1}, {3, 1}}));
  timeoutCalls.clear();
  idleAt(102);
  EXPECT_EQ(timeoutCalls, (std::vector<std::pair<int, int>>{{2, 1}}));
}

TEST_F(TimeoutTest, HandlerAddedDuringACheckWaitsForTheNext) {
  idleAt(100);
  xPL_addTimeoutHandler(timeoutAddsB, 0, NULL);
  idleAt(101);
  EXPECT_EQ(timeoutCalls, (std::vector<std::pair<int, int>>{{4, 1}}));
  idleAt(102);
  EXPECT_EQ(timeoutCalls.size(), 2u);
  EXPECT_EQ(timeoutCalls[1].first, 1);
}

TEST_F(TimeoutTest, ClockSetBackRestartsTheIntervalInsteadOfStalling) {
  idleAt(1000);
  xPL_addTimeoutHandler(timeoutA, 10, NULL);
  idleAt(500);  // the clock jumped back by more than eight minutes
  idleAt(509);
  EXPECT_TRUE(timeoutCalls.empty());
  idleAt(510);
  EXPECT_EQ(timeoutCalls.size(), 1u);
}

// Traffic that never lets a slice pass quietly: every pass finds the pipe
// ready and takes 100 ms of the clocks, which tick together.
long long trafficMilliseconds = 0;
int trafficPasses = 0;
long long trafficClock() { return trafficMilliseconds; }
void passUnderTraffic(int, int, int) {
  trafficMilliseconds += 100;
  fakeNow = 1000 + trafficMilliseconds / 1000;
  if (++trafficPasses == 100) xPLFD = -1;  // ten seconds: surely enough
}
void timeoutEndsAfterTwo(int elapsed, xPL_ObjectPtr) {
  timeoutCalls.push_back({0, elapsed});
  if (timeoutCalls.size() == 2) xPLFD = -1;
}

TEST_F(TimeoutTest, HandlerFiresOnTimeWhileADeviceIsAlwaysReady) {
  trafficMilliseconds = 0;
  trafficPasses = 0;
  xPL_setMillisecondClock(trafficClock);
  fakeNow = 1000;
  Pipe busy;
  busy.poke();  // never drained
  xPL_addIODevice(passUnderTraffic, 0, busy.readEnd(), TRUE, FALSE, FALSE);
  xPL_addTimeoutHandler(timeoutEndsAfterTwo, 2, NULL);
  xPL_processMessages(-1);
  xPL_removeTimeoutHandler(timeoutEndsAfterTwo);
  xPL_removeIODevice(busy.readEnd());
  // Twice within the ten seconds, each time as soon as its interval passed.
  EXPECT_EQ(timeoutCalls, (std::vector<std::pair<int, int>>{{0, 2}, {0, 2}}));
  EXPECT_LT(trafficPasses, 100);
}

TEST_F(TimeoutTest, RemovingAnUnknownHandlerAnswersFalse) {
  EXPECT_FALSE(xPL_removeTimeoutHandler(timeoutB));
  xPL_addTimeoutHandler(timeoutB, 5, NULL);
  EXPECT_TRUE(xPL_removeTimeoutHandler(timeoutB));
  EXPECT_FALSE(xPL_removeTimeoutHandler(timeoutB));
}

}  // namespace
