// inforce.h -- the alerts in force: heard, with their expiry still ahead.
//
// The gateway owns one record.  A single one-shot timer of the event loop
// stands for the soonest expiry; when it falls due every alert whose expiry
// has come is handed to the expiry handler, soonest first, and the timer is
// armed again for the next.  Nothing polls.
//
// Alerts whose expiry came while zud was stopped are handed over too, once,
// marked late, at the loop's first turn: by then zud has started all it
// runs (signals included), so the outputs can act on them as on any expiry.
#ifndef ZUD_INFORCE_H
#define ZUD_INFORCE_H

#include <ctime>
#include <string>
#include <vector>

#include "outputs/output.h"

class inforce {
 public:
  // Called once for each alert that reaches its expiry, after it has left the
  // record; `late` when it expired while zud was stopped.
  using expiryhandler = void (*)(const heardalert &heard, bool late, void *owner);

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
  // Takes an alert that expired while zud was stopped, to be handed to the
  // handler as late at the loop's next turn, in the order taken.
  void addlate(const heardalert &heard);
  // The alerts in force, soonest expiry first.
  const std::vector<heardalert> &alerts() const { return alerts_; }
  // Hands the late alerts to the handler, then every alert whose expiry is at
  // or before `now`, soonest first, and arms the timer for the next.
  void expireuntil(std::time_t now);

 private:
  static void timerfired(void *self);
  void arm();

  std::vector<heardalert> alerts_;  // sorted by expiry, then by arrival
  std::vector<heardalert> late_;    // expired while zud was stopped, not yet handed over
  expiryhandler handler_;
  void *owner_;
};

#endif  // ZUD_INFORCE_H
