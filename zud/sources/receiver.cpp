// receiver.cpp -- the serial link to the weather-alert receiver.
//
// An exchange is a job (an opening, an upload, a test) made of steps; the
// step in progress is the link's `step`, and whatever it waits for (a
// pause, an answer, pending bytes) comes back as one of two calls: the
// link's one timer (`steptimer`) or the port's readiness (`zudread`, only
// while the answer to "?" is read: in every other step the port is not
// watched, so bytes the receiver sends wait in the driver to be counted and
// read by the step, exactly as a blocking exchange would find them).  Every
// wait has a bound, so a receiver that stays silent (or talks too much)
// costs seconds of its own exchange and nothing else.
#include "sources/receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "same/printable.h"
#include "xPL.h"

namespace {

constexpr int commandRepeats = 50;
constexpr int commandPauseMs = 100;
constexpr int uploadPauseMs = 10;
constexpr int answerWaitMs = 2000;     // first byte of the answer to "?"
constexpr int answerQuietMs = 200;     // the answer has ended after this much quiet
constexpr int blockWaitSeconds = 10;   // the whole block after "d"
constexpr int ackWaitSeconds = 10;     // each acknowledgement of an upload
constexpr int lookEveryMs = 1000;      // between looks for pending bytes
constexpr int reopenSeconds = 5;

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------

// The receivers alive, by handle.  The gateway serves one; the other slots
// let a test hold a receiver of its own.  A slot is emptied when its receiver
// goes, so that a late handle finds nothing, and a new receiver takes the
// first empty slot.  Constant-initialized: usable before and after main.
constexpr int maxreceivers = 4;
receiver *receivers[maxreceivers] = {};

int enlist(receiver *link) {
  for (int handle = 0; handle < maxreceivers; ++handle) {
    if (receivers[handle] == nullptr) {
      receivers[handle] = link;
      return handle;
    }
  }
  fprintf(stderr, "zud: more than %d receivers at once\n", maxreceivers);
  abort();
}

// The receiver of a handle, or null when it has gone.
receiver *receiverof(int handle) {
  return handle >= 0 && handle < maxreceivers ? receivers[handle] : nullptr;
}

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

// Prints bytes by the dump rule: printable ASCII as itself, else [0xNN].
void outputescaped(const unsigned char *buf, int cnt) {
  const std::string text =
      printable(std::string_view(reinterpret_cast<const char *>(buf), static_cast<std::size_t>(cnt)));
  fwrite(text.data(), 1, text.size(), stdout);
}

// Whether the receiver has started to send: a readiness test without waiting.
int answered(int fd) {
  pollfd port = {fd, POLLIN, 0};
  return poll(&port, 1, 0);
}

// The port as a device of the event loop, or not.  It is watched while
// lines are read and while the answer to "?" comes in; in the other steps
// what the receiver sends is left in the driver for the step to count.
void watch(receiver &link, bool on) {
  if (link.ttyfd < 0 || link.watching == on) return;
  if (on) {
    xPL_addIODevice(zudread, link.handle, link.ttyfd, TRUE, FALSE, FALSE);
  } else {
    xPL_removeIODevice(link.ttyfd);
  }
  link.watching = on;
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

// Opens path as the receiver's port: read/write, no controlling terminal,
// non-blocking (a port without carrier cannot hold the open, and no read or
// write can hold the loop).  -1 when it cannot be opened; -2 when it is no
// terminal.
int openport(const char *path) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno != EISDIR) return -1;
  } else if (isatty(fd)) {
    return fd;
  } else {
    close(fd);
  }
  // Never write a byte to a file, a disk or a directory.
  fprintf(stderr, "%s is not a terminal -- not opened\n", path);
  return -2;
}

// Raw 8-bit line at 2400 baud: no translation, no flow control, no echo.
void setline(int fd) {
  termios settings;
  memset(&settings, 0, sizeof(settings));
  tcgetattr(fd, &settings);
  settings.c_iflag = IGNBRK | IGNPAR;
  settings.c_oflag = 0;
  settings.c_cflag = CS8 | CREAD | CLOCAL;
  settings.c_lflag = ISIG;
  memset(settings.c_cc, 0, sizeof(settings.c_cc));
  settings.c_cc[VTIME] = 10;
  settings.c_cc[VMIN] = 1;
  cfsetspeed(&settings, B2400);
  tcsetattr(fd, TCSANOW, &settings);
}

