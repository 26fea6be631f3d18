// receiver.cpp -- the serial link to the weather-alert receiver.
//
// The opening sequence and the upload block the whole process while they
// talk to the receiver: they run from inside event-loop handlers and finish
// before the loop goes on.  Every wait has a bound, so a receiver that stays
// silent (or talks too much) costs seconds, never a hung daemon.
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

void sleepms(int ms) {
  timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Prints bytes by the dump rule: printable ASCII as itself, else [0xNN].
void outputescaped(const unsigned char *buf, int cnt) {
  const std::string text =
      printable(std::string_view(reinterpret_cast<const char *>(buf), static_cast<std::size_t>(cnt)));
  fwrite(text.data(), 1, text.size(), stdout);
}

// Waits up to `seconds` for exactly cnt pending bytes, testing once a second.
bool awaitpending(int fd, int cnt, int seconds) {
  for (int waited = 0;; waited++) {
    if (waitfor(fd, cnt)) return true;
    if (waited >= seconds) return false;
    sleep(1);
  }
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

// Opens path as the receiver's port: read/write, no controlling terminal,
// blocking once open.  O_NONBLOCK keeps a port without carrier from blocking
// the open itself.  -1 when it cannot be opened; -2 when it is no terminal.
int openport(const char *path) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno != EISDIR) return -1;
  } else if (isatty(fd)) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
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

// Reads the answer to "?" into the line buffer: it has ended once the line
// stays quiet for a moment.  Returns the bytes read; 0 when none came in time.
int readanswer(receiver &link) {
  pollfd port = {link.ttyfd, POLLIN, 0};
  if (poll(&port, 1, answerWaitMs) <= 0) {
    fprintf(stderr, "no answer to ? within %d s\n", answerWaitMs / 1000);
    return 0;
  }
  int got = 0;
  while (got < blocksize) {
    ssize_t n = read(link.ttyfd, link.buffer + got, static_cast<std::size_t>(blocksize - got));
    if (n <= 0) break;
    got += static_cast<int>(n);
    if (poll(&port, 1, answerQuietMs) <= 0 || !(port.revents & POLLIN)) break;
  }
  return got;
}

// Downloads the block into config; configread and config stay as they were
// when no whole block arrives in time.
void readblock(receiver &link) {
  // Whatever is still pending (the tail of an answer, a stray line) would
  // spoil the count of exactly one block.
  tcflush(link.ttyfd, TCIFLUSH);
  if (writechar(link.ttyfd, "d", commandRepeats, commandPauseMs) != 1) perror("writechar d");
  if (!awaitpending(link.ttyfd, blocksize, blockWaitSeconds)) {
    fprintf(stderr, "no configuration block within %d s -- block not read\n", blockWaitSeconds);
    tcflush(link.ttyfd, TCIFLUSH);
    return;
  }
  unsigned char block[blocksize];
  ssize_t n = read(link.ttyfd, block, blocksize);
  if (n != blocksize) {
    fprintf(stderr, "configuration block cut short (%d bytes) -- block not read\n",
            static_cast<int>(n));
    return;
  }
  memcpy(link.config, block, blocksize);
  outputbuffer(block, blocksize);
  outputconfig(link.config);
  link.configread = 1;
}

// The rest of the opening sequence, once the port is open.
void attach(receiver &link, int fd, const char *path) {
  link.ttyfd = fd;
  link.tfile = path;
  link.bp = link.buffer;  // a partial line from an earlier port means nothing here
  setline(link.ttyfd);
  xPL_addIODevice(zudread, link.handle, link.ttyfd, TRUE, FALSE, FALSE);

  if (writechar(link.ttyfd, "?", commandRepeats, commandPauseMs) != 1) perror("writechar ?");
  int answered = readanswer(link);
  if (answered > 0) outputbuffer(link.buffer, answered);
  if (link.answerHandler != nullptr) link.answerHandler(answered > 0, link.owner);

  readblock(link);
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

// Tries the path that `link` waits for again.
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
  if (link.reconnectHandler != nullptr) link.reconnectHandler(link.owner);
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
  if (link.ttyfd < 0) return;
  xPL_removeIODevice(link.ttyfd);
  close(link.ttyfd);
  link.ttyfd = -1;
  link.bp = link.buffer;
}

// The port went away under us: stop watching it and wait for it to return.
void portlost(receiver &link, const char *why) {
  std::string path = link.tfile.value_or("");
  fprintf(stderr, "receiver port %s lost (%s) -- trying again every %d s\n", path.c_str(), why,
          reopenSeconds);
  closeport(link);
  schedulereopen(link, path);
}

