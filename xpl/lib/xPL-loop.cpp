// xPL-loop.cpp -- the event loop: managed IO devices, timeout handlers,
// one-shot timers and the idle work.
//
// The event loop is the only loop of the process.  Its whole state lives in
// one record, `eventLoop`.  The device table is the very array handed to
// poll(), with the handler records in a parallel array of the same order.
// The loop runs while the library is started (xPLFD is set) and knows
// nothing of what the layers above do in it: they register devices, timeout
// handlers, timers and idle work (the services' heartbeat schedule is one).
//
// Besides the devices the loop keeps one-shot timers of millisecond
// precision on the monotonic clock.  A slice is still at most 1000 ms of
// waiting, but its poll is cut short at the next due timer, the timer fires,
// and the rest of the slice is waited; so no timer waits for a slice to end
// and the slice rules stay as callers know them.  The idle work (the
// registered idle work, then the timeout handlers) runs after a quiet slice,
// and also after a pass that handled devices once a second has gone by since
// it last ran, so that steady traffic never starves it.
//
// Handlers may add and remove devices (and timeout handlers may add and
// remove timeout handlers) while a pass over the table is running.  Additions
// go beyond the entries the pass started with.  Removals during a pass do not
// move entries: the entry is marked removed (its descriptor becomes -1,
// which poll() ignores) and the table is compacted once the outermost pass
// ends.  So a removed handler is never called, and no handler is called
// twice in one pass, whatever a handler removes.
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "xPL_priv.h"
#include "xPL_table.h"

namespace {

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

struct DeviceHandler {
  xPL_IOHandler ioHandler;
  int userValue;
  bool removed;  // removed during a pass; dropped when the pass ends
};

struct TimeoutHandler {
  int timeoutInterval;
  time_t lastTimedoutAt;
  xPL_TimeoutHandler timeoutHandler;
  xPL_ObjectPtr userValue;
  bool removed;  // removed during a check; dropped when the check ends
};

struct OneShotTimer {
  long long dueAt;  // milliseconds on the monotonic clock
  xPL_TimerHandler timerHandler;
  xPL_ObjectPtr userValue;
  unsigned long armedAs;  // arming order; see runDueTimers
};

constexpr int deviceGrowth = 32;
constexpr int timeoutGrowth = 4;
constexpr int timerGrowth = 4;
constexpr int idleWorkGrowth = 4;
constexpr int sliceMilliseconds = 1000;
constexpr long long idleWorkEveryMilliseconds = 1000;

struct EventLoop {
  pollfd *pollInfo;             // the very array handed to poll()
  DeviceHandler *pollUserInfo;  // parallel to pollInfo
  int pollInfoCount;            // entries in use, those marked removed included
  int pollInfoSize;             // entries allocated

  TimeoutHandler *timeoutList;
  int timeoutCount;
  int timeoutAllocCount;

  OneShotTimer *timerList;
  int timerCount;
  int timerAllocCount;
  unsigned long timersArmed;

  xpl::internal::IdleWork *idleWorkList;
  int idleWorkCount;
  int idleWorkAllocCount;

