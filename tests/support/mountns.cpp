#include "mountns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

SizedTmpfs::SizedTmpfs(const std::string &dir, const std::string &size) : dir_(dir) {
  static const bool own = unshare(CLONE_NEWNS) == 0 &&
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  mounted_ = own && (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) &&
             mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

SizedTmpfs::~SizedTmpfs() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

bool SizedTmpfs::fill() const {
  const int fd = open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const char page[4096] = {};
  while (fd >= 0 && write(fd, page, sizeof page) > 0) {
  }
  while (fd >= 0 && write(fd, page, 1) > 0) {  // what is left of the last page
  }
  return fd >= 0 && (close(fd) == 0 || errno == ENOSPC);
}

bool SizedTmpfs::unfill() const { return unlink((dir_ + "/filler").c_str()) == 0; }

}  // namespace testsupport