// ---------------------------------------------------------------------------
// Line assembly and the upload
// ---------------------------------------------------------------------------

// Takes the n bytes just stored at `fresh`: hands every complete line to
// the line handler, without its line end, and keeps a partial line for the
// next read.  Lines that arrive together (the loop was busy for a while) are
// handed over one by one, so none of them is lost.
void handlelines(receiver &link, unsigned char *fresh, int n) {
  unsigned char *end = fresh + n;
  unsigned char *line = link.buffer;
  for (unsigned char *p = fresh; p < end; p++) {
    if (*p != '\n') continue;
    // Every trailing LF and CR of the line becomes the terminator.
    std::size_t length = static_cast<std::size_t>(p - line) + 1;
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
      line[--length] = '\0';
    }
    if (line[0] != '\0' && link.lineHandler != nullptr) link.lineHandler(line, link.owner);
    line = p + 1;
  }
  const std::size_t kept = static_cast<std::size_t>(end - line);
  memmove(link.buffer, line, kept);
  link.bp = link.buffer + kept;
  if (kept == blocksize) {
    fprintf(stderr, "line of %d bytes without a line feed -- discarded\n", blocksize);
    link.bp = link.buffer;
  }
}

// Reads the receiver's one-byte acknowledgement; true when it is `expected`.
bool readack(receiver &link, char expected) {
  if (!awaitpending(link.ttyfd, 1, ackWaitSeconds)) {
    fprintf(stderr, "writeconfig: no answer within %d s\n", ackWaitSeconds);
    return false;
  }
  unsigned char answer = 0;
  if (read(link.ttyfd, &answer, 1) != 1) {
    fprintf(stderr, "writeconfig: read failed\n");
    return false;
  }
  if (answer != static_cast<unsigned char>(expected)) {
    fprintf(stderr, "writeconfig: wrong response %c\n", answer);
    return false;
  }
  return true;
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

void opendevice(receiver &link, const char *path) {
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
    return;
  }
  attach(link, fd, path);
}

int writechar(int fd, const char *str, int cnt, int ms) {
  int result = 0;
  int i = 0;
  while (i < cnt) {
    ssize_t written = write(fd, str, 1);
    if (written != 1) {
      result = static_cast<int>(written);
      break;
    }
    sleepms(ms);
    // A readiness test without waiting: has the receiver started to answer?
    pollfd port = {fd, POLLIN, 0};
    result = poll(&port, 1, 0);
    if (result > 0) break;
    i++;
  }
  printf("writechar returns %d, i = %d\n", result, i);
  return result;
}

int waitfor(int fd, int cnt) {
  int pending = 0;
  if (ioctl(fd, FIONREAD, &pending) < 0) pending = 0;
  printf("waitfor %d bytes\n", pending);
  return pending == cnt ? 1 : 0;
}

void uploadimage(const unsigned char *conf, unsigned char *image) {
  // The receiver takes a 0x00 byte in an upload for the end of its data.
  for (int i = 0; i < blocksize; i++) image[i] = conf[i] == 0x00 ? 0x01 : conf[i];
}

void writeconfig(receiver &link, const unsigned char *conf) {
  if (writechar(link.ttyfd, "p", commandRepeats, commandPauseMs) != 1) perror("writechar p");
  if (!readack(link, '!')) return;
  for (int i = 0; i < blocksize; i++) {
    writechar(link.ttyfd, reinterpret_cast<const char *>(&conf[i]), 1, uploadPauseMs);
  }
  readack(link, '*');
}

void test1(receiver &link) {
  if (writechar(link.ttyfd, "t", commandRepeats, commandPauseMs) != 1) perror("writechar t");
}

void zudread(int, int, int uv) {
  receiver *link = receiverof(uv);
  if (link == nullptr || link->ttyfd < 0) return;
  const std::size_t space = static_cast<std::size_t>(blocksize - (link->bp - link->buffer));
  ssize_t n = read(link->ttyfd, link->bp, space);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n < 0) {
    portlost(*link, strerror(errno));
    return;
  }
  time_t now = time(nullptr);
  printf("%s", ctime(&now));
  outputescaped(link->bp, static_cast<int>(n));
  printf("\n");
  if (n == 0) {
    portlost(*link, "end of file");
    return;
  }
  handlelines(*link, link->bp, static_cast<int>(n));
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
