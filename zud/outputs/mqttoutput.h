// mqttoutput.h -- alerts on an MQTT broker, with Home Assistant discovery.
//
// Topics under the prefix (zud/<hostname> by default):
//   status          "online" (retained) at every connection; the will, and the
//                   last word at a clean stop, is "offline"
//   alert           each new alert as JSON (alertjson), QoS 1; "late": true
//                   when it could only be published after its expiry
//   expired         the same object when an alert expires, QoS 1
//   active          retained {"count": N, "alerts": [...]}: the alerts in force
//   event/CODE      retained ON while an alert of a configured event code is
//                   in force, else OFF
//   receiver        retained {"problem": ..., "why": ..., "last_test": ...}
//                   from the receiver watchdog
// and, under the discovery prefix, Home Assistant's retained configurations
// for an event entity, a sensor of the active alerts, a safety binary sensor
// per configured event code and a problem binary sensor for the receiver.
//
// libmosquitto does the protocol; this unit joins it to zud's event loop.
// Only the connect call, which looks the broker's name up, runs on a thread
// of its own (mqttconnector.h); the client comes back to the loop as soon as
// it returns, and from then on its socket is a device of the loop (written
// to only while the client has something to write) and a loop timer runs its
// keep-alive.  So an alert's publication is a plain write from the loop,
// right after the xPL trigger, and the client's callbacks (mqttclient.h),
// which only take notes in the client's own record, run on the loop too
// (during the connect call, on that thread, which holds the record then).
// A broker that is away, or
// whose name no DNS server answers for, costs no alert on xPL: alerts wait
// here, in order, and go out when it returns; with the store on, an alert
// the broker never acknowledged is owed in the store and published again
// after a restart.
#ifndef ZUD_MQTTOUTPUT_H
#define ZUD_MQTTOUTPUT_H

#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "outputs/alertjson.h"
#include "outputs/mqttclient.h"
#include "outputs/mqttconnector.h"
#include "outputs/mqttsettings.h"
#include "outputs/output.h"

// One retained message: its topic and its payload (empty deletes it).
struct mqttmessage {
  std::string topic;
  std::string payload;
};

// The alert's object for PREFIX/alert: alertjson, and "late": true when
// `now` is at or past its expiry.
jsonvalue alertpayload(const heardalert &heard, std::time_t now);

// PREFIX/audio: the alert's id, event_type, event, station, issued, and the
// spoken message's path and length in seconds.
jsonvalue audiopayload(const heardalert &heard, const std::string &path, double seconds);

// PREFIX/active: {"count": N, "alerts": [alertjson...]} in the record's order.
jsonvalue activepayload(const std::vector<heardalert> &alerts);

// The event codes of the configuration that can name an entity: three
// capital letters or digits, each once, in the order given ("???", the
// unconfigured slot, is none).
std::vector<std::string> eventcodesof(const std::vector<std::string> &configured);

// The event types of Home Assistant's event entity: every event code zud
// can publish, those of the decoder's table, then `configured` codes
// outside it.  An alert of a type not listed is dropped by Home Assistant.
std::vector<std::string> eventtypesof(const std::vector<std::string> &configured);

// The discovery configuration topic of an event code's binary sensor.
std::string eventconfigtopic(const mqttsettings &settings, const std::string &code);

// Home Assistant's configurations for these settings and event codes:
// the event entity, the sensor of active alerts, the receiver's problem
// sensor, then one binary sensor per code.  Nothing when discovery is off.
std::vector<mqttmessage> discoverymessages(const mqttsettings &settings,
                                           const std::vector<std::string> &codes);

// Whether a failure to connect gets its line on standard error.  A refusal
// (the broker's answer, or its certificate failing verification) stays
// until someone acts, so it is said when it first comes and then at most
// once an hour while the same one goes on; any other failure, or a
// different refusal, is said at once.  A connection that succeeds starts
// afresh.
class failurelog {
 public:
  static constexpr std::time_t refusalrepeat = 3600;

  // Whether to say `reason` now; `refusal` when it is a refusal.
  bool due(const std::string &reason, bool refusal, std::time_t now);
  // The connection succeeded.
  void connected() { last_.clear(); }

