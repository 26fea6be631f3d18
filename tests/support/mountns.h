// A small file system of its own for a test that must fill a disk: a tmpfs
// of a given size, mounted in a private mount namespace, so that the mount
// is seen by the test and the programs it starts, and by nothing else.
#pragma once

#include <string>

namespace testsupport {

class SizedTmpfs {
 public:
  // Makes the directory `dir` and mounts a tmpfs of `size` (as mount(8)
  // takes it: "256k") on it, first moving this thread into a mount namespace
  // of its own whose mounts do not propagate back.  For *_nstest binaries,
  // whose main made the process root of its own user namespace (or which
  // run as root).
  SizedTmpfs(const std::string &dir, const std::string &size);
  // Unmounts it, so that the directory can be removed.
  ~SizedTmpfs();
  SizedTmpfs(const SizedTmpfs &) = delete;
  SizedTmpfs &operator=(const SizedTmpfs &) = delete;

  // False, with errno set, when it could not be mounted.
  bool mounted() const { return mounted_; }
  // Fills it with one file until no byte more fits; false when the file
  // cannot be made.
  bool fill() const;
  // Removes that file again.
  bool unfill() const;

 private:
  std::string dir_;
  bool mounted_ = false;
};

}  // namespace testsupport
