// mqttoutput.cpp -- alerts on an MQTT broker, joined to zud's event loop.
#include "outputs/mqttoutput.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "outputs/mosquittolib.h"
#include "same/timetext.h"
#include "xPL.h"

namespace {

// The MQTT output the loop's device handler serves: a device handler gets
// an int user value, not a pointer, and zud has one broker at most.
mqttoutput *served = nullptr;

// Seconds between the client's keep-alive packets, and how often the loop
// lets the client check them: often enough that a ping goes out well within
// the broker's allowance (one and a half keep-alives), rarely enough that an
// idle zud hardly wakes.
constexpr int keepaliveseconds = 60;
constexpr int miscms = 10000;
// An attempt that has no answer (a SYN never answered, a TLS handshake or a
// CONNACK that never comes) is given up after this long.
constexpr int connectms = 10000;
constexpr int firstbackoffms = 1000;
constexpr int lastbackoffms = 60000;
// At a clean stop, how long the broker has to take "offline".
constexpr int goodbyems = 1000;

// Trusted when no CA file is given: Debian's certificates.
constexpr const char *systemcertificates = "/etc/ssl/certs";

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

// The library's texts end with a full stop, which reads badly inside a line.
std::string said(const char *text) {
  std::string line = text != nullptr ? text : "";
  if (!line.empty() && line.back() == '.') line.pop_back();
  return line;
}

// The last level of the prefix ("kitchen" of "zud/kitchen"), for the device's name.
std::string lastlevel(const std::string &prefix) { return prefix.substr(prefix.rfind('/') + 1); }

}  // namespace

jsonvalue alertpayload(const heardalert &heard, std::time_t now) {
  jsonvalue object = alertjson(heard);
  if (heard.values.expires <= now) object["late"] = true;
  return object;
}

jsonvalue activepayload(const std::vector<heardalert> &alerts) {
  jsonvalue list = jsonvalue::array();
  for (const heardalert &heard : alerts) list.push_back(alertjson(heard));
  return {{"count", alerts.size()}, {"alerts", std::move(list)}};
}

