// linesource.cpp -- SAME headers from anything that prints them.
#include "sources/linesource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "sources/children.h"
#include "sources/receiver.h"
#include "xPL.h"

namespace {

// A command that ended, or a path that cannot be opened, is tried again
// after this long: soon enough for a radio unplugged and plugged back, slow
// enough that a command that fails at once does not flood the journal.
constexpr int retryMs = 5000;
// A command that keeps failing waits twice as long after each failure, up
// to this; one that ran this long is back to a retry after retryMs.
constexpr int lastRetryMs = 300000;
constexpr long long ranWellMs = 60000;
// While a command keeps failing, the same line is said at most this often.
constexpr long long sayAgainMs = 3600000;

long long monotonicms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr std::string_view blanks = " \t\r\n";

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

sourceline readsourceline(std::string_view line) {
  line = trimmed(line);
  constexpr std::string_view multimon = "EAS:";
  if (line.substr(0, multimon.size()) == multimon) line = trimmed(line.substr(multimon.size()));
  line.remove_prefix(std::min(line.find_first_not_of('\xab'), line.size()));
  sourceline read;
  if (line.substr(0, 5) == "ZCZC-") {
    read.kind = linekind::header;
    read.header = line;
  } else if (line == "NNNN") {
    read.kind = linekind::endofmessage;
  }
  return read;
}

std::string withpreamble(std::string_view header) {
  return std::string(16, '\xab').append(header);
}

linesource::linesource(int number, sourceoption option, handlers handlers, void *owner,
                       audiosettings sound)
    : name_("source " + std::to_string(number)),
      option_(std::move(option)),
      handlers_(handlers),
      owner_(owner),
      sound_(std::move(sound)),
      backoffms_(retryMs) {
  if (option_.what == sourceoption::kind::command) {
    origin_ = name_ + " (" + option_.text + ")";
  } else {
    origin_ = option_.text == "-" ? "standard input" : option_.text;
  }
}

linesource::~linesource() {
  stop();
  if (pid_ > 0) forgetchild(pid_);
}

void linesource::start() {
  if (stopped_) return;
  if (option_.what == sourceoption::kind::command) {
    startcommand();
  } else {
    openfile();
  }
}

void linesource::stop() {
  stopped_ = true;
  xPL_removeTimer(retry, this);
  if (pid_ > 0) endchild(pid_);
}

void linesource::later(int ms) {
  xPL_removeTimer(retry, this);
  xPL_addTimer(retry, ms, this);
}

void linesource::retry(void *self) { static_cast<linesource *>(self)->start(); }

void linesource::startcommand() {
  startedat_ = monotonicms();
  const startedchild child = startchild(option_.text, childenvironment(), commandended, this);
  if (child.pid < 0) {
    restartlater("cannot start '" + option_.text + "' (" + std::strerror(errno) + ")");
    return;
  }
  pid_ = child.pid;
  // Each start is a line of its own, except the restarts of a command that
  // keeps failing, which are said once an hour with the rest.
  const std::string running = std::string(started_ ? "running again " : "running ") + option_.text;
  if (!started_ || maysay(running)) std::printf("%s: %s\n", name_.c_str(), running.c_str());
  started_ = true;
  readoutput(child.out);
  err_ = std::make_unique<linereader>(child.err, name_, blocksize, lineassembler::overlong::pass,
                                      errorline, errorended, this);
}

void linesource::readoutput(int fd) {
  if (!option_.sound) {
    out_ = std::make_unique<linereader>(fd, name_, blocksize, lineassembler::overlong::discard,
                                        outputline, outputended, this);
    return;
  }
  // Each stream of sound is heard afresh: what the last one left half
  // heard (or half kept) is settled first.
  if (audio_) audio_->finish();
  audio_ = std::make_unique<audiostream>(sound_, name_, soundheader, soundmessage, soundlevel,
                                         this);
  out_ = std::make_unique<linereader>(fd, name_, outputsound, outputended, this);
}

void linesource::openfile() {
  int fd;
  if (option_.text == "-") {
    fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  } else {
    // Non-blocking, so that a FIFO without a writer is opened at once; the
    // loop waits for the writer.
    fd = open(option_.text.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) {
    const int error = errno;
    out_.reset();
    if (error != openerror_) {
      std::fprintf(stderr, "%s: cannot open %s (%s) -- trying again every %d s\n", name_.c_str(),
                   option_.text.c_str(), std::strerror(error), retryMs / 1000);
      openerror_ = error;
    }
    later(retryMs);
    return;
  }
  if (openerror_ != 0) std::printf("%s: %s opened\n", name_.c_str(), option_.text.c_str());
  openerror_ = 0;
  struct stat st {};
  fifo_ = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && option_.text != "-";
  readoutput(fd);
}

void linesource::outputline(std::string_view line, void *self) {
  linesource &source = *static_cast<linesource *>(self);
  const sourceline read = readsourceline(line);
  if (read.kind != linekind::other) source.handlers_.line(read, source, source.owner_);
}

void linesource::outputsound(std::string_view bytes, void *self) {
  linesource &source = *static_cast<linesource *>(self);
  if (source.audio_) source.audio_->feed(bytes);
}

bool linesource::soundheader(std::string_view header, void *self) {
  linesource &source = *static_cast<linesource *>(self);
  sourceline read;
  read.kind = linekind::header;
  read.header = header;
  return source.handlers_.line(read, source, source.owner_);
}

void linesource::soundmessage(const std::string &header, const std::string &path, double seconds,
                              void *self) {
  linesource &source = *static_cast<linesource *>(self);
  if (source.handlers_.message != nullptr) {
    source.handlers_.message(header, path, seconds, source, source.owner_);
  }
}

void linesource::soundlevel(bool problem, const std::string &why, void *self) {
  linesource &source = *static_cast<linesource *>(self);
  if (source.handlers_.level != nullptr) source.handlers_.level(problem, why, source, source.owner_);
}

void linesource::errorline(std::string_view line, void *self) {
  linesource &source = *static_cast<linesource *>(self);
  if (!source.maysay(std::string(line))) return;
  std::fprintf(stderr, "%s: %.*s\n", source.name_.c_str(), static_cast<int>(line.size()),
               line.data());
}

bool linesource::maysay(const std::string &line) {
  const long long now = monotonicms();
  const bool failing = backoffms_ > retryMs;
  const auto said = said_.find(line);
  if (failing && said != said_.end() && now - said->second < sayAgainMs) return false;
  // Only what the command says while it fails is remembered, and only for
  // the hour: a command that runs well says what it likes.
  if (said_.size() >= 64) said_.clear();
  said_[line] = now;
  return true;
}

void linesource::restartlater(const std::string &why) {
  const long long now = monotonicms();
  if (now - startedat_ >= ranWellMs) {
    backoffms_ = retryMs;
    said_.clear();
  }
  const int wait = backoffms_;
  if (maysay(why)) {
    const bool failing = wait > retryMs;
    std::fprintf(stderr, "%s: %s -- starting it again in %d s%s\n", name_.c_str(), why.c_str(),
                 wait / 1000, failing ? " (it keeps failing: said at most once an hour)" : "");
  }
  backoffms_ = std::min(backoffms_ * 2, lastRetryMs);
  later(wait);
}

void linesource::outputended(int error, void *self) {
  linesource &source = *static_cast<linesource *>(self);
  if (source.audio_) source.audio_->finish();
  if (source.option_.what == sourceoption::kind::command) {
    source.out_.reset();  // its end is its exit
    return;
  }
  if (error == 0 && source.fifo_) {
    // The writer closed; the next may come at any time.  The FIFO is opened
    // again before the old end is closed: a FIFO without a reader drops what
    // a writer left in it.
    source.openfile();
    return;
  }
  source.out_.reset();
  if (error != 0) {
    std::fprintf(stderr, "%s: cannot read %s (%s) -- trying again in %d s\n",
                 source.name_.c_str(), source.option_.text.c_str(), std::strerror(error),
                 retryMs / 1000);
    source.later(retryMs);
  } else {
    std::printf("%s: end of %s\n", source.name_.c_str(), source.origin_.c_str());
  }
}

void linesource::errorended(int, void *self) { static_cast<linesource *>(self)->err_.reset(); }

void linesource::commandended(pid_t, int status, void *self) {
  linesource &source = *static_cast<linesource *>(self);
  // The last lines it printed may still wait in the pipes.
  if (source.out_) source.out_->drain();
  if (source.err_) source.err_->drain();
  if (source.audio_) source.audio_->finish();
  source.out_.reset();
  source.err_.reset();
  source.pid_ = -1;
  if (source.stopped_) return;
  source.restartlater(endtext(status));
}
