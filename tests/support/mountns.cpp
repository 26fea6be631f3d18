#include "mountns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

SizedTmpfs::SizedTmpfs(const std::string &dir, const std::string &size) : dir_(dir) {
  // Private from the root down, so that nothing mounted here reaches the
  // namespace the test was started in.
  static const bool own = unshare(CLONE_NEWNS) == 0 &&
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  mounted_ = own && (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) &&
             mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                   ("size=" + size + ",mode=0700").c_str()) == 0;
}

SizedTmpfs::~SizedTmpfs() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

bool SizedTmpfs::fill() const {
  const int fd = open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const char page[4096] = {};
  // Whole pages, then single bytes for what is left of the last one.
  while (write(fd, page, sizeof page) > 0) {
  }
  while (write(fd, page, 1) > 0) {
  }
  return close(fd) == 0 || errno == ENOSPC;
}

bool SizedTmpfs::unfill() const { return unlink((dir_ + "/filler").c_str()) == 0; }

}  // namespace testsupport