std::vector<std::string> eventcodesof(const std::vector<std::string> &configured) {
  std::vector<std::string> codes;
  for (const std::string &code : configured) {
    const bool named = code.size() == 3 && std::all_of(code.begin(), code.end(), [](char c) {
                         return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
                       });
    if (named && std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
  }
  return codes;
}

std::string eventconfigtopic(const mqttsettings &settings, const std::string &code) {
  return settings.discovery + "/binary_sensor/" + nodeid(settings.topic) + "/event_" +
         lowercase(code) + "/config";
}

std::vector<mqttmessage> discoverymessages(const mqttsettings &settings,
                                           const std::vector<std::string> &codes) {
  std::vector<mqttmessage> messages;
  if (settings.discovery.empty()) return messages;
  const std::string node = nodeid(settings.topic);
  const std::string &prefix = settings.topic;
  const jsonvalue device = {{"identifiers", {node}},
                            {"name", "zud " + lastlevel(prefix)},
                            {"manufacturer", "kelvora"},
                            {"model", "zud"},
                            {"sw_version", ZUD_VERSION}};
  // Every entity: its name, id, availability and device.
  auto entity = [&](const std::string &name, const std::string &id) {
    return jsonvalue{{"name", name},
                     {"unique_id", node + "_" + id},
                     {"availability_topic", prefix + "/status"},
                     {"device", device}};
  };
  auto add = [&](const std::string &component, const std::string &id, const jsonvalue &config) {
    messages.push_back({settings.discovery + "/" + component + "/" + node + "/" + id + "/config",
                        jsontext(config)});
  };

  jsonvalue alert = entity("Alert", "alert");
  alert["state_topic"] = prefix + "/alert";
  alert["event_types"] = codes;
  alert["icon"] = "mdi:weather-lightning";
  add("event", "alert", alert);

  jsonvalue active = entity("Active alerts", "active");
  active["state_topic"] = prefix + "/active";
  active["value_template"] = "{{ value_json.count }}";
  active["json_attributes_topic"] = prefix + "/active";
  active["icon"] = "mdi:alert";
  add("sensor", "active", active);

  jsonvalue receiver = entity("Receiver", "receiver");
  receiver["device_class"] = "problem";
  receiver["state_topic"] = prefix + "/receiver";
  receiver["value_template"] = "{{ 'ON' if value_json.problem else 'OFF' }}";
  receiver["json_attributes_topic"] = prefix + "/receiver";
  add("binary_sensor", "receiver", receiver);

  for (const std::string &code : codes) {
    const char *description = eventdescription(code);
    jsonvalue event = entity(description != nullptr ? description : code, "event_" + lowercase(code));
    event["device_class"] = "safety";
    event["state_topic"] = prefix + "/event/" + code;
    event["payload_on"] = "ON";
    event["payload_off"] = "OFF";
    add("binary_sensor", "event_" + lowercase(code), event);
  }
  return messages;
}

mqttoutput::mqttoutput(mqttsettings settings, const std::vector<heardalert> &inforce,
                       deliveryledger *ledger)
    : settings_(std::move(settings)),
      clientid_(nodeid(settings_.topic)),
      inforce_(inforce),
      ledger_(ledger) {
  served = this;
}

mqttoutput::~mqttoutput() {
  teardown();
  xPL_removeTimer(retrytimer, this);
  if (served == this) served = nullptr;
}

void mqttoutput::oweagain(const heardalert &heard) {
  queue_.push_back({heard, false, ledger_ != nullptr, -1});
}

void mqttoutput::start() { attempt(); }

// --- The connection ----------------------------------------------------------

void mqttoutput::attempt() {
  teardown();
  accepted_ = false;
  refused_.clear();
  lasterror_.clear();
  acks_.clear();
  client_ = mosq().create(clientid_.c_str(), true, this);
  if (client_ == nullptr) return dropped("cannot make a client: " + std::string(strerror(errno)));
  mosq().connect_callback_set(client_, onconnect);
  mosq().disconnect_callback_set(client_, ondisconnect);
  mosq().publish_callback_set(client_, onpublish);
  mosq().message_callback_set(client_, onmessage);
  mosq().log_callback_set(client_, onlog);
  // Alerts are small and each should leave at once.
  mosq().int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  const std::string status = settings_.topic + "/status";
  int rc = mosq().will_set(client_, status.c_str(), 7, "offline", 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !settings_.user.empty()) {
    rc = mosq().username_pw_set(client_, settings_.user.c_str(),
                                   settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && settings_.broker.tls) {
    // The broker's certificate and its host name are verified: no
    // insecure mode is ever set.
    rc = settings_.cafile.empty()
             ? mosq().tls_set(client_, nullptr, systemcertificates, nullptr, nullptr, nullptr)
             : mosq().tls_set(client_, settings_.cafile.c_str(), nullptr, nullptr, nullptr,
                                 nullptr);
  }
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosq().connect_bind_async(client_, settings_.broker.host.c_str(),
                                      settings_.broker.port, keepaliveseconds, nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    const int error = errno;
    std::string why = said(mosq().strerror(rc));
    if (rc == MOSQ_ERR_ERRNO) why = strerror(error);
    if (!lasterror_.empty()) why += ": " + lasterror_;
    return dropped(why);
  }
  xPL_addTimer(connecttimeout, connectms, this);
  watchsocket();
}

void mqttoutput::watchsocket() {
  const int sock = client_ != nullptr ? mosq().socket(client_) : -1;
  const bool write = sock >= 0 && mosq().want_write(client_);
  if (sock == socket_ && write == watchingwrite_) return;
  if (socket_ >= 0) xPL_removeIODevice(socket_);
  socket_ = sock;
  watchingwrite_ = write;
  if (socket_ >= 0) xPL_addIODevice(ioready, 0, socket_, TRUE, write ? TRUE : FALSE, FALSE);
}

void mqttoutput::teardown() {
  xPL_removeTimer(connecttimeout, this);
  xPL_removeTimer(misctimer, this);
  if (socket_ >= 0) xPL_removeIODevice(socket_);
  socket_ = -1;
  watchingwrite_ = false;
  if (client_ != nullptr) mosq().destroy(client_);
  client_ = nullptr;
  connected_ = false;
  // What the client held unacknowledged goes out again on the next connection.
  for (pending &entry : queue_) entry.mid = -1;
}

void mqttoutput::dropped(const std::string &reason) {
  const bool was = connected_;
  teardown();
  if (was) backoffms_ = firstbackoffms;
  const int wait = backoffms_;
  if (was) {
    std::fprintf(stderr, "zud: MQTT: the connection to %s was lost (%s) -- connecting again in %d s\n",
                 brokertext(settings_.broker).c_str(), reason.c_str(), wait / 1000);
  } else {
    std::fprintf(stderr, "zud: MQTT: cannot connect to %s (%s) -- trying again in %d s\n",
                 brokertext(settings_.broker).c_str(), reason.c_str(), wait / 1000);
  }
  backoffms_ = std::min(backoffms_ * 2, lastbackoffms);
  xPL_removeTimer(retrytimer, this);
  xPL_addTimer(retrytimer, wait, this);
}

void mqttoutput::ioready(int, int events, int) {
  mqttoutput *self = served;
  if (self == nullptr || self->client_ == nullptr) return;
  int rc = MOSQ_ERR_SUCCESS;
  if ((events & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0) {
    rc = mosq().loop_read(self->client_, 1);
    // An error on a socket still connecting has nothing to read: the
    // client would find the socket ready again at once.
    if (rc == MOSQ_ERR_SUCCESS && (events & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
        (events & POLLIN) == 0) {
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(self->socket_, SOL_SOCKET, SO_ERROR, &error, &length);
      self->refused_ = error != 0 ? strerror(error) : "the connection was closed";
    }
  }
  if (rc == MOSQ_ERR_SUCCESS && self->refused_.empty() && (events & POLLOUT) != 0) {
    rc = mosq().loop_write(self->client_, 1);
  }
  self->afterclient(rc);
}

void mqttoutput::afterclient(int result) {
  const int error = errno;
  if (client_ == nullptr) return;
  settleacks();
  if (result != MOSQ_ERR_SUCCESS || !refused_.empty()) {
    std::string why = refused_;
    if (why.empty()) why = result == MOSQ_ERR_ERRNO ? strerror(error) : said(mosq().strerror(result));
    if (!lasterror_.empty() && refused_.empty()) why += ": " + lasterror_;
    return dropped(why);
  }
  if (accepted_) {
    accepted_ = false;
    connectedup();
  }
  if (connected_ && announce_) {
    announce_ = false;
    publishdiscovery();
    eventstates_.clear();
    publishstates();
    publishreceiver();
  }
  if (connected_ && !stale_.empty()) {
    std::vector<std::string> topics;
    topics.swap(stale_);
    cleanstale(topics);
  }
  watchsocket();
}

void mqttoutput::connectedup() {
  connected_ = true;
  backoffms_ = firstbackoffms;
  xPL_removeTimer(connecttimeout, this);
  xPL_addTimer(misctimer, miscms, this);
  std::printf("zud: MQTT: connected to %s, topics under %s\n",
              brokertext(settings_.broker).c_str(), settings_.topic.c_str());
  publish(settings_.topic + "/status", "online", true);
  // Retained states of event codes no longer configured are found and
  // deleted: the broker hands them over at subscription.
  const std::string events = settings_.topic + "/event/+";
  mosq().subscribe(client_, nullptr, events.c_str(), 1);
  if (!settings_.discovery.empty()) {
    const std::string online = settings_.discovery + "/status";
    const std::string configs =
        settings_.discovery + "/binary_sensor/" + nodeid(settings_.topic) + "/+/config";
    mosq().subscribe(client_, nullptr, online.c_str(), 1);
    mosq().subscribe(client_, nullptr, configs.c_str(), 1);
    publishdiscovery();
  }
  eventstates_.clear();
  publishreceiver();
  publishstates();
  for (pending &entry : queue_) publishentry(entry);
}

// --- Loop timers ---------------------------------------------------------------

void mqttoutput::retrytimer(void *self) { static_cast<mqttoutput *>(self)->attempt(); }

void mqttoutput::misctimer(void *self) {
  mqttoutput &out = *static_cast<mqttoutput *>(self);
  if (out.client_ == nullptr) return;
  const int rc = mosq().loop_misc(out.client_);
  if (out.client_ != nullptr && out.connected_) xPL_addTimer(misctimer, miscms, self);
  out.afterclient(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_CONN_LOST : rc);
}

void mqttoutput::connecttimeout(void *self) {
  mqttoutput &out = *static_cast<mqttoutput *>(self);
  if (out.client_ == nullptr || out.connected_) return;
  std::string why = "no answer within " + std::to_string(connectms / 1000) + " s";
  out.dropped(why);
}

// --- The client's callbacks: noted, acted on in afterclient ---------------------

void mqttoutput::onconnect(mosquitto *, void *self, int result) {
  mqttoutput &out = *static_cast<mqttoutput *>(self);
  if (result == 0) {
    out.accepted_ = true;
  } else {
    out.refused_ = said(mosq().connack_string(result));
  }
}

void mqttoutput::ondisconnect(mosquitto *, void *self, int result) {
  mqttoutput &out = *static_cast<mqttoutput *>(self);
  if (out.refused_.empty() && result != 0) {
    out.refused_ = result == MOSQ_ERR_KEEPALIVE ? "the broker stopped answering"
                                                : said(mosq().strerror(result));
    if (!out.lasterror_.empty()) out.refused_ += ": " + out.lasterror_;
  }
}

void mqttoutput::onpublish(mosquitto *, void *self, int mid) {
  static_cast<mqttoutput *>(self)->acks_.push_back(mid);
}

void mqttoutput::onmessage(mosquitto *, void *self, const mosquitto_message *message) {
  mqttoutput &out = *static_cast<mqttoutput *>(self);
  const std::string topic = message->topic;
  const std::string payload(static_cast<const char *>(message->payload),
                            static_cast<std::size_t>(message->payloadlen));
  if (!out.settings_.discovery.empty() && topic == out.settings_.discovery + "/status") {
    if (payload == "online") out.announce_ = true;
    return;
  }
  // Only what the broker kept from an earlier run is looked at.
  if (!message->retain || payload.empty()) return;
  auto configured = [&](const std::string &code) {
    return std::find(out.codes_.begin(), out.codes_.end(), code) != out.codes_.end();
  };
  const std::string events = out.settings_.topic + "/event/";
  if (topic.rfind(events, 0) == 0) {
    if (!configured(topic.substr(events.size()))) out.stale_.push_back(topic);
    return;
  }
  const std::string configs =
      out.settings_.discovery + "/binary_sensor/" + nodeid(out.settings_.topic) + "/event_";
  if (topic.rfind(configs, 0) == 0) {
    const std::string rest = topic.substr(configs.size());
    const std::size_t slash = rest.find('/');
    std::string code = rest.substr(0, slash);
    std::transform(code.begin(), code.end(), code.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    if (!configured(code)) out.stale_.push_back(topic);
  }
}

void mqttoutput::onlog(mosquitto *, void *self, int level, const char *text) {
  if (level == MOSQ_LOG_ERR) static_cast<mqttoutput *>(self)->lasterror_ = text;
}

// --- Publishing -------------------------------------------------------------------

void mqttoutput::publish(const std::string &topic, const std::string &payload, bool retain,
                         int *mid) {
  if (client_ == nullptr) return;
  int id = -1;
  // A failure here is the connection's, which the loop finds on the socket;
  // the message is then sent again with the next connection.
  if (mosq().publish(client_, &id, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), 1, retain) == MOSQ_ERR_SUCCESS &&
      mid != nullptr) {
    *mid = id;
  }
}

void mqttoutput::publishentry(pending &entry) {
  if (!connected_ || entry.mid >= 0) return;
  const std::string topic = settings_.topic + (entry.expiry ? "/expired" : "/alert");
  jsonvalue object = entry.expiry ? alertjson(entry.heard)
                                  : alertpayload(entry.heard, std::time(nullptr));
  if (entry.expiry && entry.late) object["late"] = true;
  int mid = -1;
  publish(topic, jsontext(object), false, &mid);
  entry.mid = mid;
}

void mqttoutput::publishdiscovery() {
  for (const mqttmessage &message : discoverymessages(settings_, codes_)) {
    publish(message.topic, message.payload, true);
  }
}

void mqttoutput::publishstates() {
  if (!connected_) return;
  publish(settings_.topic + "/active", jsontext(activepayload(inforce_)), true);
  for (const std::string &code : codes_) {
    const bool on = std::any_of(inforce_.begin(), inforce_.end(),
                                [&](const heardalert &a) { return a.values.eventcode == code; });
    const auto known = eventstates_.find(code);
    if (known != eventstates_.end() && known->second == on) continue;
    eventstates_[code] = on;
    publish(settings_.topic + "/event/" + code, on ? "ON" : "OFF", true);
  }
}

void mqttoutput::publishreceiver() {
  if (!connected_) return;
  const jsonvalue state = {
      {"problem", health_.problem},
      {"why", health_.why},
      {"last_test", health_.lasttest != 0 ? jsonvalue(isotime(health_.lasttest)) : jsonvalue()}};
  publish(settings_.topic + "/receiver", jsontext(state), true);
}

void mqttoutput::settleacks() {
  for (const int mid : acks_) {
    const auto entry = std::find_if(queue_.begin(), queue_.end(),
                                    [&](const pending &p) { return p.mid == mid; });
    if (entry == queue_.end()) continue;
    if (entry->stored && !entry->expiry && ledger_ != nullptr) ledger_->settle(entry->heard.values, channel);
    queue_.erase(entry);
  }
  acks_.clear();
}

void mqttoutput::cleanstale(const std::vector<std::string> &topics) {
  for (const std::string &topic : topics) publish(topic, "", true);
}

// --- Events from the gateway ---------------------------------------------------------

void mqttoutput::alertheard(const heardalert &heard, bool repeat) {
  if (repeat) return;
  queue_.push_back({heard, false, ledger_ != nullptr, -1});
  if (connected_) publishentry(queue_.back());
  // Right after the alert's own publication and before anything else, so
  // that a zud killed now still owes it after a restart; the store's write
  // never comes before the publication.
  if (ledger_ != nullptr) ledger_->owe(heard, channel);
  publishstates();
  if (client_ != nullptr) watchsocket();
}

void mqttoutput::expired(const heardalert &heard, bool late) {
  const std::string key = alertkey(heard.values);
  const bool unsent = std::any_of(queue_.begin(), queue_.end(), [&](const pending &p) {
    return !p.expiry && p.mid < 0 && alertkey(p.heard.values) == key;
  });
  // An alert not yet published goes out marked late, which says it all.
  if (!unsent) {
    queue_.push_back({heard, true, false, -1, late});
    publishentry(queue_.back());
  }
  publishstates();
  if (client_ != nullptr) watchsocket();
}

void mqttoutput::healthchanged(const receiverhealth &health) {
  health_ = health;
  publishreceiver();
  if (client_ != nullptr) watchsocket();
}

void mqttoutput::eventsconfigured(const std::vector<std::string> &configured) {
  std::vector<std::string> codes = eventcodesof(configured);
  if (codes == codes_) return;
  std::vector<std::string> gone;
  for (const std::string &code : codes_) {
    if (std::find(codes.begin(), codes.end(), code) == codes.end()) gone.push_back(code);
  }
  codes_ = std::move(codes);
  if (!connected_) return;
  for (const std::string &code : gone) {
    if (!settings_.discovery.empty()) publish(eventconfigtopic(settings_, code), "", true);
    publish(settings_.topic + "/event/" + code, "", true);
    eventstates_.erase(code);
  }
  publishdiscovery();
  publishstates();
  watchsocket();
}

void mqttoutput::stopping() {
  if (!connected_) return teardown();
  int mid = -1;
  publish(settings_.topic + "/status", "offline", true, &mid);
  // A bounded wait on the socket alone: zud is stopping, nothing else is due.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(goodbyems);
  bool taken = false;
  while (!taken && client_ != nullptr) {
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count();
    if (left <= 0) break;
    if (mosq().loop(client_, static_cast<int>(left), 1) != MOSQ_ERR_SUCCESS) break;
    taken = std::find(acks_.begin(), acks_.end(), mid) != acks_.end();
    settleacks();
  }
  if (!taken) {
    std::fprintf(stderr, "zud: MQTT: the broker did not take \"offline\" within %d s\n",
                 goodbyems / 1000);
  }
  mosq().disconnect(client_);
  mosq().loop_write(client_, 1);
  teardown();
}
