// A real MQTT broker (Debian's mosquitto) for the integration tests, and a
// subscriber inside the test process that records what the broker passes
// on.  For *_nstest binaries and the measurements only: the broker listens
// on 127.0.0.1 inside the private network namespace of its process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "process.h"

struct mosquitto;
struct mosquitto_message;

namespace testsupport {

// A TCP port on 127.0.0.1 that nothing listens on right now.
int freeTcpPort();

// mosquitto with a generated configuration: a listener on 127.0.0.1, no
// persistence, and `user root` so that it does not try to drop privileges
// (which fails inside a user namespace).  Killed with the object, and with
// the test process (Process).
class MqttBroker {
 public:
  // `listenerLines` are added to the listener's section (TLS files, a
  // password file, allow_anonymous false); without them anyone may connect.
  explicit MqttBroker(std::vector<std::string> listenerLines = {}, int port = 0);
  // Starts the broker and waits until it listens; false when it does not.
  bool start();
  // Stops it (TERM) and waits for it to end.
  void stop();
  int port() const { return port_; }
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
  std::string log() const { return process_ ? process_->err() + process_->out() : ""; }

 private:
  TempDir dir_;
  std::vector<std::string> lines_;
  int port_;
  std::unique_ptr<Process> process_;  // a new one at each start
};

// One message as a subscriber received it.
struct MqttMessage {
  std::string topic;
  std::string payload;
  bool retained = false;  // as published (MQTT 5 "retain as published")
  std::chrono::system_clock::time_point received;  // when the client handed it over
};

// A subscriber in the test process (the client's own thread carries it).
class MqttWatcher {
 public:
  struct Options {
    std::string cafile;  // set: TLS, the broker's certificate checked against it
    std::string user;
    std::string password;
  };
  // Connects to 127.0.0.1:`port` and subscribes to `topics`; connected()
  // says whether that worked.
  MqttWatcher(int port, const std::vector<std::string> &topics, const Options &options);
  MqttWatcher(int port, const std::vector<std::string> &topics);
  ~MqttWatcher();
  MqttWatcher(const MqttWatcher &) = delete;
  MqttWatcher &operator=(const MqttWatcher &) = delete;

  // Waits until the subscriptions are acknowledged.
  bool connected(std::chrono::milliseconds timeout);
  std::vector<MqttMessage> messages() const;
  // Index of the first message at or after `from` that matches, waiting up
  // to `timeout`; -1 when none came.
  int waitFor(const std::function<bool(const MqttMessage &)> &matches,
              std::chrono::milliseconds timeout, size_t from = 0) const;
  // The same for a topic (and, when given, a payload).
  int waitFor(const std::string &topic, std::chrono::milliseconds timeout, size_t from = 0) const;
  int waitFor(const std::string &topic, const std::string &payload,
              std::chrono::milliseconds timeout, size_t from = 0) const;
  // Publishes (QoS 1) and waits for nothing.
  void publish(const std::string &topic, const std::string &payload, bool retain);
  // Every message as "topic payload" lines, for failure reports.
  std::string dump() const;

 private:
  static void onMessage(struct mosquitto *, void *self, const struct mosquitto_message *m);
  static void onSubscribe(struct mosquitto *, void *self, int, int, const int *);

  struct mosquitto *client_ = nullptr;
  mutable std::mutex lock_;
  mutable std::condition_variable arrived_;
  std::vector<MqttMessage> messages_;
  int subscribed_ = 0;
  int wanted_ = 0;
  std::vector<std::string> topics_;
};

// A throwaway certificate authority and a server certificate it signed for
// the names of `altnames` (by default 127.0.0.1 and localhost), made with
// openssl in `dir`.
struct TestCertificates {
  std::string cafile, certfile, keyfile;
};
// Empty file names when openssl failed.
TestCertificates makeCertificates(const std::string &dir, const std::string &name,
                                  const std::string &altnames = "IP:127.0.0.1,DNS:localhost");

}  // namespace testsupport
