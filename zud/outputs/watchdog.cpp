// watchdog.cpp -- the receiver's weekly sign of life.
#include "outputs/watchdog.h"

#include <algorithm>
#include <cstdio>

#include "same/timetext.h"
#include "xPL.h"

namespace {

constexpr long long day = 86400;

}  // namespace

std::time_t testreference(std::optional<std::time_t> lasttest, std::time_t since) {
  return lasttest ? std::max(*lasttest, since) : since;
}

bool testoverdue(std::optional<std::time_t> lasttest, std::time_t since, std::time_t now,
                 int days) {
  return days > 0 && now - testreference(lasttest, since) > days * day;
}

std::string overduetext(std::optional<std::time_t> lasttest, std::time_t since, std::time_t now) {
  return "no Required Weekly Test heard for " +
         std::to_string((now - testreference(lasttest, since)) / day) + " days (" +
         (lasttest ? "last one " + localtext(*lasttest) : "none since " + localtext(since)) + ")";
}

std::string silencetext(const std::string &path, std::time_t when,
                        std::optional<std::time_t> lastanswer, const std::string &why) {
  if (!why.empty()) return why + " since " + localtext(when);
  return "the receiver on " + path + " did not answer its query at " + localtext(when) + " (" +
         (lastanswer ? "last answer " + localtext(*lastanswer) : std::string("never answered")) +
         ")";
}

watchdog::watchdog(int overduedays, changehandler changed, void *owner)
    : overduedays_(overduedays), changed_(changed), owner_(owner) {}

watchdog::~watchdog() { xPL_removeTimer(timerfired, this); }

void watchdog::start(std::optional<std::time_t> lasttest, std::time_t since, std::time_t now) {
  lasttest_ = lasttest;
  since_ = since;
  started_ = true;
  check(now);
}

void watchdog::settestexpected(bool expected, std::time_t now) {
  if (expected == testexpected_) return;
  testexpected_ = expected;
  if (!started_) return;
  // Tests are expected from now on: a receiver just set to pass them has
  // had no chance to yet.
  if (expected) since_ = std::max(since_, now);
  check(now);
}

std::string watchdog::alertheard(const heardalert &heard, bool) {
  if (heard.sample || heard.values.eventcode != "RWT") return {};
  lasttest_ = heard.received;
  if (started_) check(heard.received);
  return "counted as the receiver's weekly test";
}

void watchdog::receiveranswer(std::time_t when, std::string_view path, bool answered,
                              std::string_view why) {
  if (answered) {
    if (why.empty()) lastanswer_ = when;
    if (silentpath_ == path) silentpath_.clear();
  } else {
    silentpath_ = path;
    silentsince_ = when;
    silentwhy_ = why;
  }
  if (started_) check(when);
}

void watchdog::check(std::time_t now) {
  const std::time_t reference = testreference(lasttest_, since_);
  const bool overdue = testexpected_ && testoverdue(lasttest_, since_, now, overduedays_);
  const bool silent = !silentpath_.empty();

  receiverhealth next;
  next.problem = overdue || silent;
  next.lasttest = lasttest_.value_or(0);
  if (overdue) next.why = overduetext(lasttest_, since_, now);
  if (silent) {
    if (!next.why.empty()) next.why += "; ";
    next.why += silencetext(silentpath_, silentsince_, lastanswer_, silentwhy_);
  }

  const bool changed = next.problem != health_.problem || next.why != health_.why ||
                       next.lasttest != health_.lasttest;
  const bool newproblem = (overdue && !wasoverdue_) || (silent && !wassilent_);
  wasoverdue_ = overdue;
  wassilent_ = silent;
  health_ = next;
  if (next.problem && (newproblem || !lastreport_ || now - *lastreport_ >= day)) {
    std::fprintf(stderr, "zud: %s -- check the receiver, its antenna and its power\n",
                 next.why.c_str());
    lastreport_ = now;
  }
  if (!next.problem) lastreport_.reset();
  if (changed && changed_ != nullptr) changed_(health_, owner_);

  // Look again when the next report is due, or when the test falls overdue;
  // at least once a day, so that a clock set forward is noticed.
  long long wait = day;
  if (next.problem && lastreport_) wait = std::min(wait, *lastreport_ + day - now);
  if (!overdue && overduedays_ > 0 && testexpected_) {
    wait = std::min(wait, reference + overduedays_ * day + 1 - now);
  }
  xPL_removeTimer(timerfired, this);
  xPL_addTimer(timerfired, static_cast<int>(std::max(wait, 1LL) * 1000), this);
}

void watchdog::timerfired(void *self) { static_cast<watchdog *>(self)->check(std::time(nullptr)); }
