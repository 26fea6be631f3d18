#include "mountns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace testsupport {
namespace {

bool ownMountNamespace() {
  static bool own = false;
  if (own) return true;
  if (unshare(CLONE_NEWNS) != 0) return false;
  // Private from the root down: neither the mounts made here nor their
  // unmounting reach the namespace the test was started in.
  own = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return own;
}

}  // namespace

SizedTmpfs::SizedTmpfs(const std::string &dir, const std::string &size) : dir_(dir) {
  const std::string options = "size=" + size + ",mode=0700";
  mounted_ = (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) && ownMountNamespace() &&
             mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

SizedTmpfs::~SizedTmpfs() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

bool SizedTmpfs::fill() const {
  const int fd =
      open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::vector<char> block(4096, 'x');
  // Whole pages first, then single bytes for what is left of the last one.
  while (write(fd, block.data(), block.size()) > 0) {
  }
  while (write(fd, block.data(), 1) > 0) {
  }
  close(fd);
  return true;
}

bool SizedTmpfs::unfill() const { return unlink((dir_ + "/filler").c_str()) == 0; }

}  // namespace testsupport
