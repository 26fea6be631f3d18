// A tmpfs of a given size, for a test that must fill a disk.
#pragma once

#include <string>

namespace testsupport {

class SizedTmpfs {
 public:
  // Mounts a tmpfs of `size` ("256k") on `dir` (made), first moving this
  // thread into a mount namespace of its own that propagates nothing back.
  SizedTmpfs(const std::string &dir, const std::string &size);
  ~SizedTmpfs();  // unmounts
  SizedTmpfs(const SizedTmpfs &) = delete;
  SizedTmpfs &operator=(const SizedTmpfs &) = delete;

  bool mounted() const { return mounted_; }  // false: errno says why
  bool fill() const;    // one file fills it, to the last byte
  bool unfill() const;  // that file removed

 private:
  std::string dir_;
  bool mounted_ = false;
};

}  // namespace testsupport
