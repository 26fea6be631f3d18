// zud-sim's side of the line.
#include "terminal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zudsim {

namespace {

void makeRaw(int fd) {
  termios attrs{};
  if (tcgetattr(fd, &attrs) != 0) return;
  attrs.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF);
  attrs.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  attrs.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  attrs.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  attrs.c_cflag |= CS8 | CREAD | CLOCAL;
  attrs.c_cc[VMIN] = 1;
  attrs.c_cc[VTIME] = 0;
  cfsetispeed(&attrs, B2400);
  cfsetospeed(&attrs, B2400);
  tcsetattr(fd, TCSANOW, &attrs);
}

}  // namespace

void resetSlave(const std::string &name) {
  Fd slave(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!slave.valid()) return;
  makeRaw(slave.get());
  tcflush(slave.get(), TCIFLUSH);
}

std::optional<Pty> openPty(std::string &error) {
  Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
    error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return std::nullopt;
  }
  const char *name = ptsname(master.get());
  if (name == nullptr) {
    error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
    return std::nullopt;
  }
  Pty pty{std::move(master), name};
  resetSlave(pty.name);
  return pty;
}

bool Link::usable(std::string &error) const {
  struct stat info {};
  if (!enabled() || lstat(path_.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return true;
  error = path_ + " exists and is not a symbolic link";
  return false;
}

bool Link::point(const std::string &target, std::string &error) {
  if (!enabled()) return true;
  std::string temp = path_ + ".zud-sim." + std::to_string(getpid());
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), path_.c_str()) != 0) {
    error = "cannot link " + path_ + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  target_ = target;
  return true;
}

void Link::remove() {
  if (!enabled() || target_.empty()) return;
  char current[4096];
  ssize_t n = ::readlink(path_.c_str(), current, sizeof current - 1);
  if (n >= 0 && std::string(current, static_cast<size_t>(n)) == target_) ::unlink(path_.c_str());
  target_.clear();
}

}  // namespace zudsim
