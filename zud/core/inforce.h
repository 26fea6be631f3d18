// inforce.h -- the alerts in force: heard, with their expiry still ahead.
//
// The gateway owns one record.  A single one-shot timer of the event loop
// stands for the soonest expiry; when it falls due every alert whose expiry
// has come is handed to the expiry handler, soonest first, and the timer is
// armed again for the next.  Nothing polls.
#ifndef ZUD_INFORCE_H
#define ZUD_INFORCE_H

#include <ctime>
#include <string>
#include <vector>

#include "outputs/output.h"

class inforce {
 public:
  // Called once for each alert that reaches its expiry, after it has left the record.
  using expiryhandler = void (*)(const heardalert &heard, void *owner);

  inforce(expiryhandler handler, void *owner);
  // Disarms the timer.
  ~inforce();
  inforce(const inforce &) = delete;
  inforce &operator=(const inforce &) = delete;

  // Whether an alert with this key (alertkey) is in force.
  bool contains(const std::string &key) const;
  // Takes an alert whose expiry lies after `now` and that is not in force
  // yet; true when it was taken.
  bool add(const heardalert &heard, std::time_t now);
  // The alerts in force, soonest expiry first.
  const std::vector<heardalert> &alerts() const { return alerts_; }
  // Hands every alert whose expiry is at or before `now` to the handler,
  // soonest first, and arms the timer for the next.
  void expireuntil(std::time_t now);

 private:
  static void timerfired(void *self);
  void arm();

  std::vector<heardalert> alerts_;  // sorted by expiry, then by arrival
  expiryhandler handler_;
  void *owner_;
};

#endif  // ZUD_INFORCE_H
