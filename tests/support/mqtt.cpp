#include "mqtt.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>

namespace testsupport {

int freeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

MqttBroker::MqttBroker(std::vector<std::string> listenerLines, int port)
    : lines_(std::move(listenerLines)), port_(port != 0 ? port : freeTcpPort()) {}

bool MqttBroker::start() {
  std::string config = "per_listener_settings false\npersistence false\nuser root\n"
                       "log_dest stderr\nlistener " + std::to_string(port_) + " 127.0.0.1\n";
  bool anonymous = true;
  for (const std::string &line : lines_) {
    config += line + "\n";
    if (line.rfind("allow_anonymous", 0) == 0) anonymous = false;
  }
  if (anonymous) config += "allow_anonymous true\n";
  const std::string path = dir_.file("mosquitto.conf");
  if (!writeFile(path, config)) return false;
  process_ = std::make_unique<Process>();
  if (!process_->start("/usr/sbin/mosquitto", {"-c", path})) return false;
  return process_->waitErr(" running", std::chrono::milliseconds(10000));
}

void MqttBroker::stop() {
  if (!process_) return;
  process_->signal(SIGTERM);
  process_->wait(std::chrono::milliseconds(10000));
}

MqttWatcher::MqttWatcher(int port, const std::vector<std::string> &topics)
    : MqttWatcher(port, topics, Options()) {}

MqttWatcher::MqttWatcher(int port, const std::vector<std::string> &topics, const Options &options)
    : wanted_(static_cast<int>(topics.size())), topics_(topics) {
  mosquitto_lib_init();
  client_ = mosquitto_new(nullptr, true, this);
  if (client_ == nullptr) return;
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_message_callback_set(client_, onMessage);
  mosquitto_subscribe_callback_set(client_, onSubscribe);
  // Subscribes at every connection, so that a broker started again is
  // watched again.
  mosquitto_connect_callback_set(client_, [](struct mosquitto *m, void *self, int rc) {
    if (rc != 0) return;
    for (const std::string &topic : static_cast<MqttWatcher *>(self)->topics_) {
      mosquitto_subscribe_v5(m, nullptr, topic.c_str(), 1, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED,
                             nullptr);
    }
  });
  if (!options.user.empty()) {
    mosquitto_username_pw_set(client_, options.user.c_str(), options.password.c_str());
  }
  if (!options.cafile.empty()) {
    mosquitto_tls_set(client_, options.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
  }
  mosquitto_connect_async(client_, "127.0.0.1", port, 30);
  mosquitto_loop_start(client_);
}

MqttWatcher::~MqttWatcher() {
  if (client_ == nullptr) return;
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, true);
  mosquitto_destroy(client_);
}

void MqttWatcher::onMessage(struct mosquitto *, void *self, const struct mosquitto_message *m) {
  const auto now = std::chrono::system_clock::now();
  auto &w = *static_cast<MqttWatcher *>(self);
  {
    std::lock_guard<std::mutex> hold(w.lock_);
    w.messages_.push_back({m->topic,
                           std::string(static_cast<const char *>(m->payload),
                                       static_cast<size_t>(m->payloadlen)),
                           m->retain, now});
  }
  w.arrived_.notify_all();
}

void MqttWatcher::onSubscribe(struct mosquitto *, void *self, int, int, const int *) {
  auto &w = *static_cast<MqttWatcher *>(self);
  std::lock_guard<std::mutex> hold(w.lock_);
  w.subscribed_++;
}

bool MqttWatcher::connected(std::chrono::milliseconds timeout) {
  return eventually(
      [&] {
        std::lock_guard<std::mutex> hold(lock_);
        return subscribed_ >= wanted_;
      },
      timeout);
}

std::vector<MqttMessage> MqttWatcher::messages() const {
  std::lock_guard<std::mutex> hold(lock_);
  return messages_;
}

int MqttWatcher::waitFor(const std::function<bool(const MqttMessage &)> &matches,
                         std::chrono::milliseconds timeout, size_t from) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> hold(lock_);
  size_t next = from;
  for (;;) {
    for (; next < messages_.size(); next++) {
      if (matches(messages_[next])) return static_cast<int>(next);
    }
    if (arrived_.wait_until(hold, deadline) == std::cv_status::timeout &&
        next >= messages_.size()) {
      return -1;
    }
  }
}

int MqttWatcher::waitFor(const std::string &topic, std::chrono::milliseconds timeout,
                         size_t from) const {
  return waitFor([&](const MqttMessage &m) { return m.topic == topic; }, timeout, from);
}

int MqttWatcher::waitFor(const std::string &topic, const std::string &payload,
                         std::chrono::milliseconds timeout, size_t from) const {
  return waitFor([&](const MqttMessage &m) { return m.topic == topic && m.payload == payload; },
                 timeout, from);
}

void MqttWatcher::publish(const std::string &topic, const std::string &payload, bool retain) {
  mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                    payload.data(), 1, retain);
}

std::string MqttWatcher::dump() const {
  std::ostringstream out;
  for (const MqttMessage &m : messages()) {
    out << (m.retained ? "[r] " : "    ") << m.topic << " " << m.payload << "\n";
  }
  return out.str();
}

TestCertificates makeCertificates(const std::string &dir, const std::string &name,
                                  const std::string &altnames) {
  TestCertificates c{dir + "/" + name + "-ca.crt", dir + "/" + name + "-server.crt",
                     dir + "/" + name + "-server.key"};
  const std::string ca_key = dir + "/" + name + "-ca.key";
  const std::string csr = dir + "/" + name + "-server.csr";
  const std::string ext = dir + "/" + name + "-ext.cnf";
  if (!writeFile(ext, "subjectAltName=" + altnames + "\n")) return {};
  const std::string quiet = " >/dev/null 2>&1";
  const std::string commands =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name + "-ca -keyout " +
      ca_key + " -out " + c.cafile + quiet + " && openssl req -newkey rsa:2048 -nodes -subj " +
      "/CN=localhost -keyout " + c.keyfile + " -out " + csr + quiet +
      " && openssl x509 -req -days 2 -in " + csr + " -CA " + c.cafile + " -CAkey " + ca_key +
      " -CAcreateserial -extfile " + ext + " -out " + c.certfile + quiet;
  if (std::system(commands.c_str()) != 0) return {};
  return c;
}

}  // namespace testsupport
