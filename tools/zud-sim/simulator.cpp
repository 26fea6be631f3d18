// The simulated receiver.
#include "simulator.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol.h"
#include "signals.h"
#include "text.h"
#include "toolkit.h"

namespace zudsim {

namespace {

using std::chrono::milliseconds;

constexpr int kPeerCheckMs = 20;  // how often a closed line is checked for an opening

int msUntil(Clock::time_point when, Clock::time_point now) {
  if (when <= now) return 0;
  auto ms = std::chrono::duration_cast<milliseconds>(when - now).count() + 1;
  return static_cast<int>(std::min<long long>(ms, 60000));
}

// One event line on standard output.
void say(const std::string &line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void complain(const std::string &text) { toolkit::complain(kProgram, text); }

}  // namespace

int Simulator::openTerminal() {
  std::string error;
  std::optional<Pty> pty = openPty(error);
  if (!pty) {
    complain(error);
    return toolkit::exitFailure;
  }
  if (!applyAccess(pty->name, access_, error)) {
    complain(error);
    // The first terminal ends the run before anything else has started: the
    // same refusal would meet every later one.  A later one that the system
    // refuses after all stays, for a gateway with the rights to open it.
    if (terminalGeneration_ == 0) return toolkit::exitUsage;
  }
  master_ = std::move(pty->master);
  slaveName_ = pty->name;
  ++terminalGeneration_;
  line_ = LineState::Closed;
  writeBlocked_ = false;
  if (!link_.point(slaveName_, error)) complain(error);
  say("pty " + slaveName_);
  return toolkit::exitOk;
}

void Simulator::closeTerminal() {
  master_.reset();
  ++terminalGeneration_;
  line_ = LineState::Absent;
  writeBlocked_ = false;
}

void Simulator::hangUp(bool keepLink) {
  if (line_ == LineState::Absent) {
    complain("#hangup: no terminal to hang up");
    return;
  }
  abandonUpload();
  dropOutput();
  closeTerminal();
  if (!keepLink) link_.remove();
  say("hangup");
}

int Simulator::run() {
  std::string error;
  std::optional<Access> access = resolveAccess(options_.mode, options_.group, error);
  if (!access) {
    complain(error);
    return toolkit::exitUsage;
  }
  access_ = std::move(*access);
  signals_ = installSignals();
  if (!signals_.valid() || !link_.usable(error)) {
    complain(signals_.valid() ? error : std::string("cannot set up signals"));
    return toolkit::exitFailure;
  }
  if (int status = openTerminal(); status != toolkit::exitOk) return status;
  std::vector<pollfd> fds;
  while (!quit_) {
    buildPoll(fds);
    int ready = ::poll(fds.data(), fds.size(), pollTimeout(Clock::now()));
    if (ready < 0 && errno != EINTR) {
      complain(std::string("poll: ") + std::strerror(errno));
      return toolkit::exitFailure;
    }
    // A handler may replace the terminal; events of the old one are then stale.
    unsigned terminal = terminalGeneration_;
    for (const pollfd &p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == signals_.get()) handleSignals();
      else if (p.fd == STDIN_FILENO) handleStdin();
      else if (terminal == terminalGeneration_) handleMaster(p.revents);
    }
    if (line_ == LineState::Closed) checkClosedLine();
    runTimers(Clock::now());
    flushOutput();
  }
  return toolkit::exitOk;
}

// The master is watched only while the other side has the line open: a closed
// line reports a hang-up without end, so it is checked on a timer instead.
void Simulator::buildPoll(std::vector<pollfd> &fds) {
  fds.clear();
  fds.push_back({signals_.get(), POLLIN, 0});
  if (stdinOpen_) fds.push_back({STDIN_FILENO, POLLIN, 0});
  if (line_ == LineState::Open) {
    short events = POLLIN;
    if (writeBlocked_) events |= POLLOUT;
    fds.push_back({master_.get(), events, 0});
  }
}

int Simulator::pollTimeout(Clock::time_point now) const {
  int timeout = -1;
  auto consider = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
  if (line_ == LineState::Closed) consider(kPeerCheckMs);
  if (line_ == LineState::Open && !output_.empty() && !writeBlocked_ && pacer_.paced())
    consider(pacer_.allowance(now) > 0 ? 0 : std::max(1, msUntil(pacer_.nextDue(), now)));
  if (line_ == LineState::Open && sendsDue_) consider(msUntil(*sendsDue_, now));
  if (uploading_) consider(msUntil(lastUploadByte_ + milliseconds(options_.uploadTimeoutMs), now));
  return timeout;
}

void Simulator::handleSignals() {
  unsigned char sigs[32];
  ssize_t n = ::read(signals_.get(), sigs, sizeof sigs);
  for (ssize_t i = 0; i < n; ++i) {
    int sig = sigs[i];
    if (sig == SIGUSR1) {
      sendLine(kSampleHeader);
    } else if (sig == SIGUSR2) {
      if (line_ == LineState::Absent) openTerminal();
      else hangUp(false);
    } else {
      quit_ = true;
    }
  }
}

void Simulator::handleStdin() {
  char chunk[4096];
  ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    stdinOpen_ = false;
    if (!stdinBuffer_.empty()) handleInputLine(std::move(stdinBuffer_));
    stdinBuffer_.clear();
    return;
  }
  stdinBuffer_.append(chunk, static_cast<size_t>(n));
  size_t newline;
  while (!quit_ && (newline = stdinBuffer_.find('\n')) != std::string::npos) {
    std::string line = stdinBuffer_.substr(0, newline);
    stdinBuffer_.erase(0, newline + 1);
    handleInputLine(std::move(line));
  }
}

