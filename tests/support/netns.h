// Private network namespaces for tests that open sockets or start daemons.
#pragma once

#include <chrono>
#include <string>

namespace testsupport {

// Moves this process into a fresh network namespace of its own, with only the
// loopback interface, brought up.  Aborts the process when that cannot be
// done or when any other interface is visible afterwards, so that no test can
// ever reach a real network.  Must be called while the process has one thread.
void enterPrivateNetworkNamespace();

// Whether the loopback interface is the only interface this process can see.
bool onlyLoopbackVisible();

// Creates a veth pair inside the current namespace, gives `name` the address
// `cidr` (for example "10.1.2.3/16") and brings both ends up.  Returns false
// when the `ip` command fails.
bool addVethPair(const std::string &name, const std::string &peer, const std::string &cidr);

// Removes a veth pair created by addVethPair (both ends go).
void removeVethPair(const std::string &name);

// A name server on 127.0.0.1, port 53, that reads queries and never
// answers; for the namespace's own loopback only.
class SilentNameServer {
 public:
  SilentNameServer();
  ~SilentNameServer();
  SilentNameServer(const SilentNameServer &) = delete;
  SilentNameServer &operator=(const SilentNameServer &) = delete;

  bool listening() const { return fd_ >= 0; }
  // Waits up to `timeout` for a query (and takes it); true when one came.
  bool queried(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
};

// Gives this process, and every process it starts from then on, its own
// /etc/resolv.conf naming only 127.0.0.1 (with `options`, such as
// "timeout:30 attempts:5") and its own /etc/nsswitch.conf looking host
// names up in /etc/hosts and DNS alone, so that no lookup leaves the
// namespace; the files are written to `dir`.  It enters a mount namespace
// of its own, private, so that nothing reaches the machine's mounts; the
// rest of the process keeps that view.  False when that cannot be done.
bool useLoopbackNameServer(const std::string &dir, const std::string &options);

}  // namespace testsupport
