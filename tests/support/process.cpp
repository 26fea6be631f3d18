#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace testsupport {

std::string binPath(const std::string &program) { return std::string(ZUD_BIN_DIR) + "/" + program; }

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

bool writeFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

TempDir::TempDir(const std::string &base) {
  path_ = "/tmp";
  for (const std::string &dir : {base, std::string("/tmp")}) {
    std::string pattern = dir + "/zudtest.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
      return;
    }
  }
}

TempDir::~TempDir() {
  if (made()) {
    std::string cmd = "rm -rf '" + path_ + "'";
    (void)!std::system(cmd.c_str());
  }
}

Process::~Process() {
  if (pid_ > 0 && running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  closeIn();
  if (!outPath_.empty()) unlink(outPath_.c_str());
  if (!errPath_.empty()) unlink(errPath_.c_str());
}

bool Process::start(const std::string &program, const std::vector<std::string> &args) {
  return start(program, args, Options());
}

bool Process::start(const std::string &program, const std::vector<std::string> &args,
                    const Options &options) {
  char outName[] = "/tmp/zudtest-out.XXXXXX";
  char errName[] = "/tmp/zudtest-err.XXXXXX";
  int outFd = mkstemp(outName);
  int errFd = mkstemp(errName);
  if (outFd < 0 || errFd < 0) return false;
  outPath_ = outName;
  errPath_ = errName;

  int inPipe[2] = {-1, -1};
  if (options.stdinPipe && pipe(inPipe) != 0) return false;

  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : argvText) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);

  // An extra entry replaces an inherited one of the same name.
  auto overridden = [&](const std::string &entry) {
    for (const auto &e : options.extraEnv) {
      size_t nameEnd = e.find('=');
      if (nameEnd != std::string::npos && entry.compare(0, nameEnd + 1, e, 0, nameEnd + 1) == 0)
        return true;
    }
    return false;
  };
  std::vector<std::string> envText;
  for (char **e = environ; *e != nullptr; ++e) {
    if (!overridden(*e)) envText.emplace_back(*e);
  }
  for (auto &e : options.extraEnv) envText.push_back(e);
  std::vector<char *> envp;
  for (auto &e : envText) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);

  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // Dies with the test process, however that ends: a crashed or killed
    // test must not leave a daemon behind to meet a later test's sockets,
    // pseudo-terminal paths or files.  The check closes the race with a
    // parent that died before the request was made.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(126);
    if (options.stdinPipe) {
      dup2(inPipe[0], 0);
      close(inPipe[0]);
      close(inPipe[1]);
    } else {
      int devNull = open("/dev/null", O_RDONLY);
      dup2(devNull, 0);
      close(devNull);
    }
    dup2(outFd, 1);
    dup2(errFd, 2);
    close(outFd);
    close(errFd);
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(outFd);
  close(errFd);
  if (options.stdinPipe) {
    close(inPipe[0]);
    stdinFd_ = inPipe[1];
  }
  return true;
}

bool Process::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) {
    lastStatus_ = status;
    reaped_ = true;
  }
  return false;
}

std::string Process::out() const { return readFile(outPath_); }
std::string Process::err() const { return readFile(errPath_); }

namespace {
bool waitText(const std::string &path, const std::string &text,
              std::chrono::milliseconds timeout, size_t from) {
  return eventually(
      [&] {
        std::string all = readFile(path);
        return all.size() >= from && all.find(text, from) != std::string::npos;
      },
      timeout);
}
}  // namespace

bool Process::waitOut(const std::string &text, std::chrono::milliseconds timeout,
                      size_t from) const {
  return waitText(outPath_, text, timeout, from);
}

bool Process::waitErr(const std::string &text, std::chrono::milliseconds timeout,
                      size_t from) const {
  return waitText(errPath_, text, timeout, from);
}

bool Process::writeIn(const std::string &text) {
  if (stdinFd_ < 0) return false;
  return write(stdinFd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void Process::closeIn() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

void Process::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int Process::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  if (reaped_) return lastStatus_;
  bool ended = eventually([&] { return !running(); }, timeout);
  return ended && reaped_ ? lastStatus_ : -1;
}

int Process::exitCode(int waitStatus) {
  if (waitStatus < 0 || !WIFEXITED(waitStatus)) return -1;
  return WEXITSTATUS(waitStatus);
}

}  // namespace testsupport