void Simulator::handleInputLine(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return;
  if (line[0] == '#') handleDirective(std::string_view(line).substr(1));
  else sendLine(line);
}

void Simulator::handleDirective(std::string_view directive) {
  size_t space = directive.find(' ');
  std::string_view name = directive.substr(0, space);
  std::string_view arg = space == std::string_view::npos ? "" : directive.substr(space + 1);
  if (name == "hangup" && (arg.empty() || arg == "keep")) {
    hangUp(arg == "keep");
  } else if (name == "return") {
    if (line_ == LineState::Absent) openTerminal();
    else complain("#return: the terminal is already there");
  } else if (name == "raw") {
    std::optional<std::string> bytes = unescapeText(arg);
    if (bytes) enqueue(*bytes, "raw " + escapeText(*bytes));
    else complain("#raw: bad escape in " + std::string(arg));
  } else if (name == "sample") {
    sendLine(kSampleHeader);
  } else if (name == "mute") {
    options_.mute = std::string(arg);
  } else if (name == "quit") {
    quit_ = true;
  } else {
    complain("unknown directive #" + std::string(directive));
  }
}

void Simulator::handleMaster(short revents) {
  if (revents & POLLOUT) writeBlocked_ = false;
  if (revents & (POLLIN | POLLHUP | POLLERR)) readMaster();
  if (line_ != LineState::Open || !(revents & (POLLHUP | POLLERR))) return;
  // The other side may already have opened the line again; only a hang-up
  // that is still there means the line is closed.
  pollfd check{master_.get(), POLLIN, 0};
  if (::poll(&check, 1, 0) == 1 && (check.revents & (POLLHUP | POLLERR))) lineClosed();
}

void Simulator::checkClosedLine() {
  pollfd check{master_.get(), POLLIN, 0};
  if (::poll(&check, 1, 0) < 0) return;
  if ((check.revents & POLLHUP) && !(check.revents & POLLIN)) return;
  // Bytes waiting, or no hang-up: someone has the line open (or just had it).
  lineOpened();
  handleMaster(check.revents);
}

