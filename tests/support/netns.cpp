#include "netns.h"

#include <fcntl.h>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sched.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
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

bool writeFile(const char *path, const std::string &text, int flags = O_WRONLY) {
  int fd = open(path, flags, 0644);
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

SilentNameServer::SilentNameServer() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(53);
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

SilentNameServer::~SilentNameServer() {
  if (fd_ >= 0) close(fd_);
}

bool SilentNameServer::queried(std::chrono::milliseconds timeout) {
  pollfd ready{fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return false;
  char query[512];
  return recv(fd_, query, sizeof query, 0) > 0;
}

bool useLoopbackNameServer(const std::string &dir, const std::string &options) {
  const std::string resolv = dir + "/resolv.conf";
  const std::string nsswitch = dir + "/nsswitch.conf";
  const int create = O_WRONLY | O_CREAT | O_TRUNC;
  if (!writeFile(resolv.c_str(), "nameserver 127.0.0.1\noptions " + options + "\n", create) ||
      !writeFile(nsswitch.c_str(), "hosts: files dns\n", create)) {
    return false;
  }
  // Private first: a bind mount must never spread to the machine's own tree.
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0 &&
         mount(nsswitch.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace testsupport