// ---------------------------------------------------------------------------
// Exchanges
// ---------------------------------------------------------------------------
//
// A job is a fixed sequence of steps; `stepindex` says where the job is.
//   opening: "?" until answered, the answer, "d" until answered, the block
//   upload:  "p" until answered, "!", the 512 bytes, "*"
//   test:    "t" until answered
// A step ends by calling nextstep(), or endjob() when the rest of the job
// makes no sense (an upload the receiver refused).

void startstep(receiver &link);
void nextstep(receiver &link);

// The link's one timer: the pause or wait of the step in progress is over.
void steptimer(xPL_ObjectPtr self);

void arm(receiver &link, int ms) {
  xPL_removeTimer(steptimer, &link);
  xPL_addTimer(steptimer, ms, &link);
}

void disarm(receiver &link) { xPL_removeTimer(steptimer, &link); }

// The command character of the step in progress.
char commandof(const receiver &link) {
  const char what = link.jobs.front().what;
  if (what == 'o') return link.stepindex == 0 ? '?' : 'd';
  return what;  // 'p' and 't' are their own commands
}

// The job has ended (or was cut short): the next waiting one starts, or the
// link goes back to reading lines.
void endjob(receiver &link) {
  disarm(link);
  // After an opening the configuration is mapped onto the new block (which
  // may ask for an upload); like a configuration change that came during an
  // exchange, it waits until no exchange is left.
  if (!link.jobs.empty() && link.jobs.front().what == 'o') link.remap = true;
  if (!link.jobs.empty()) link.jobs.pop_front();
  link.step = linestep::idle;
  if (!link.jobs.empty()) {
    link.stepindex = 0;
    return startstep(link);
  }
  watch(link, true);
  if (link.remap && link.readyHandler != nullptr) {
    link.remap = false;
    link.readyHandler(link.owner);
  }
}

// A command has ended: its result as a blocking writechar would give it (1
// answered, 0 not answered after every try, below 1 a failed write).
void commanddone(receiver &link, int result) {
  // A silence has no errno of its own; the report should not borrow one.
  const int error = result == 0 ? ETIMEDOUT : errno;
  const std::string what = std::string("writechar ") + commandof(link);
  if (link.debug) printf("writechar returns %d, i = %d\n", result, link.tries);
  if (result != 1) {
    errno = error;
    perror(what.c_str());
  }
  nextstep(link);
}

// Sends the command character once more; the pause follows on the timer.
void sendcommand(receiver &link) {
  const char command = commandof(link);
  const ssize_t written = write(link.ttyfd, &command, 1);
  if (written != 1) return commanddone(link, static_cast<int>(written));
  arm(link, commandPauseMs);
}

// The pause after a command is over: answered, or one more try.
void commandpaused(receiver &link) {
  const int result = answered(link.ttyfd);
  if (result > 0) return commanddone(link, result);
  if (++link.tries < commandRepeats) return sendcommand(link);
  commanddone(link, result);
}

// The answer to "?" has ended (or never came).
void answerdone(receiver &link) {
  disarm(link);
  watch(link, false);
  if (link.got == 0) fprintf(stderr, "no answer to ? within %d s\n", answerWaitMs / 1000);
  if (link.got > 0 && link.debug) outputbuffer(link.answer, link.got);
  if (link.got > 0) {
    std::string_view words(reinterpret_cast<const char *>(link.answer),
                           static_cast<std::size_t>(link.got));
    while (!words.empty() && (words.back() == '\r' || words.back() == '\n')) words.remove_suffix(1);
    printf("receiver %s answered: %s\n", link.tfile.value_or("").c_str(), printable(words).c_str());
  }
  if (link.answerHandler != nullptr) link.answerHandler(link.got > 0, link.owner);
  nextstep(link);
}

// Reads what has come of the answer to "?"; it has ended once the line
// stays quiet for a moment.
void readanswer(receiver &link) {
  const ssize_t n = read(link.ttyfd, link.answer + link.got,
                         static_cast<std::size_t>(blocksize - link.got));
  if (n > 0) link.got += static_cast<int>(n);
  if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) return answerdone(link);
  if (link.got >= blocksize) return answerdone(link);
  if (link.got > 0) arm(link, answerQuietMs);
}

