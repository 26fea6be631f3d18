// inforce.cpp -- the alerts in force and their one expiry timer.
#include "core/inforce.h"

#include <algorithm>
#include <climits>

#include "xPL.h"

namespace {

// The loop's timers count milliseconds in an int; an expiry further ahead
// than a day is reached by arming again when this much has passed.  The
// timer is also checked against the wall clock when it fires, so that a
// clock set forward or back while waiting costs at most one more arming.
constexpr long long longestWaitMs = 24LL * 3600 * 1000;

}  // namespace

inforce::inforce(expiryhandler handler, void *owner) : handler_(handler), owner_(owner) {}

inforce::~inforce() { xPL_removeTimer(timerfired, this); }

bool inforce::contains(const std::string &key) const {
  return std::any_of(alerts_.begin(), alerts_.end(),
                     [&](const heardalert &a) { return alertkey(a.values) == key; });
}

bool inforce::add(const heardalert &heard, std::time_t now) {
  if (heard.values.expires <= now || contains(alertkey(heard.values))) return false;
  const auto later = std::upper_bound(
      alerts_.begin(), alerts_.end(), heard.values.expires,
      [](std::time_t expires, const heardalert &a) { return expires < a.values.expires; });
  alerts_.insert(later, heard);
  arm();
  return true;
}

void inforce::addlate(const heardalert &heard) {
  late_.push_back(heard);
  arm();
}

void inforce::expireuntil(std::time_t now) {
  std::vector<heardalert> late;
  late.swap(late_);
  for (const heardalert &gone : late) handler_(gone, true, owner_);
  while (!alerts_.empty() && alerts_.front().values.expires <= now) {
    const heardalert gone = alerts_.front();
    alerts_.erase(alerts_.begin());
    handler_(gone, false, owner_);
  }
  arm();
}

void inforce::timerfired(void *self) {
  static_cast<inforce *>(self)->expireuntil(std::time(nullptr));
}

void inforce::arm() {
  xPL_removeTimer(timerfired, this);
  if (!late_.empty()) return xPL_addTimer(timerfired, 0, this);
  if (alerts_.empty()) return;
  const long long ms = (static_cast<long long>(alerts_.front().values.expires) -
                        static_cast<long long>(std::time(nullptr))) * 1000;
  xPL_addTimer(timerfired, static_cast<int>(std::clamp(ms, 0LL, longestWaitMs)), this);
}
