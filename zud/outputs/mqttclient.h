// mqttclient.h -- one libmosquitto client and what its callbacks noted.
//
// The client's callbacks act on nothing: they only write down what the
// network told them (accepted, refused, closed, acknowledged, a message
// seen, the library's last error) in the client's own notes, and the
// client's holder reads them once the call into the client has returned.
// So whoever holds the client holds its notes: the event loop, or the
// connect thread while it connects (mqttconnector.h), never both.
#ifndef ZUD_MQTTCLIENT_H
#define ZUD_MQTTCLIENT_H

#include <string>
#include <vector>

struct mosquitto;

// One message the broker passed on to the client.
struct seenmessage {
  std::string topic;
  std::string payload;
  bool retained = false;  // kept by the broker from before this connection
};

// What the client's callbacks noted since the holder last took the notes.
struct clientnotes {
  bool accepted = false;  // the broker accepted the connection
  std::string refused;    // why the broker refused or closed it; empty: it did not
  bool refusal = false;   // `refused` is the broker's refusal (its CONNACK)
  std::string lasterror;  // the library's last error line (a TLS failure, say)
  std::vector<int> acks;  // message ids the broker acknowledged
  std::vector<seenmessage> messages;
};

// A library message as part of a line: without its closing full stop.
std::string librarytext(const char *text);

// A libmosquitto client whose callbacks note into `notes`; destroyed with
// the object.  Not copyable or movable: the client keeps the notes'
// address as its callbacks' user value.
class mqttclient {
 public:
  // A new client with this id and a clean session; handle() is null when
  // the library could not make one (errno says why).
  explicit mqttclient(const std::string &id);
  ~mqttclient();
  mqttclient(const mqttclient &) = delete;
  mqttclient &operator=(const mqttclient &) = delete;

  // The library's client, for the library's calls.
  mosquitto *handle() const { return handle_; }

  clientnotes notes;

 private:
  mosquitto *handle_ = nullptr;
};

#endif  // ZUD_MQTTCLIENT_H