// A look for the block after "d": exactly 512 bytes pending, or one more
// second, or given up.
void lookforblock(receiver &link) {
  if (!waitfor(link.ttyfd, blocksize, link.debug)) {
    if (link.tries++ < blockWaitSeconds) return arm(link, lookEveryMs);
    fprintf(stderr, "no configuration block within %d s -- block not read\n", blockWaitSeconds);
    tcflush(link.ttyfd, TCIFLUSH);
    return nextstep(link);
  }
  unsigned char block[blocksize];
  const ssize_t n = read(link.ttyfd, block, blocksize);
  if (n != blocksize) {
    fprintf(stderr, "configuration block cut short (%d bytes) -- block not read\n",
            static_cast<int>(n));
    return nextstep(link);
  }
  memcpy(link.config, block, blocksize);
  if (link.debug) {
    outputbuffer(block, blocksize);
    outputconfig(link.config);
  }
  link.configread = 1;
  printf("receiver %s: configuration block read: %s\n", link.tfile.value_or("").c_str(),
         blocksummary(link.config).c_str());
  nextstep(link);
}

// A look for an upload's one-byte acknowledgement; the upload ends at a
// silence or a wrong answer.
void lookforack(receiver &link) {
  const char expected = link.stepindex == 1 ? '!' : '*';
  if (!waitfor(link.ttyfd, 1, link.debug)) {
    if (link.tries++ < ackWaitSeconds) return arm(link, lookEveryMs);
    fprintf(stderr, "writeconfig: no answer within %d s\n", ackWaitSeconds);
    return endjob(link);
  }
  unsigned char answer = 0;
  if (read(link.ttyfd, &answer, 1) != 1) {
    fprintf(stderr, "writeconfig: read failed\n");
    return endjob(link);
  }
  if (answer != static_cast<unsigned char>(expected)) {
    fprintf(stderr, "writeconfig: wrong response %c\n", answer);
    return endjob(link);
  }
  if (expected == '*') {
    printf("receiver %s: configuration block uploaded: %s\n", link.tfile.value_or("").c_str(),
           blocksummary(link.jobs.front().image.data()).c_str());
  }
  nextstep(link);
}

// Writes the next byte of the upload; the 10 ms pause follows on the timer.
void uploadbyte(receiver &link) {
  const unsigned char byte = link.jobs.front().image[static_cast<std::size_t>(link.tries)];
  const ssize_t written = write(link.ttyfd, &byte, 1);
  if (written != 1) {
    // As a blocking writechar with one try reports a failed write; the
    // upload goes on, as it always has.
    if (link.debug) printf("writechar returns %d, i = 0\n", static_cast<int>(written));
    if (++link.tries < blocksize) return uploadbyte(link);
    return nextstep(link);
  }
  arm(link, uploadPauseMs);
}

void uploadpaused(receiver &link) {
  const int result = answered(link.ttyfd);
  if (link.debug) printf("writechar returns %d, i = %d\n", result, result > 0 ? 0 : 1);
  if (++link.tries < blocksize) return uploadbyte(link);
  nextstep(link);
}

// Starts the step `stepindex` of the job in progress.
void startstep(receiver &link) {
  const linejob &job = link.jobs.front();
  link.tries = 0;
  watch(link, false);
  switch (job.what) {
    case 'o':
      switch (link.stepindex) {
        case 0:  // "?"
        case 2:  // "d"
          if (link.stepindex == 2) {
            // Whatever is still pending (the tail of an answer, a stray
            // line) would spoil the count of exactly one block.
            tcflush(link.ttyfd, TCIFLUSH);
          }
          link.step = linestep::command;
          return sendcommand(link);
        case 1:
          link.step = linestep::answer;
          link.got = 0;
          watch(link, true);
          arm(link, answerWaitMs);
          // Bytes that came with the pause after "?" are taken at once.
          if (answered(link.ttyfd) > 0) readanswer(link);
          return;
        case 3:
          link.step = linestep::block;
          return lookforblock(link);
        default:
          return endjob(link);
      }
    case 'p':
      switch (link.stepindex) {
        case 0:
          link.step = linestep::command;
          return sendcommand(link);
        case 1:
        case 3:
          link.step = linestep::ack;
          return lookforack(link);
        case 2:
          link.step = linestep::upload;
          return uploadbyte(link);
        default:
          return endjob(link);
      }
    case 't':
      if (link.stepindex == 0) {
        link.step = linestep::command;
        return sendcommand(link);
      }
      return endjob(link);
    default:
      return endjob(link);
  }
}

void nextstep(receiver &link) {
  disarm(link);
  ++link.stepindex;
  startstep(link);
}

