// mqttoutput.cpp -- alerts on an MQTT broker, joined to zud's event loop.
#include "outputs/mqttoutput.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "outputs/mosquittolib.h"
#include "same/decoder.h"
#include "same/timetext.h"
#include "xPL.h"

namespace {

// The MQTT output the loop's device handlers serve: a device handler gets
// an int user value, not a pointer, and zud has one broker at most.
mqttoutput *served = nullptr;

// Seconds between the client's keep-alive packets, and how often the loop
// lets the client check them: often enough that a ping goes out well within
// the broker's allowance (one and a half keep-alives), rarely enough that an
// idle zud hardly wakes.
constexpr int keepaliveseconds = 60;
constexpr int miscms = 10000;
// A name lookup that has not returned is given up after this long: longer
// than the resolver's own patience with a silent DNS server (5 s, twice, by
// default), so that its own word comes first when it has one.
constexpr int lookupms = 15000;
// An attempt whose lookup is done but that has no answer (a SYN never
// answered, a TLS handshake or a CONNACK that never comes) is given up
// after this long.
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

// The last level of the prefix ("kitchen" of "zud/kitchen"), for the device's name.
std::string lastlevel(const std::string &prefix) { return prefix.substr(prefix.rfind('/') + 1); }

// Why a call into libmosquitto failed, from its result and errno.
std::string failure(int result, int error, const std::string &lasterror) {
  std::string why;
  if (result == MOSQ_ERR_EAI) {
    why = gai_strerror(error);
  } else if (result == MOSQ_ERR_ERRNO) {
    why = strerror(error);
  } else {
    why = librarytext(mosq().strerror(result));
  }
  if (!lasterror.empty()) why += ": " + lasterror;
  return why;
}

// Errors of a connection that never came about.
bool connectionerror(int error) {
  return error == ECONNREFUSED || error == ECONNRESET || error == EHOSTUNREACH ||
         error == ENETUNREACH || error == ETIMEDOUT;
}

// Why a socket that reports an error or a hang-up before the session is up
// ended.  Its pending error says it ("Connection refused").  When the TLS
// set-up's first write took that error already, inside the connect call,
// the only trace left is errno as that call left it (`connecterror`).
std::string endofsocket(int fd, int connecterror) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
    return strerror(error);
  }
  if (connectionerror(connecterror)) return strerror(connecterror);
  return "the connection was closed";
}

}  // namespace

bool failurelog::due(const std::string &reason, bool refusal, std::time_t now) {
  const bool same = reason == last_;
  last_ = reason;
  if (same && refusal && now - saidat_ < refusalrepeat) return false;
  saidat_ = now;
  return true;
}

jsonvalue alertpayload(const heardalert &heard, std::time_t now) {
  jsonvalue object = alertjson(heard);
  if (heard.values.expires <= now) object["late"] = true;
  return object;
}

