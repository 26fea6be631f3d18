// zud-sim's side of the line: owned descriptors, the pseudo-terminal whose
// slave plays the receiver's serial port, and a symbolic link that follows
// the slave's name.
#ifndef ZUD_SIM_TERMINAL_H
#define ZUD_SIM_TERMINAL_H

#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace zudsim {

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd &&other) noexcept : fd_(other.release()) {}
  Fd &operator=(Fd &&other) noexcept {
    reset(other.release());
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Opens the slave ourselves for a moment: sets it raw, discards bytes that
// nobody read, and on closing leaves the master reporting a hang-up until the
// other side opens it.  That hang-up is how an opening is noticed.
void resetSlave(const std::string &name);

struct Pty {
  Fd master;
  std::string name;  // of the slave
};

// A new pseudo-terminal with a non-blocking master; nothing when it cannot be made.
std::optional<Pty> openPty(std::string &error);

// Who besides its owner may open the slave: the permission bits of --mode
// and the group of --group, each left as the system made it when absent.  A
// gateway running as another user (a service's own user in the group
// dialout, say) cannot open a terminal that root made without them.
struct Access {
  std::optional<mode_t> mode;
  std::optional<gid_t> group;
  std::string groupText;  // as given, for messages
};

// Reads --mode (octal permission bits, 0 to 0777) and --group (a group name
// or number); nothing, with the reason in `error`, when either is refused.
std::optional<Access> resolveAccess(const std::optional<std::string> &mode,
                                    const std::optional<std::string> &group, std::string &error);

// Gives the slave `name` its group and mode; false, with the reason in
// `error`, when the system refuses.
bool applyAccess(const std::string &name, const Access &access, std::string &error);

// A symbolic link kept pointing at the current slave.
class Link {
 public:
  explicit Link(std::string path) : path_(std::move(path)) {}
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;
  ~Link() { remove(); }

  bool enabled() const { return !path_.empty(); }

  // True when the path is free or already a symbolic link (which we may replace).
  bool usable(std::string &error) const;

  // Points the link at `target`, replacing the old one in a single step.
  bool point(const std::string &target, std::string &error);

  // Removes the link if it is still ours.
  void remove();

 private:
  std::string path_;
  std::string target_;
};

}  // namespace zudsim

#endif  // ZUD_SIM_TERMINAL_H