void steptimer(xPL_ObjectPtr self) {
  receiver &link = *static_cast<receiver *>(self);
  switch (link.step) {
    case linestep::command:
      return commandpaused(link);
    case linestep::answer:
      return answerdone(link);
    case linestep::block:
      return lookforblock(link);
    case linestep::ack:
      return lookforack(link);
    case linestep::upload:
      return uploadpaused(link);
    case linestep::idle:
      return;
  }
}

// Adds an exchange; it starts at once when the link is idle.
void addjob(receiver &link, linejob job) {
  link.jobs.push_back(std::move(job));
  if (link.step == linestep::idle && link.jobs.size() == 1) {
    link.stepindex = 0;
    startstep(link);
  }
}

// Drops every exchange, in progress or waiting (the port is going).
void dropjobs(receiver &link) {
  disarm(link);
  link.jobs.clear();
  link.step = linestep::idle;
}

// The rest of the opening, once the port is open: its line settings, then
// the opening exchange on the loop.
void attach(receiver &link, int fd, const char *path) {
  link.ttyfd = fd;
  link.tfile = path;
  // A partial line from an earlier port means nothing here.
  link.lines = lineassembler(blocksize, lineassembler::overlong::discard);
  setline(link.ttyfd);
  addjob(link, linejob{'o', {}});
}

// ---------------------------------------------------------------------------
// Losing the port and getting it back
// ---------------------------------------------------------------------------

// One timer serves every receiver that waits for its port: it runs while at
// least one of them waits.
bool anywaiting() {
  return std::any_of(std::begin(receivers), std::end(receivers),
                     [](const receiver *link) { return link != nullptr && link->pendingPath; });
}

void cancelreopen(receiver &link);

// Says once why a port cannot be opened, unless it is simply not there yet
// (an adapter plugged in later): a port that exists but refuses us (no
// permission, busy) would otherwise be retried in silence forever.
void reportopenerror(receiver &link, const char *path, int error) {
  if (error == ENOENT || error == link.openerror) return;
  link.openerror = error;
  fprintf(stderr, "cannot open receiver port %s (%s) -- trying again every %d s\n", path,
          strerror(error), reopenSeconds);
}

// Tries the path that `link` waits for again; the opening exchange's end
// runs the readyHandler, which maps the configuration onto the block.
void tryreopen(receiver &link) {
  int fd = openport(link.pendingPath->c_str());
  if (fd == -1) {  // still absent or refused: try again later
    reportopenerror(link, link.pendingPath->c_str(), errno);
    return;
  }
  std::string path = *link.pendingPath;
  cancelreopen(link);
  if (fd < 0) return;
  attach(link, fd, path.c_str());
}

// Timeout handler: tries every waiting receiver's path again.
void reopentick(int, xPL_ObjectPtr) {
  for (receiver *link : receivers) {
    if (link != nullptr && link->pendingPath) tryreopen(*link);
  }
}

void schedulereopen(receiver &link, const std::string &path) {
  const bool ticking = anywaiting();
  link.pendingPath = path;
  if (!ticking) xPL_addTimeoutHandler(reopentick, reopenSeconds, nullptr);
}

void cancelreopen(receiver &link) {
  if (!link.pendingPath) return;
  link.pendingPath.reset();
  link.openerror = 0;
  if (!anywaiting()) xPL_removeTimeoutHandler(reopentick);
}

void closeport(receiver &link) {
  dropjobs(link);
  if (link.ttyfd < 0) return;
  watch(link, false);
  close(link.ttyfd);
  link.ttyfd = -1;
}

// The port went away under us: stop watching it and wait for it to return.
void portlost(receiver &link, const char *why) {
  std::string path = link.tfile.value_or("");
  fprintf(stderr, "receiver port %s lost (%s) -- trying again every %d s\n", path.c_str(), why,
          reopenSeconds);
  closeport(link);
  schedulereopen(link, path);
}

}  // namespace

receiver::receiver() : handle(enlist(this)) {}

receiver::~receiver() {
  closeport(*this);
  cancelreopen(*this);
  receivers[handle] = nullptr;
}

int freqtochannel(double mhz) { return static_cast<int>((mhz - 162.4) / 0.025 + 1.5); }

double channeltofreq(int channel) { return (channel - 1) * 0.025 + 162.4; }

bool opendevice(receiver &link, const char *path) {
  closeport(link);
  cancelreopen(link);
  int fd = openport(path);
  if (fd < 0) {
    // A port that is not there yet (an adapter plugged in later) is
    // watched for; something that is no terminal is a configuration error.
    if (fd == -1) {
      reportopenerror(link, path, errno);
      schedulereopen(link, path);
    }
    return false;
  }
  attach(link, fd, path);
  return true;
}

