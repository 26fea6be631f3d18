// zud-sim's signals arrive through a pipe.
#include "signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace zudsim {

namespace {

// The pipe's write end: a signal handler gets no user value.
int gSignalWrite = -1;

extern "C" void onSignal(int sig) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(sig);
  if (gSignalWrite >= 0) {
    // A full pipe already holds signals enough to act on; this one is dropped.
    [[maybe_unused]] const ssize_t written = ::write(gSignalWrite, &byte, 1);
  }
  errno = saved;
}

bool setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

Fd installSignals() {
  int fds[2];
  if (::pipe(fds) != 0) return Fd();
  Fd readEnd(fds[0]);
  gSignalWrite = fds[1];
  setNonBlocking(fds[0]);
  setNonBlocking(fds[1]);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaction(sig, &action, nullptr);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
  return readEnd;
}

}  // namespace zudsim
