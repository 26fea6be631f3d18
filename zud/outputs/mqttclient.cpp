// mqttclient.cpp -- a libmosquitto client whose callbacks only take notes.
#include "outputs/mqttclient.h"

#include <cstddef>

#include "outputs/mosquittolib.h"

namespace {

clientnotes &notesof(void *notes) { return *static_cast<clientnotes *>(notes); }

void onconnect(mosquitto *, void *notes, int result) {
  clientnotes &n = notesof(notes);
  if (result == 0) {
    n.accepted = true;
  } else {
    n.refused = librarytext(mosq().connack_string(result));
    n.refusal = true;
  }
}

void ondisconnect(mosquitto *, void *notes, int result) {
  clientnotes &n = notesof(notes);
  if (!n.refused.empty() || result == 0) return;
  n.refused = result == MOSQ_ERR_KEEPALIVE ? "the broker stopped answering"
                                           : librarytext(mosq().strerror(result));
  if (!n.lasterror.empty()) n.refused += ": " + n.lasterror;
}

void onpublish(mosquitto *, void *notes, int mid) { notesof(notes).acks.push_back(mid); }

void onmessage(mosquitto *, void *notes, const mosquitto_message *message) {
  notesof(notes).messages.push_back(
      {message->topic,
       std::string(static_cast<const char *>(message->payload),
                   static_cast<std::size_t>(message->payloadlen)),
       message->retain});
}

void onlog(mosquitto *, void *notes, int level, const char *text) {
  if (level == MOSQ_LOG_ERR) notesof(notes).lasterror = text;
}

}  // namespace

std::string librarytext(const char *text) {
  std::string line = text != nullptr ? text : "";
  if (!line.empty() && line.back() == '.') line.pop_back();
  return line;
}

mqttclient::mqttclient(const std::string &id) {
  handle_ = mosq().create(id.c_str(), true, &notes);
  if (handle_ == nullptr) return;
  mosq().connect_callback_set(handle_, onconnect);
  mosq().disconnect_callback_set(handle_, ondisconnect);
  mosq().publish_callback_set(handle_, onpublish);
  mosq().message_callback_set(handle_, onmessage);
  mosq().log_callback_set(handle_, onlog);
}

mqttclient::~mqttclient() {
  if (handle_ != nullptr) mosq().destroy(handle_);
}