bool linebusy(const receiver &link) { return !link.jobs.empty(); }

int waitfor(int fd, int cnt, bool debug) {
  int pending = 0;
  if (ioctl(fd, FIONREAD, &pending) < 0) pending = 0;
  if (debug) printf("waitfor %d bytes\n", pending);
  return pending == cnt ? 1 : 0;
}

std::string blocksummary(const unsigned char *p) {
  zudconfig block;
  memcpy(&block, p, sizeof(block));
  char freqs[80];
  snprintf(freqs, sizeof freqs, "main %.3f MHz, alternate %.3f MHz", channeltofreq(block.mainfreq),
           channeltofreq(block.altfreq));
  // Slots hold text the receiver keeps; an empty one (blanks, NUL bytes, or
  // the 0x01 bytes an upload image has in their place) says nothing.
  auto slots = [](const char *first, int count, std::size_t width) {
    std::string words;
    for (int i = 0; i < count; i++) {
      std::string_view slot(first + static_cast<std::size_t>(i) * width, width);
      while (!slot.empty() && (slot.back() == '\0' || slot.back() == '\x01' || slot.back() == ' ')) {
        slot.remove_suffix(1);
      }
      if (slot.empty()) continue;
      words += " " + printable(slot);
    }
    return words.empty() ? std::string(" none") : words;
  };
  return std::string(freqs) + ", fips" + slots(block.fips[0], 4, 6) + ", events" +
         slots(block.events[0], 80, 3);
}

void uploadimage(const unsigned char *conf, unsigned char *image) {
  // The receiver takes a 0x00 byte in an upload for the end of its data.
  for (int i = 0; i < blocksize; i++) image[i] = conf[i] == 0x00 ? 0x01 : conf[i];
}

void writeconfig(receiver &link, const unsigned char *conf) {
  addjob(link, linejob{'p', std::vector<unsigned char>(conf, conf + blocksize)});
}

void test1(receiver &link) { addjob(link, linejob{'t', {}}); }

void zudread(int, int, int uv) {
  receiver *link = receiverof(uv);
  if (link == nullptr || link->ttyfd < 0) return;
  if (link->step == linestep::answer) return readanswer(*link);
  unsigned char bytes[blocksize];
  ssize_t n = read(link->ttyfd, bytes, sizeof bytes);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n < 0) {
    portlost(*link, strerror(errno));
    return;
  }
  if (link->debug) {
    time_t now = time(nullptr);
    printf("%s", ctime(&now));
    outputescaped(bytes, static_cast<int>(n));
    printf("\n");
  }
  if (n == 0) {
    portlost(*link, "end of file");
    return;
  }
  // Lines that arrive together (the loop was busy for a while) are handed
  // over one by one, so none of them is lost; a partial line waits.
  const std::string_view fresh(reinterpret_cast<const char *>(bytes), static_cast<std::size_t>(n));
  const bool whole = link->lines.feed(
      fresh,
      [](std::string_view line, void *owner) {
        const receiver &port = *static_cast<const receiver *>(owner);
        if (port.lineHandler != nullptr) port.lineHandler(line, port.owner);
      },
      link);
  if (!whole) fprintf(stderr, "line of %d bytes without a line feed -- discarded\n", blocksize);
}

void outputbuffer(const unsigned char *buf, int cnt) {
  printf("%d bytes\n", cnt);
  outputescaped(buf, cnt);
  printf("\n");
}

void outputconfig(const unsigned char *p) {
  zudconfig block;
  memcpy(&block, p, sizeof(block));
  outputescaped(block.lastmsg, sizeof(block.lastmsg));
  printf("\n");
  printf("main freq = %.3f alt freq = %.3f\n", channeltofreq(block.mainfreq),
         channeltofreq(block.altfreq));
  printf("fips 1 %.6s\n", block.fips[0]);
  printf("fips 2 %.6s\n", block.fips[1]);
  printf("fips 3 %.6s\n", block.fips[2]);
  printf("fips 4 %.6s\n", block.fips[3]);
  printf("eom reset mode %c\n", block.eomresetmode);
  printf("alt freq mode %c\n", block.altfreqmode);
  for (int i = 0; i < 80; i++) {
    if (i > 0 && i % 20 == 0) printf("\n");
    printf("%4.3s", block.events[i]);
  }
  printf("\n");
}