 private:
  std::string last_;       // the last failure, said or not
  std::time_t saidat_ = 0;  // when a line last named it
};

class mqttoutput : public output {
 public:
  // The channel the store records owed deliveries under.
  static constexpr const char *channel = "mqtt";

  // `inforce` is the gateway's list of the alerts in force (soonest expiry
  // first), read for the states; `ledger`, when not null, records what the
  // broker still owes.
  mqttoutput(mqttsettings settings, const std::vector<heardalert> &inforce,
             deliveryledger *ledger);
  // Leaves the broker without a word (the will says "offline").
  ~mqttoutput() override;
  mqttoutput(const mqttoutput &) = delete;
  mqttoutput &operator=(const mqttoutput &) = delete;

  // An alert owed from before a restart (from the store), oldest first.
  void oweagain(const heardalert &heard);
  // Starts connecting; from then on the event loop carries everything.
  void start();

  std::string alertheard(const heardalert &heard, bool repeat) override;
  void expired(const heardalert &heard, bool late) override;
  // PREFIX/audio: the alert's event code, station, issue time, the file's
  // path and its length in seconds; QoS 1, not retained.
  void messagekept(const heardalert &heard, const std::string &path, double seconds) override;
  void healthchanged(const receiverhealth &health) override;
  void eventsconfigured(const std::vector<std::string> &codes) override;
  // "offline", acknowledged within a second or given up, then a clean disconnect.
  void stopping() override;

 private:
  // An alert (or its expiry) waiting for the broker's acknowledgement.
  struct pending {
    heardalert heard;
    bool expiry = false;  // PREFIX/expired rather than PREFIX/alert
    bool stored = false;  // owed in the store, to be settled when acknowledged
    int mid = -1;         // the client's message id while handed to it; -1: not yet
    bool late = false;    // an expiry announced only at start: zud was stopped
    std::string audio;    // set: PREFIX/audio, the alert's spoken message kept here
    double seconds = 0;   // that message's length
  };

  static void ioready(int fd, int events, int);
  static void connectorready(int fd, int events, int);
  static void retrytimer(void *self);
  static void misctimer(void *self);
  static void lookuptimeout(void *self);
  static void connecttimeout(void *self);

  void attempt();
  // The connect thread returned: the client back on the loop, or the failure.
  void connectreturned();
  // After every call into the client: acts on what its callbacks noted, and
  // on `result`; keeps the loop's watch on the socket right.
  void afterclient(int result);
  void connectedup();
  // A message the broker passed on: Home Assistant's status, or a retained
  // state or configuration of an event code no longer configured.
  void seen(const seenmessage &message);
  // The attempt failed or the connection ended: a line on standard error
  // (failurelog), the client gone, the next attempt on the back-off timer.
  // `reason` by value: it may be the client's own note, gone with the client.
  void dropped(std::string reason, bool refusal = false);
  void teardown();
  void watchsocket();

  void publish(const std::string &topic, const std::string &payload, bool retain,
               int *mid = nullptr);
  void publishentry(pending &entry);
  void publishdiscovery();
  void publishstates();
  void publishreceiver();
  // Takes the acknowledged messages off the queue and settles them.
  void settleacks(const std::vector<int> &acks);

  mqttsettings settings_;
  std::string clientid_;
  const std::vector<heardalert> &inforce_;
  deliveryledger *ledger_;

  // The client while the loop holds it; null while there is none, or
  // while the connector holds it.
  std::unique_ptr<mqttclient> client_;
  mqttconnector connector_;
  bool abandoned_ = false;  // the connector's client is no longer wanted
  bool retrywaiting_ = false;  // an attempt waits for the connector to be free
  int connecterror_ = 0;    // errno as the connect call left it
  int socket_ = -1;         // registered with the loop; -1: none
  bool watchingwrite_ = false;
  bool connected_ = false;
  int backoffms_ = 1000;
  failurelog failures_;

  std::deque<pending> queue_;
  std::vector<std::string> codes_;
  std::map<std::string, bool> eventstates_;  // as published on this connection
  receiverhealth health_;
};

#endif  // ZUD_MQTTOUTPUT_H
