// mqttconnector.h -- libmosquitto's connect call on a thread of its own.
//
// mosquitto_connect_bind_async looks the broker's name up in its caller,
// and a DNS server that does not answer holds the caller for as long as
// the resolver waits: seconds, at start and at every new attempt.  zud's
// one event loop must never wait, so that one call (the lookup, the start
// of the TCP connect and the TLS set-up, with the broker's name kept for
// the certificate's check) runs here, on a thread that does nothing else,
// and the client returns to the loop when it is done.
//
// One holder at a time: the client (and its notes) belongs to the thread
// from begin() until the loop, woken by fd(), calls collect(), which joins
// the thread, so that everything the thread wrote is seen by the loop,
// and hands the client back.  The loop never touches a client it has
// handed over.
#ifndef ZUD_MQTTCONNECTOR_H
#define ZUD_MQTTCONNECTOR_H

#include <memory>
#include <string>
#include <thread>

#include "outputs/mqttclient.h"

class mqttconnector {
 public:
  // What the connect call left.
  struct outcome {
    std::unique_ptr<mqttclient> client;
    int code = 0;   // the call's MOSQ_ERR_* result
    int error = 0;  // errno as the call left it: the lookup's EAI_* code
                    // after MOSQ_ERR_EAI, the system's after MOSQ_ERR_ERRNO
  };

  mqttconnector() = default;
  // A call still running (a lookup nobody answers) is left to finish on
  // its own; its client is left to the end of the process.
  ~mqttconnector();
  mqttconnector(const mqttconnector &) = delete;
  mqttconnector &operator=(const mqttconnector &) = delete;

  // Starts connecting `client` to host:port on a new thread; false, with
  // errno set and the client destroyed, when no thread could be started.
  bool begin(std::unique_ptr<mqttclient> client, const std::string &host, int port,
             int keepalive);
  // Readable once the call has returned; -1 when nothing was begun.
  int fd() const;
  // A call was begun and not yet collected.
  bool busy() const { return job_ != nullptr; }
  // Once fd() is readable: the thread joined, the client and the result.
  outcome collect();

 private:
  struct job;
  // The thread's whole work: the call, what it left, and the word to the loop.
  static void run(const std::shared_ptr<job> &work);

  std::shared_ptr<job> job_;  // shared with the thread until it ends
  std::thread thread_;
};

#endif  // ZUD_MQTTCONNECTOR_H