jsonvalue audiopayload(const heardalert &heard, const std::string &path, double seconds) {
  const alert &a = heard.values;
  return {{"id", alertkey(a)},
          {"event_type", a.eventcode},
          {"event", a.event},
          {"station", a.source},
          {"issued", isotime(a.issued)},
          {"path", path},
          {"seconds", std::round(seconds * 10) / 10}};
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

std::vector<std::string> eventtypesof(const std::vector<std::string> &configured) {
  std::vector<std::string> types;
  for (const eventcode *entry = eventcodes; entry->ecode != nullptr; ++entry) {
    types.emplace_back(entry->ecode);
  }
  const std::size_t known = types.size();
  for (const std::string &code : configured) {
    if (std::find(types.begin(), types.begin() + static_cast<std::ptrdiff_t>(known), code) ==
        types.begin() + static_cast<std::ptrdiff_t>(known)) {
      types.push_back(code);
    }
  }
  return types;
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
  alert["event_types"] = eventtypesof(codes);
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
  if (connector_.busy()) xPL_removeIODevice(connector_.fd());
  xPL_removeTimer(retrytimer, this);
  if (served == this) served = nullptr;
}

void mqttoutput::oweagain(const heardalert &heard) {
  queue_.push_back({heard, false, ledger_ != nullptr, -1, false, {}, 0});
}

void mqttoutput::start() { attempt(); }

// --- The connection ----------------------------------------------------------

void mqttoutput::attempt() {
  teardown();
  // One connect call at a time: a lookup given up on still runs, and the
  // next attempt starts when it returns.
  if (connector_.busy()) {
    retrywaiting_ = true;
    return;
  }
  auto client = std::make_unique<mqttclient>(clientid_);
  mosquitto *handle = client->handle();
  if (handle == nullptr) return dropped("cannot make a client: " + std::string(strerror(errno)));
  // Alerts are small and each should leave at once.
  mosq().int_option(handle, MOSQ_OPT_TCP_NODELAY, 1);
  const std::string status = settings_.topic + "/status";
  int rc = mosq().will_set(handle, status.c_str(), 7, "offline", 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !settings_.user.empty()) {
    rc = mosq().username_pw_set(handle, settings_.user.c_str(),
                                settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && settings_.broker.tls) {
    // The broker's certificate and its host name are verified: no
    // insecure mode is ever set.
    rc = settings_.cafile.empty()
             ? mosq().tls_set(handle, nullptr, systemcertificates, nullptr, nullptr, nullptr)
             : mosq().tls_set(handle, settings_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) return dropped(failure(rc, errno, client->notes.lasterror));
  // The client is the connector's from here until connectreturned().
  if (!connector_.begin(std::move(client), settings_.broker.host, settings_.broker.port,
                        keepaliveseconds)) {
    return dropped("cannot start connecting: " + std::string(strerror(errno)));
  }
  abandoned_ = false;
  xPL_addIODevice(connectorready, 0, connector_.fd(), TRUE, FALSE, FALSE);
  xPL_addTimer(lookuptimeout, lookupms, this);
}

void mqttoutput::connectorready(int fd, int, int) {
  xPL_removeIODevice(fd);
  if (served != nullptr) served->connectreturned();
}

void mqttoutput::connectreturned() {
  xPL_removeTimer(lookuptimeout, this);
  mqttconnector::outcome returned = connector_.collect();
  if (abandoned_) {
    // Given up on already, and said so; the client goes with `returned`.
    abandoned_ = false;
    if (retrywaiting_) {
      retrywaiting_ = false;
      attempt();
    }
    return;
  }
  if (returned.code != MOSQ_ERR_SUCCESS) {
    const bool refusal = returned.code == MOSQ_ERR_TLS;
    return dropped(failure(returned.code, returned.error, returned.client->notes.lasterror),
                   refusal);
  }
  client_ = std::move(returned.client);
  connecterror_ = returned.error;
  xPL_addTimer(connecttimeout, connectms, this);
  afterclient(MOSQ_ERR_SUCCESS);
}

void mqttoutput::watchsocket() {
  const int sock = client_ != nullptr ? mosq().socket(client_->handle()) : -1;
  const bool write = sock >= 0 && mosq().want_write(client_->handle());
  if (sock == socket_ && write == watchingwrite_) return;
  if (socket_ >= 0) xPL_removeIODevice(socket_);
  socket_ = sock;
  watchingwrite_ = write;
  if (socket_ >= 0) xPL_addIODevice(ioready, 0, socket_, TRUE, write ? TRUE : FALSE, FALSE);
}

void mqttoutput::teardown() {
  xPL_removeTimer(lookuptimeout, this);
  xPL_removeTimer(connecttimeout, this);
  xPL_removeTimer(misctimer, this);
  if (socket_ >= 0) xPL_removeIODevice(socket_);
  socket_ = -1;
  watchingwrite_ = false;
  client_.reset();
  // A connect call still running is no longer wanted: its client is
  // thrown away when it returns.
  if (connector_.busy()) abandoned_ = true;
  connected_ = false;
  // What the client held unacknowledged goes out again on the next connection.
  for (pending &entry : queue_) entry.mid = -1;
}

void mqttoutput::dropped(std::string reason, bool refusal) {
  const bool was = connected_;
  teardown();
  if (was) backoffms_ = firstbackoffms;
  const int wait = backoffms_;
  if (was) {
    std::fprintf(stderr, "zud: MQTT: the connection to %s was lost (%s) -- connecting again in %d s\n",
                 brokertext(settings_.broker).c_str(), reason.c_str(), wait / 1000);
  } else if (failures_.due(reason, refusal, std::time(nullptr))) {
    std::fprintf(stderr, "zud: MQTT: cannot connect to %s (%s) -- trying again in %d s%s\n",
                 brokertext(settings_.broker).c_str(), reason.c_str(), wait / 1000,
                 refusal ? "; said again hourly while it lasts" : "");
  }
  backoffms_ = std::min(backoffms_ * 2, lastbackoffms);
  xPL_removeTimer(retrytimer, this);
  xPL_addTimer(retrytimer, wait, this);
}

void mqttoutput::ioready(int, int events, int) {
  mqttoutput *self = served;
  if (self == nullptr || self->client_ == nullptr) return;
  mosquitto *handle = self->client_->handle();
  clientnotes &notes = self->client_->notes;
  const bool ended = (events & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  // Read before the client touches the socket, whose next write would take
  // the error and leave only "Broken pipe".
  const std::string cause =
      ended && !self->connected_ ? endofsocket(self->socket_, self->connecterror_) : "";
  int rc = MOSQ_ERR_SUCCESS;
  // What the broker said before it went (a refusal, say) is read first.
  if ((events & POLLIN) != 0 || ended) rc = mosq().loop_read(handle, 1);
  if (rc == MOSQ_ERR_SUCCESS && !ended && (events & POLLOUT) != 0) {
    rc = mosq().loop_write(handle, 1);
  }
  // A socket that has ended stays ready: the connection ends here, whatever
  // the client made of it, or the loop would spin on it.
  if (rc == MOSQ_ERR_SUCCESS && ended && notes.refused.empty()) {
    notes.refused = cause.empty() ? "the connection was closed" : cause;
  }
  self->afterclient(rc);
}

void mqttoutput::afterclient(int result) {
  const int error = errno;
  if (client_ == nullptr) return;
  clientnotes &notes = client_->notes;
  std::vector<int> acks;
  acks.swap(notes.acks);
  settleacks(acks);
  if (result != MOSQ_ERR_SUCCESS || !notes.refused.empty()) {
    const bool refusal = notes.refusal || result == MOSQ_ERR_TLS;
    if (!notes.refused.empty()) return dropped(notes.refused, refusal);
    return dropped(failure(result, error, notes.lasterror), refusal);
  }
  if (notes.accepted) {
    notes.accepted = false;
    connectedup();
  }
  std::vector<seenmessage> messages;
  messages.swap(notes.messages);
  for (const seenmessage &message : messages) seen(message);
  if (client_ != nullptr) watchsocket();
}

void mqttoutput::connectedup() {
  connected_ = true;
  backoffms_ = firstbackoffms;
  failures_.connected();
  xPL_removeTimer(connecttimeout, this);
  xPL_addTimer(misctimer, miscms, this);
  std::printf("zud: MQTT: connected to %s, topics under %s\n",
              brokertext(settings_.broker).c_str(), settings_.topic.c_str());
  publish(settings_.topic + "/status", "online", true);
  // Retained states of event codes no longer configured are found and
  // deleted: the broker hands them over at subscription.
  mosquitto *handle = client_->handle();
  const std::string events = settings_.topic + "/event/+";
  mosq().subscribe(handle, nullptr, events.c_str(), 1);
  if (!settings_.discovery.empty()) {
    const std::string online = settings_.discovery + "/status";
    const std::string configs =
        settings_.discovery + "/binary_sensor/" + nodeid(settings_.topic) + "/+/config";
    mosq().subscribe(handle, nullptr, online.c_str(), 1);
    mosq().subscribe(handle, nullptr, configs.c_str(), 1);
    publishdiscovery();
  }
  eventstates_.clear();
  publishreceiver();
  publishstates();
  for (pending &entry : queue_) publishentry(entry);
}

void mqttoutput::seen(const seenmessage &message) {
  if (!connected_) return;
  if (!settings_.discovery.empty() && message.topic == settings_.discovery + "/status") {
    // Home Assistant started again: it hears everything anew.
    if (message.payload == "online") {
      publishdiscovery();
      eventstates_.clear();
      publishstates();
      publishreceiver();
    }
    return;
  }
  // Only what the broker kept from an earlier run is looked at.
  if (!message.retained || message.payload.empty()) return;
  auto configured = [&](const std::string &code) {
    return std::find(codes_.begin(), codes_.end(), code) != codes_.end();
  };
  const std::string events = settings_.topic + "/event/";
  if (message.topic.rfind(events, 0) == 0) {
    if (!configured(message.topic.substr(events.size()))) publish(message.topic, "", true);
    return;
  }
  const std::string configs =
      settings_.discovery + "/binary_sensor/" + nodeid(settings_.topic) + "/event_";
  if (message.topic.rfind(configs, 0) == 0) {
    const std::string rest = message.topic.substr(configs.size());
    std::string code = rest.substr(0, rest.find('/'));
    std::transform(code.begin(), code.end(), code.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    if (!configured(code)) publish(message.topic, "", true);
  }
}

// --- Loop timers ---------------------------------------------------------------

void mqttoutput::retrytimer(void *self) { static_cast<mqttoutput *>(self)->attempt(); }

void mqttoutput::misctimer(void *self) {
  mqttoutput &out = *static_cast<mqttoutput *>(self);
  if (out.client_ == nullptr) return;
  const int rc = mosq().loop_misc(out.client_->handle());
  if (out.client_ != nullptr && out.connected_) xPL_addTimer(misctimer, miscms, self);
  out.afterclient(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_CONN_LOST : rc);
}

void mqttoutput::lookuptimeout(void *self) {
  mqttoutput &out = *static_cast<mqttoutput *>(self);
  if (!out.connector_.busy()) return;
  out.dropped("the name lookup of " + out.settings_.broker.host + " had no answer within " +
              std::to_string(lookupms / 1000) + " s");
}

void mqttoutput::connecttimeout(void *self) {
  mqttoutput &out = *static_cast<mqttoutput *>(self);
  if (out.client_ == nullptr || out.connected_) return;
  out.dropped("no answer within " + std::to_string(connectms / 1000) + " s");
}

// --- Publishing -------------------------------------------------------------------

void mqttoutput::publish(const std::string &topic, const std::string &payload, bool retain,
                         int *mid) {
  if (client_ == nullptr) return;
  int id = -1;
  // A failure here is the connection's, which the loop finds on the socket;
  // the message is then sent again with the next connection.
  if (mosq().publish(client_->handle(), &id, topic.c_str(), static_cast<int>(payload.size()),
                     payload.data(), 1, retain) == MOSQ_ERR_SUCCESS &&
      mid != nullptr) {
    *mid = id;
  }
}

void mqttoutput::publishentry(pending &entry) {
  if (!connected_ || entry.mid >= 0) return;
  if (!entry.audio.empty()) {
    int mid = -1;
    publish(settings_.topic + "/audio", jsontext(audiopayload(entry.heard, entry.audio, entry.seconds)),
            false, &mid);
    entry.mid = mid;
    return;
  }
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

void mqttoutput::settleacks(const std::vector<int> &acks) {
  for (const int mid : acks) {
    const auto entry = std::find_if(queue_.begin(), queue_.end(),
                                    [&](const pending &p) { return p.mid == mid; });
    if (entry == queue_.end()) continue;
    if (entry->stored && !entry->expiry && ledger_ != nullptr) ledger_->settle(entry->heard.values, channel);
    queue_.erase(entry);
  }
}

// --- Events from the gateway ---------------------------------------------------------

std::string mqttoutput::alertheard(const heardalert &heard, bool repeat) {
  if (repeat) return {};
  queue_.push_back({heard, false, ledger_ != nullptr, -1, false, {}, 0});
  if (connected_) publishentry(queue_.back());
  // Right after the alert's own publication and before anything else, so
  // that a zud killed now still owes it after a restart; the store's write
  // never comes before the publication.
  if (ledger_ != nullptr) ledger_->owe(heard, channel);
  publishstates();
  if (client_ != nullptr) watchsocket();
  return connected_ ? "published on MQTT" : "queued for MQTT (not connected)";
}

void mqttoutput::expired(const heardalert &heard, bool late) {
  const std::string key = alertkey(heard.values);
  const bool unsent = std::any_of(queue_.begin(), queue_.end(), [&](const pending &p) {
    return !p.expiry && p.audio.empty() && p.mid < 0 && alertkey(p.heard.values) == key;
  });
  // An alert not yet published goes out marked late, which says it all.
  if (!unsent) {
    queue_.push_back({heard, true, false, -1, late, {}, 0});
    publishentry(queue_.back());
  }
  publishstates();
  if (client_ != nullptr) watchsocket();
}

void mqttoutput::messagekept(const heardalert &heard, const std::string &path, double seconds) {
  queue_.push_back({heard, false, false, -1, false, path, seconds});
  publishentry(queue_.back());
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
  // Not connected, or still connecting: nothing to say, and nothing to
  // wait for (a lookup still running is left to the end of the process).
  if (!connected_) return teardown();
  mosquitto *handle = client_->handle();
  int mid = -1;
  publish(settings_.topic + "/status", "offline", true, &mid);
  // A bounded wait on the socket alone: zud is stopping, nothing else is due.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(goodbyems);
  bool taken = false;
  while (!taken) {
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count();
    if (left <= 0) break;
    if (mosq().loop(handle, static_cast<int>(left), 1) != MOSQ_ERR_SUCCESS) break;
    std::vector<int> acks;
    acks.swap(client_->notes.acks);
    taken = std::find(acks.begin(), acks.end(), mid) != acks.end();
    settleacks(acks);
  }
  if (!taken) {
    std::fprintf(stderr, "zud: MQTT: the broker did not take \"offline\" within %d s\n",
                 goodbyems / 1000);
  }
  mosq().disconnect(handle);
  mosq().loop_write(handle, 1);
  teardown();
}