void Simulator::readMaster() {
  std::uint8_t chunk[512];
  for (;;) {
    ssize_t n = ::read(master_.get(), chunk, sizeof chunk);
    if (n > 0) {
      for (ssize_t i = 0; i < n; ++i) handleByte(chunk[i]);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    // End of file or EIO: nobody has the slave open any more.
    lineClosed();
    return;
  }
}

void Simulator::lineOpened() {
  line_ = LineState::Open;
  writeBlocked_ = false;
  pacer_.restart(Clock::now());
  say("peer open");
  if (!sends_.empty() && !sendsDue_) sendsDue_ = Clock::now() + milliseconds(options_.sendDelayMs);
}

void Simulator::lineClosed() {
  if (line_ != LineState::Open) return;
  line_ = LineState::Closed;
  writeBlocked_ = false;
  say("peer closed");
  abandonUpload();
  dropOutput();
  resetSlave(slaveName_);
}

void Simulator::handleByte(std::uint8_t byte) {
  if (uploading_) {
    uploadByte(byte);
    return;
  }
  char command = static_cast<char>(byte);
  bool known = command == '?' || command == 'd' || command == 'p' || command == 't';
  if (!known) {
    say("recv " + hexByte(byte));
    return;
  }
  if (options_.mute.find(command) != std::string::npos) {
    say("recv " + std::string(1, command) + " muted");
    return;
  }
  say("recv " + std::string(1, command));
  handleCommand(command);
}

void Simulator::handleCommand(char command) {
  switch (command) {
    case '?':
      enqueue(options_.ident, "ident " + escapeText(options_.ident));
      break;
    case 'd':
      enqueue(std::string(block_.begin(), block_.end()), "block 512");
      if (options_.extra > 0)
        enqueue(std::string(options_.extra, static_cast<char>(kExtraByte)),
                "extra " + std::to_string(options_.extra));
      break;
    case 'p':
      enqueue(std::string(1, options_.pAnswer),
              "ack " + showByte(static_cast<std::uint8_t>(options_.pAnswer)));
      if (options_.pAnswer == kReady) {
        uploading_ = true;
        upload_.clear();
        lastUploadByte_ = Clock::now();
      }
      break;
    case 't':
      sendLine(kSampleHeader);
      break;
    default:
      break;
  }
}

void Simulator::uploadByte(std::uint8_t byte) {
  upload_ += static_cast<char>(byte);
  lastUploadByte_ = Clock::now();
  if (upload_.size() == kBlockSize) finishUpload();
}

void Simulator::finishUpload() {
  uploading_ = false;
  say("recv block " + std::to_string(upload_.size()));
  if (options_.uploadAnswer) {
    char answer = *options_.uploadAnswer;
    enqueue(std::string(1, answer), "ack " + showByte(static_cast<std::uint8_t>(answer)));
  }
  if (options_.uploadAnswer == kAccepted) std::copy(upload_.begin(), upload_.end(), block_.begin());
  if (options_.dump) {
    Block uploaded{};
    std::copy(upload_.begin(), upload_.end(), uploaded.begin());
    dumpBlock(uploaded);
    std::fflush(stdout);
  }
  upload_.clear();
}

void Simulator::abandonUpload() {
  if (!uploading_) return;
  uploading_ = false;
  say("recv partial block " + std::to_string(upload_.size()));
  upload_.clear();
}

void Simulator::runTimers(Clock::time_point now) {
  if (uploading_ && now - lastUploadByte_ >= milliseconds(options_.uploadTimeoutMs))
    abandonUpload();
  if (line_ == LineState::Open && sendsDue_ && now >= *sendsDue_) {
    for (const std::string &text : sends_) sendLine(text);
    sends_.clear();
    sendsDue_.reset();
  }
}

void Simulator::enqueue(std::string bytes, std::string report) {
  if (output_.empty()) pacer_.restart(Clock::now());
  output_.push_back({std::move(bytes), std::move(report), 0});
}

void Simulator::sendLine(std::string_view text) {
  std::string bytes(kPreambleLen, kPreambleByte);
  bytes += text;
  bytes += "\r\n";
  enqueue(std::move(bytes), "line " + escapeText(text));
}

void Simulator::dropOutput() {
  size_t pending = 0;
  for (const OutputItem &item : output_) pending += item.bytes.size() - item.done;
  output_.clear();
  if (pending > 0) say("drop " + std::to_string(pending));
}

void Simulator::flushOutput() {
  while (line_ == LineState::Open && !writeBlocked_ && !output_.empty()) {
    OutputItem &item = output_.front();
    size_t allowed = std::min(pacer_.allowance(Clock::now()), item.bytes.size() - item.done);
    if (allowed == 0) return;
    ssize_t n = ::write(master_.get(), item.bytes.data() + item.done, allowed);
    if (n < 0) {
      if (errno == EAGAIN) writeBlocked_ = true;
      else if (errno != EINTR) lineClosed();
      continue;
    }
    pacer_.account(static_cast<size_t>(n));
    item.done += static_cast<size_t>(n);
    if (item.done < item.bytes.size()) continue;
    say("sent " + item.report);
    output_.pop_front();
  }
}


}  // namespace zudsim
