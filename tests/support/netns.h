// Private network namespaces for tests that open sockets or start daemons.
#pragma once

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

}  // namespace testsupport