  time_t timeoutChecksLastDoneAt;
  long long idleWorkLastRanAt;  // monotonic milliseconds; -1 = never
};

EventLoop eventLoop = {nullptr, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0,
                       0,       0,       nullptr, 0, 0, -1, -1};

// An entry removed during a pass or check keeps its place, marked.
struct RemovedFlag {
  template <typename Entry>
  static bool isMarked(const Entry &entry) {
    return entry.removed;
  }
  template <typename Entry>
  static void mark(Entry &entry) {
    entry.removed = true;
  }
};

// The handler records, with the poll array beside them.
xpl::internal::Table<DeviceHandler, RemovedFlag, pollfd> devices() {
  return {eventLoop.pollUserInfo, eventLoop.pollInfoCount, eventLoop.pollInfoSize, deviceGrowth,
          eventLoop.pollInfo};
}

xpl::internal::Table<TimeoutHandler, RemovedFlag> timeouts() {
  return {eventLoop.timeoutList, eventLoop.timeoutCount, eventLoop.timeoutAllocCount,
          timeoutGrowth};
}

xpl::internal::Table<OneShotTimer> timers() {
  return {eventLoop.timerList, eventLoop.timerCount, eventLoop.timerAllocCount, timerGrowth};
}

xpl::internal::Table<xpl::internal::IdleWork> idleWork() {
  return {eventLoop.idleWorkList, eventLoop.idleWorkCount, eventLoop.idleWorkAllocCount,
          idleWorkGrowth};
}

// ---------------------------------------------------------------------------
// Managed devices
// ---------------------------------------------------------------------------

// Calls the handlers of the ready devices, newest first; false when the
// library was shut down by one of them.
bool dispatchReadyDevices(int readyCount) {
  int handled = 0;
  bool stillRunning = true;
  devices().walkNewestFirst([&](const DeviceHandler &device, int i) {
    // Look the entry up afresh: a handler may have grown the arrays.
    const short returned = eventLoop.pollInfo[i].revents;
    if (returned == 0) return true;
    eventLoop.pollInfo[i].revents = 0;
    device.ioHandler(eventLoop.pollInfo[i].fd, returned, device.userValue);
    if (xPLFD == -1) {
      stillRunning = false;
      return false;
    }
    return ++handled < readyCount;
  });
  return stillRunning;
}

// ---------------------------------------------------------------------------
// Timeout handlers and idle work
// ---------------------------------------------------------------------------

// Calls every timeout handler whose interval has passed, newest first.
void checkAllTimeoutHandlers(time_t now) {
  timeouts().walkNewestFirst([&](const TimeoutHandler &entry, int i) {
    const time_t elapsed = now - entry.lastTimedoutAt;
    if (elapsed < 0) {
      // The clock was set back: count the interval afresh from now rather
      // than wait for the clock to catch up with the old stamp.
      eventLoop.timeoutList[i].lastTimedoutAt = now;
      return true;
    }
    if (elapsed < entry.timeoutInterval) return true;
    entry.timeoutHandler(static_cast<int>(elapsed), entry.userValue);
    // The handler may have added entries and so moved the array.
    eventLoop.timeoutList[i].lastTimedoutAt = now;
    return true;
  });
}

// Idle work: the registered idle work, then the timeout check once per second.
void doTimeouts() {
  eventLoop.idleWorkLastRanAt = xPL_nowMilliseconds();
  const time_t now = xPL_now();
  for (int i = 0; i < eventLoop.idleWorkCount; i++) eventLoop.idleWorkList[i](now);
  if (eventLoop.timeoutChecksLastDoneAt == -1 || eventLoop.timeoutChecksLastDoneAt != now) {
    checkAllTimeoutHandlers(now);
    eventLoop.timeoutChecksLastDoneAt = now;
  }
}

// After a pass that handled devices: whether a second has gone by since the
// idle work last ran, so that traffic cannot hold it back.  A clock that
// went back (only a replaced one can) makes it due rather than stall it.
bool idleWorkIsDue() {
  if (eventLoop.idleWorkLastRanAt < 0) return true;
  const long long since = xPL_nowMilliseconds() - eventLoop.idleWorkLastRanAt;
  return since < 0 || since >= idleWorkEveryMilliseconds;
}

// ---------------------------------------------------------------------------
// One-shot timers
// ---------------------------------------------------------------------------

int findTimer(xPL_TimerHandler theHandler, xPL_ObjectPtr userValue) {
  return timers().find([&](const OneShotTimer &timer) {
    return timer.timerHandler == theHandler && timer.userValue == userValue;
  });
}

// Milliseconds from now until the soonest timer is due (0 when one is
// overdue), or -1 when no timer is pending.
long long untilNextTimer(long long now) {
  long long soonest = -1;
  for (int i = 0; i < eventLoop.timerCount; i++) {
    long long wait = eventLoop.timerList[i].dueAt - now;
    if (wait < 0) wait = 0;
    if (soonest < 0 || wait < soonest) soonest = wait;
  }
  return soonest;
}

// Fires every due timer, the soonest first; each is removed before its
// handler runs, so the handler may arm or cancel timers freely.  A timer
// armed during this run waits for the next one: a handler that re-arms
// itself with no delay cannot hold the loop here.
void runDueTimers() {
  const unsigned long armedBeforeRun = eventLoop.timersArmed;
  for (;;) {
    const long long now = xPL_nowMilliseconds();
    int due = -1;
    for (int i = 0; i < eventLoop.timerCount; i++) {
      const OneShotTimer &timer = eventLoop.timerList[i];
      if (timer.armedAs >= armedBeforeRun || timer.dueAt > now) continue;
      if (due < 0 || timer.dueAt < eventLoop.timerList[due].dueAt) due = i;
    }
    if (due < 0) return;
    const OneShotTimer fired = eventLoop.timerList[due];
    timers().removeAt(due);
    fired.timerHandler(fired.userValue);
  }
}

// Waits up to `slice` ms for a device to become ready, firing timers as they
// fall due: the poll is cut short at the next timer and the rest of the
// slice is waited after it fired.  The count of ready devices; 0 when the
// slice passed without one (or the library was stopped by a timer); -1,
// with errno set, when poll failed.
int pollSlice(int slice) {
  const long long sliceEnd = xPL_nowMilliseconds() + slice;
  for (;;) {
    const long long now = xPL_nowMilliseconds();
    long long wait = sliceEnd > now ? sliceEnd - now : 0;
    const long long toTimer = untilNextTimer(now);
    const bool cutShort = toTimer >= 0 && toTimer < wait;
    if (cutShort) wait = toTimer;

    const int readyCount = poll(eventLoop.pollInfo, static_cast<nfds_t>(eventLoop.pollInfoCount),
                                static_cast<int>(wait));
    if (readyCount < 0 && errno == EINTR) continue;  // the rest of the slice
    if (readyCount != 0) return readyCount;
    runDueTimers();
    if (!cutShort || xPLFD == -1) return 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Managed devices
// ---------------------------------------------------------------------------

Bool xPL_addIODevice(xPL_IOHandler theIOHandler, int userValue, int theFD, Bool watchRead,
                     Bool watchWrite, Bool watchError) {
  if (!watchRead && !watchWrite && !watchError) return FALSE;
  auto table = devices();
  table.append() = {theIOHandler, userValue, false};
  pollfd &entry = eventLoop.pollInfo[table.count() - 1];
  entry.fd = theFD;
  entry.events = static_cast<short>((watchRead ? POLLIN : 0) | (watchWrite ? POLLOUT : 0) |
                                    (watchError ? POLLERR : 0));
  entry.revents = 0;
  xPL_Debug("Added managed IO device, now %d devices", table.liveCount());
  return TRUE;
}

Bool xPL_removeIODevice(int theFD) {
  auto table = devices();
  for (int i = 0; i < table.count(); i++) {
    if (table[i].removed || eventLoop.pollInfo[i].fd != theFD) continue;
    // During a pass the entry stays, marked; poll() ignores it meanwhile.
    eventLoop.pollInfo[i].fd = -1;
    eventLoop.pollInfo[i].revents = 0;
    table.removeAt(i);
    xPL_Debug("Removed managed IO device, now %d devices", table.liveCount());
    return TRUE;
  }
  xPL_Debug("Unable to remove managed IO device, fd=%d not found", theFD);
  return FALSE;
}

// ---------------------------------------------------------------------------
// Timeout handlers, timers and idle work
// ---------------------------------------------------------------------------

void xPL_addTimeoutHandler(xPL_TimeoutHandler timeoutHandler, int timeoutInSeconds,
                           xPL_ObjectPtr userValue) {
  timeouts().append() = {timeoutInSeconds, xPL_now(), timeoutHandler, userValue, false};
}

Bool xPL_removeTimeoutHandler(xPL_TimeoutHandler timeoutHandler) {
  auto table = timeouts();
  const int index = table.find(
      [&](const TimeoutHandler &entry) { return entry.timeoutHandler == timeoutHandler; });
  if (index < 0) return FALSE;
  table.removeAt(index);
  return TRUE;
}

void xPL_addTimer(xPL_TimerHandler theHandler, int theMilliseconds, xPL_ObjectPtr userValue) {
  timers().append() = {xPL_nowMilliseconds() + (theMilliseconds > 0 ? theMilliseconds : 0),
                       theHandler, userValue, eventLoop.timersArmed++};
}

Bool xPL_removeTimer(xPL_TimerHandler theHandler, xPL_ObjectPtr userValue) {
  const int index = findTimer(theHandler, userValue);
  if (index < 0) return FALSE;
  timers().removeAt(index);
  return TRUE;
}

Bool xPL_isTimerPending(xPL_TimerHandler theHandler, xPL_ObjectPtr userValue) {
  return findTimer(theHandler, userValue) >= 0 ? TRUE : FALSE;
}

void xpl::internal::addIdleWork(IdleWork theWork) { idleWork().append() = theWork; }

// ---------------------------------------------------------------------------
// The loop
// ---------------------------------------------------------------------------

Bool xPL_processMessages(int theTimeout) {
  bool idleWorkDone = false;
  int idleMilliseconds = 0;

  while (xPLFD != -1) {
    int slice;
    if (theTimeout == -1) {
      slice = sliceMilliseconds;
    } else if (theTimeout > 0) {
      slice = theTimeout - idleMilliseconds;
      if (slice > sliceMilliseconds) slice = sliceMilliseconds;
    } else {
      slice = 0;
    }

    const int readyCount = pollSlice(slice);

    if (xPLFD == -1) break;
    if (readyCount < 0) {
      // The caller learns the reason from errno.
      const int pollError = errno;
      xPL_Debug("Error while polling devices - %s (%d) - terminating", strerror(pollError),
                pollError);
      errno = pollError;
      return FALSE;
    }

    if (readyCount == 0) {
      // A slice shorter than a full one is the last of a limited run.
      if (slice < sliceMilliseconds) break;
      doTimeouts();
      idleWorkDone = true;
      idleMilliseconds += slice;
      continue;
    }

    idleMilliseconds = 0;
    if (!dispatchReadyDevices(readyCount)) break;
    runDueTimers();
    if (xPLFD == -1) break;
    if (idleWorkIsDue()) {
      doTimeouts();
      idleWorkDone = true;
    }
  }

  if (!idleWorkDone) doTimeouts();
  return FALSE;
}
