// children.cpp -- the programs zud runs itself.
#include "sources/children.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "xPL.h"

extern char **environ;

namespace {

// Variables that hold zud's secrets: one place, so that no child can be
// given one by an oversight.
constexpr std::string_view secrets[] = {"ZUD_MQTT_PASSWORD"};

// How long a child has between TERM and KILL.
constexpr int killAfterMs = 2000;

struct watched {
  childended ended = nullptr;
  void *owner = nullptr;
  bool killpending = false;  // a KILL timer is armed
};

// The children not yet reaped, by process ID.  A SIGCHLD carries no
// pointer of ours, so the reaper finds them here; map nodes stay put, so a
// KILL timer's user value can point at one.
std::map<pid_t, watched> children;

pid_t pidof(const watched *child) {
  for (const auto &[pid, entry] : children) {
    if (&entry == child) return pid;
  }
  return -1;
}

void killtimer(void *child) {
  const pid_t pid = pidof(static_cast<watched *>(child));
  if (pid <= 0) return;
  children[pid].killpending = false;
  kill(-pid, SIGKILL);
}

// The name of the variable in "NAME=value".
std::string_view nameof(std::string_view entry) { return entry.substr(0, entry.find('=')); }

// After the fork, before the exec: only async-signal-safe calls from here.
[[noreturn]] void becomechild(pid_t parent, int out, int err, const char *const *argv,
                              const char *const *envp) {
  setpgid(0, 0);
  // Dies with zud even when zud is killed; a zud that died before this
  // line is caught by the check after it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  sigaction(SIGPIPE, &plain, nullptr);
  const int devnull = open("/dev/null", O_RDONLY);
  if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
  // zud's own descriptors (the xPL socket, the serial port, the store) are
  // none of the command's business, whatever flags they were opened with.
  close_range(3, ~0U, 0);
  execve("/bin/sh", const_cast<char *const *>(argv), const_cast<char *const *>(envp));
  _exit(127);
}

void closeboth(int ends[2]) {
  close(ends[0]);
  close(ends[1]);
}

}  // namespace

bool issecret(std::string_view name) {
  for (const std::string_view secret : secrets) {
    if (name == secret) return true;
  }
  return false;
}

std::vector<std::string> childenvironment(const std::vector<std::string> &extra) {
  std::vector<std::string> env;
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view name = nameof(*entry);
    if (issecret(name)) continue;
    bool replaced = false;
    for (const std::string &e : extra) replaced = replaced || nameof(e) == name;
    if (!replaced) env.emplace_back(*entry);
  }
  for (const std::string &e : extra) {
    if (!issecret(nameof(e))) env.push_back(e);
  }
  return env;
}

startedchild startchild(const std::string &command, const std::vector<std::string> &environment,
                        childended ended, void *owner) {
  startedchild started;
  // Everything the child needs is made before the fork.
  const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
  std::vector<const char *> envp;
  envp.reserve(environment.size() + 1);
  for (const std::string &e : environment) envp.push_back(e.c_str());
  envp.push_back(nullptr);

  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return started;
  if (pipe2(err, O_CLOEXEC) != 0) {
    const int saved = errno;
    closeboth(out);
    errno = saved;
    return started;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) becomechild(parent, out[1], err[1], argv, envp.data());
  const int saved = errno;
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    errno = saved;
    return started;
  }
  // Both sides set the group, so that it exists before either relies on it.
  setpgid(pid, pid);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  children[pid] = watched{ended, owner, false};
  started.pid = pid;
  started.out = out[0];
  started.err = err[0];
  return started;
}

void endchild(pid_t pid) {
  auto found = children.find(pid);
  if (found == children.end()) return;
  kill(-pid, SIGTERM);
  if (!found->second.killpending) {
    found->second.killpending = true;
    xPL_addTimer(killtimer, killAfterMs, &found->second);
  }
}

void forgetchild(pid_t pid) {
  auto found = children.find(pid);
  if (found == children.end()) return;
  found->second.ended = nullptr;
  found->second.owner = nullptr;
}

void reapchildren() {
  struct ending {
    pid_t pid;
    int status;
    watched child;
  };
  std::vector<ending> ended;
  for (auto it = children.begin(); it != children.end();) {
    int status = 0;
    if (waitpid(it->first, &status, WNOHANG) != it->first) {
      ++it;
      continue;
    }
    // What it left running would hold its pipes open and outlive it.
    kill(-it->first, SIGKILL);
    if (it->second.killpending) xPL_removeTimer(killtimer, &it->second);
    ended.push_back({it->first, status, it->second});
    it = children.erase(it);
  }
  // Handlers run once the table is settled: they may start children.
  for (const ending &e : ended) {
    if (e.child.ended != nullptr) e.child.ended(e.pid, e.status, e.child.owner);
  }
}

void endallchildren() {
  for (auto &[pid, child] : children) {
    kill(-pid, SIGTERM);
    if (child.killpending) xPL_removeTimer(killtimer, &child);
  }
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(killAfterMs);
  bool killed = false;
  const auto lastlook = deadline + std::chrono::milliseconds(500);
  while (!children.empty() && clock::now() < lastlook) {
    for (auto it = children.begin(); it != children.end();) {
      int status = 0;
      if (waitpid(it->first, &status, WNOHANG) == it->first) {
        kill(-it->first, SIGKILL);
        it = children.erase(it);
      } else {
        ++it;
      }
    }
    if (!killed && clock::now() >= deadline) {
      for (const auto &entry : children) kill(-entry.first, SIGKILL);
      killed = true;
    }
    if (!children.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Whatever could not be reaped in time is the system's to reap.
  children.clear();
}

std::string endtext(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    const char *name = strsignal(sig);
    return "killed by signal " + std::to_string(sig) +
           (name != nullptr ? std::string(" (") + name + ")" : std::string());
  }
  return "ended with wait status " + std::to_string(status);
}
