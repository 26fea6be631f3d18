// output.h -- where a decoded alert goes: one small interface that every
// output (the xPL trigger, the alert store, the receiver watchdog, ...)
// implements, and the gateway's one list of them.
//
// The gateway hands each event to the outputs in list order, the xPL
// trigger first, so that nothing an output does (a disk write, a broker that
// does not answer) can delay the alert on the xPL network.  An output never
// stops the others: it reports its own failures and returns.
#ifndef ZUD_OUTPUT_H
#define ZUD_OUTPUT_H

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "same/heard.h"

// What the receiver watchdog last concluded; outputs that show the
// receiver's state (MQTT's problem sensor) follow it.
struct receiverhealth {
  bool problem = false;      // a weekly test is overdue, or the receiver does not answer
  std::string why;           // one line saying what is wrong; empty when nothing is
  std::time_t lasttest = 0;  // last Required Weekly Test heard; 0 when none
};

// An output of decoded alerts.  Each event has a default that ignores it.
class output {
 public:
  virtual ~output() = default;

  // A decoded alert; `repeat` when it equals an alert still in force.
  // Returns where it went through this output, in a few words ("sent on
  // xPL", "kept in the store"), for the alert's line in the journal; empty
  // when it went nowhere here.
  virtual std::string alertheard(const heardalert &heard, bool repeat) {
    (void)heard;
    (void)repeat;
    return {};
  }
  // A line that could not be read as a header: when, the line as printable
  // text, and why.
  virtual void rejected(std::time_t when, std::string_view line, std::string_view reason) {
    (void)when;
    (void)line;
    (void)reason;
  }
  // An alert in force reached its expiry; `late` when it expired while zud
  // was stopped and is announced only now, at start.
  virtual void expired(const heardalert &heard, bool late) {
    (void)heard;
    (void)late;
  }
  // The spoken message of an alert heard in sound is kept at `path`,
  // `seconds` long.
  virtual void messagekept(const heardalert &heard, const std::string &path, double seconds) {
    (void)heard;
    (void)path;
    (void)seconds;
  }
  // The receiver at `path` answered its query, or did not, at `when`; or a
  // source of sound (`path` its origin) lost its sound, or got it back:
  // `why` then says what is wrong (empty for an unanswered query).
  virtual void receiveranswer(std::time_t when, std::string_view path, bool answered,
                              std::string_view why) {
    (void)when;
    (void)path;
    (void)answered;
    (void)why;
  }
  // The receiver watchdog changed its conclusion.
  virtual void healthchanged(const receiverhealth &health) { (void)health; }
  // The event codes the receiver is configured to pass ("TOR", ...), at
  // start and after every configuration change; outputs that show a state
  // per event (MQTT's sensors) follow them.
  virtual void eventsconfigured(const std::vector<std::string> &codes) { (void)codes; }
  // zud stops cleanly (TERM or INT): last words, such as a broker's status.
  virtual void stopping() {}
};

// Where an output that needs an acknowledgement (MQTT) records what it
// still owes: written right after the alert's own publication, so that a
// zud killed before the acknowledgement publishes it again after a restart.
class deliveryledger {
 public:
  virtual ~deliveryledger() = default;
  // The alert (new, just published) is owed to `channel` until settled; the
  // alert itself is kept with it.
  virtual void owe(const heardalert &heard, std::string_view channel) = 0;
  // The channel has had the alert acknowledged.
  virtual void settle(const alert &values, std::string_view channel) = 0;
};

// The gateway's outputs, in the order each event reaches them.
using outputlist = std::vector<std::unique_ptr<output>>;

#endif  // ZUD_OUTPUT_H
