#include "netns.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace testsupport {
namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "netns: %s: %s -- refusing to run network tests\n", what,
               std::strerror(errno));
  std::_Exit(2);
}

bool writeFile(const char *path, const std::string &text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

void bringLoopbackUp() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) fail("socket");
  struct ifreq req;
  std::memset(&req, 0, sizeof req);
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(s, SIOCGIFFLAGS, &req) < 0) fail("SIOCGIFFLAGS lo");
  req.ifr_flags |= IFF_UP;
  if (ioctl(s, SIOCSIFFLAGS, &req) < 0) fail("SIOCSIFFLAGS lo");
  close(s);
}

}  // namespace

bool onlyLoopbackVisible() {
  struct ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool onlyLo = true;
  for (struct ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
    if (std::strcmp(a->ifa_name, "lo") != 0) onlyLo = false;
  }
  freeifaddrs(list);
  return onlyLo;
}

void enterPrivateNetworkNamespace() {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  // Root can take a network namespace directly; anyone else goes through a
  // user namespace in which they are root, as `unshare -rn` does.
  if (uid != 0 || unshare(CLONE_NEWNET) != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) fail("unshare");
    writeFile("/proc/self/setgroups", "deny");
    if (!writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n"))
      fail("uid_map");
    if (!writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
      fail("gid_map");
  }
  bringLoopbackUp();
  if (!onlyLoopbackVisible()) {
    errno = EEXIST;
    fail("an interface other than lo is visible");
  }
}

bool addVethPair(const std::string &name, const std::string &peer, const std::string &cidr) {
  std::string cmd = "ip link add " + name + " type veth peer name " + peer +
                    " && ip addr add " + cidr + " dev " + name + " && ip link set " + name +
                    " up && ip link set " + peer + " up";
  return std::system(cmd.c_str()) == 0;
}

void removeVethPair(const std::string &name) {
  std::string cmd = "ip link del " + name + " 2>/dev/null";
  (void)!std::system(cmd.c_str());
}

}  // namespace testsupport
