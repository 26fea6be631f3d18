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
// libmosquitto does the protocol; this unit only joins it to zud's event
// loop: the client's socket is a device of the loop (written to only while
// the client has something to write), a loop timer runs the client's
// keep-alive, and connecting never waits for the network (an asynchronous
// connect, its TLS handshake included, bounded by a timer).  A broker that
// is away costs no alert on xPL: alerts wait here, in order, and go out
// when it returns; with the store on, an alert the broker never
// acknowledged is owed in the store and published again after a restart.
#ifndef ZUD_MQTTOUTPUT_H
#define ZUD_MQTTOUTPUT_H

#include <ctime>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "outputs/alertjson.h"
#include "outputs/mqttsettings.h"
#include "outputs/output.h"

struct mosquitto;
struct mosquitto_message;

// One retained message: its topic and its payload (empty deletes it).
struct mqttmessage {
  std::string topic;
  std::string payload;
};

// The alert's object for PREFIX/alert: alertjson, and "late": true when
// `now` is at or past its expiry.
jsonvalue alertpayload(const heardalert &heard, std::time_t now);

// PREFIX/active: {"count": N, "alerts": [alertjson...]} in the record's order.
jsonvalue activepayload(const std::vector<heardalert> &alerts);

// The event codes of the configuration that can name an entity: three
// capital letters or digits, each once, in the order given ("???", the
// unconfigured slot, is none).
std::vector<std::string> eventcodesof(const std::vector<std::string> &configured);

// The discovery configuration topic of an event code's binary sensor.
std::string eventconfigtopic(const mqttsettings &settings, const std::string &code);

// Home Assistant's configurations for these settings and event codes:
// the event entity, the sensor of active alerts, the receiver's problem
// sensor, then one binary sensor per code.  Nothing when discovery is off.
std::vector<mqttmessage> discoverymessages(const mqttsettings &settings,
                                           const std::vector<std::string> &codes);

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

  void alertheard(const heardalert &heard, bool repeat) override;
  void expired(const heardalert &heard, bool late) override;
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
  };

  static void ioready(int fd, int events, int);
  static void retrytimer(void *self);
  static void misctimer(void *self);
  static void connecttimeout(void *self);
  static void onconnect(mosquitto *, void *self, int result);
  static void ondisconnect(mosquitto *, void *self, int result);
  static void onpublish(mosquitto *, void *self, int mid);
  static void onmessage(mosquitto *, void *self, const mosquitto_message *message);
  static void onlog(mosquitto *, void *self, int level, const char *text);

  void attempt();
  // After every call into the client: acts on what its callbacks noted, and
  // on `result`; keeps the loop's watch on the socket right.
  void afterclient(int result);
  void connectedup();
  // The attempt failed or the connection ended: one line on standard error,
  // the client gone, the next attempt on the back-off timer.
  void dropped(const std::string &reason);
  void teardown();
  void watchsocket();

  void publish(const std::string &topic, const std::string &payload, bool retain,
               int *mid = nullptr);
  void publishentry(pending &entry);
  void publishdiscovery();
  void publishstates();
  void publishreceiver();
  void settleacks();
  void cleanstale(const std::vector<std::string> &topics);

  mqttsettings settings_;
  std::string clientid_;
  const std::vector<heardalert> &inforce_;
  deliveryledger *ledger_;

  mosquitto *client_ = nullptr;
  int socket_ = -1;             // registered with the loop; -1: none
  bool watchingwrite_ = false;
  bool connected_ = false;
  int backoffms_ = 1000;

  // Noted by the client's callbacks, acted on after the call returns.
  bool accepted_ = false;
  std::string refused_;             // the broker's reason for refusing or closing
  std::string lasterror_;           // the client's last error log line (TLS, say)
  std::vector<int> acks_;
  bool announce_ = false;           // Home Assistant came online
  std::vector<std::string> stale_;  // retained topics of codes no longer configured

  std::deque<pending> queue_;
  std::vector<std::string> codes_;
  std::map<std::string, bool> eventstates_;  // as published on this connection
  receiverhealth health_;
};

#endif  // ZUD_MQTTOUTPUT_H
