// Child processes for integration tests: start a program with its standard
// output and error captured in files, watch what it prints, signal it, and
// reap it.  The destructor kills a child that is still running, and the
// child is killed by the system when the test process ends in any other way
// (PR_SET_PDEATHSIG), so no daemon outlives its test.  Start children from
// the test's main thread: the signal follows the thread that forked.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

// Path of a program built with the project ("zud", "xpl-hub", ...).
std::string binPath(const std::string &program);

class Process {
 public:
  struct Options {
    std::string workDir;                  // empty: the test's own directory
    std::vector<std::string> extraEnv;    // "NAME=value" added to (or replacing in) the environment
    bool stdinPipe = false;               // give the child a pipe as standard input
  };

  Process() = default;
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  ~Process();

  // Starts `program` with `args` (argv[0] is added).  False when it cannot.
  bool start(const std::string &program, const std::vector<std::string> &args);
  bool start(const std::string &program, const std::vector<std::string> &args,
             const Options &options);

  pid_t pid() const { return pid_; }
  bool running();

  // Everything the child wrote so far to standard output / error.
  std::string out() const;
  std::string err() const;

  // Waits until `text` appears in standard output (or error) after byte
  // `from`; true when it did within `timeout`.
  bool waitOut(const std::string &text, std::chrono::milliseconds timeout,
               size_t from = 0) const;
  bool waitErr(const std::string &text, std::chrono::milliseconds timeout,
               size_t from = 0) const;

  // Writes to the child's standard input (needs Options::stdinPipe).
  bool writeIn(const std::string &text);
  void closeIn();

  void signal(int sig);
  // Waits for the child to end; its raw wait status, or -1 on timeout.
  int wait(std::chrono::milliseconds timeout);
  // Exit status when the child exited normally, else -1.
  static int exitCode(int waitStatus);

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  bool reaped_ = false;
  int lastStatus_ = -1;
  std::string outPath_;
  std::string errPath_;
};

// A scratch directory, removed with its contents at the end of its scope.
// It is made under `base` when it can be, else under /tmp.
class TempDir {
 public:
  explicit TempDir(const std::string &base = "/tmp");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  // False when no directory could be made (path() is then /tmp itself).
  bool made() const { return path_ != "/tmp"; }

 private:
  std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string &path);
// Writes a whole file; false when it cannot be written.
bool writeFile(const std::string &path, const std::string &text);

// Polls `condition` every 20 ms until it holds or `timeout` passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout);

}  // namespace testsupport

#include <thread>

template <typename Condition>
bool testsupport::eventually(Condition condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
