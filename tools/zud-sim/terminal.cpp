// zud-sim's side of the line.
#include "terminal.h"

#include "commandline.h"

#include <fcntl.h>
#include <grp.h>
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

namespace {

// Octal digits only, as chmod(1) takes them; bits beyond the permissions
// (set-user-ID and the like) mean nothing on a terminal.
std::optional<mode_t> parseMode(const std::string &text) {
  if (text.size() > 4) return std::nullopt;  // at most one leading 0
  return commandline::wholenumber(text, mode_t{0}, mode_t{0777}, 8);
}

// A name from the group database, or a number as chown(1) takes it.  The
// number (gid_t)-1 would mean "leave the group" to chown, so it is refused.
std::optional<gid_t> parseGroup(const std::string &text) {
  if (text.empty()) return std::nullopt;
  if (text.find_first_not_of("0123456789") == std::string::npos) {
    return commandline::wholenumber(text, gid_t{0}, static_cast<gid_t>(static_cast<gid_t>(-1) - 1));
  }
  const group *entry = ::getgrnam(text.c_str());
  if (entry == nullptr) return std::nullopt;
  return entry->gr_gid;
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
  return text;
}

}  // namespace

std::optional<Access> resolveAccess(const std::optional<std::string> &mode,
                                    const std::optional<std::string> &group, std::string &error) {
  Access access;
  if (mode) {
    access.mode = parseMode(*mode);
    if (!access.mode) {
      error = "--mode " + *mode + ": not octal permission bits from 0 to 0777 (such as 0660)";
      return std::nullopt;
    }
  }
  if (group) {
    access.group = parseGroup(*group);
    if (!access.group) {
      error = "--group " + *group + ": no such group";
      return std::nullopt;
    }
    access.groupText = *group;
  }
  return access;
}

bool applyAccess(const std::string &name, const Access &access, std::string &error) {
  if (access.group && ::chown(name.c_str(), static_cast<uid_t>(-1), *access.group) != 0) {
    error = "cannot give " + name + " to group " + access.groupText + ": " + std::strerror(errno);
    return false;
  }
  if (access.mode && ::chmod(name.c_str(), *access.mode) != 0) {
    error = "cannot set mode " + octal(*access.mode) + " on " + name + ": " + std::strerror(errno);
    return false;
  }
  return true;
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
