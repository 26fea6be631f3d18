// An xPL peer inside the test process: it joins the network through the
// library in hub mode on the loopback interface, keeps every message it hears,
// and sends messages of its own.  Use only inside a private network namespace
// (the *_nstest binaries).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "xPL.h"

namespace testsupport {

// A received message in plain form: what tests compare.
struct Heard {
  std::string type;      // "xpl-cmnd", "xpl-stat" or "xpl-trig"
  std::string source;    // vendor-device.instance
  std::string target;    // "*", "XPL-GROUP.name" or vendor-device.instance
  std::string schema;    // class.type
  std::vector<std::pair<std::string, std::string>> body;

  // The first value of `name`, or "" when absent.
  std::string value(const std::string &name) const;
  // Every value of `name`, in order.
  std::vector<std::string> values(const std::string &name) const;
};

class XplPeer {
 public:
  // Starts the library on "lo" (once per process) and enables a service
  // kelvora-tester.<instance>.
  explicit XplPeer(const std::string &instance = "peer");
  ~XplPeer();
  XplPeer(const XplPeer &) = delete;
  XplPeer &operator=(const XplPeer &) = delete;

  xPL_ServicePtr service() const { return service_; }

  // Runs the event loop for about `ms` milliseconds.
  void pump(int ms);
  // Runs the event loop until `condition` holds; false after `timeout`.
  bool pumpUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout);
  // Runs the event loop until a message that `match` accepts arrives (after
  // the first `from` messages); the index of that message, or -1 on timeout.
  int waitFor(const std::function<bool(const Heard &)> &match, std::chrono::milliseconds timeout,
              size_t from = 0);

  // Everything heard so far, in order of arrival.
  const std::vector<Heard> &heard() const { return heard_; }
  void forget() { heard_.clear(); }

  // Waits for the hub's echo of our own heartbeat, then asks every device on
  // the network to announce itself (a broadcast hbeat.request).
  bool requestHeartbeats(std::chrono::milliseconds timeout);

  // Sends a command to one device ("vendor-device.instance") with the pairs in order.
  bool sendCommand(const std::string &target, const std::string &schema,
                   const std::vector<std::pair<std::string, std::string>> &body);

 private:
  static void listen(xPL_MessagePtr message, xPL_ObjectPtr self);
  xPL_ServicePtr service_ = nullptr;
  std::vector<Heard> heard_;
};

}  // namespace testsupport
