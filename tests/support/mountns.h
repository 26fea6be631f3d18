// A small file system for a test that must fill a disk: a tmpfs of a given
// size in a private mount namespace, seen by the test and the programs it
// starts and by nothing else.  For *_nstest binaries (root in their own
// user namespace, or run as root).
#pragma once

#include <string>

namespace testsupport {

class SizedTmpfs {
 public:
  // Makes `dir` and mounts a tmpfs of `size` ("256k") on it, in a mount
  // namespace of this thread's own whose mounts do not propagate back.
  SizedTmpfs(const std::string &dir, const std::string &size);
  // Unmounts it, so that the directory can be removed.
  ~SizedTmpfs();
  SizedTmpfs(const SizedTmpfs &) = delete;
  SizedTmpfs &operator=(const SizedTmpfs &) = delete;

  // False, with errno set, when it could not be mounted.
  bool mounted() const { return mounted_; }
  // Fills it with one file until no byte more fits; unfill() removes it.
  bool fill() const;
  bool unfill() const;

 private:
  std::string dir_;
  bool mounted_ = false;
};

}  // namespace testsupport
