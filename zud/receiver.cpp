// receiver.cpp -- the serial link to the weather-alert receiver.
//
// The opening sequence and the upload block the whole process while they
// talk to the receiver: they run from inside event-loop handlers and finish
// before the loop goes on.  Every wait has a bound, so a receiver that stays
// silent (or talks too much) costs seconds, never a hung daemon.
#include "receiver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "alert.h"
#include "xPL.h"

int ttyfd = -1;
std::optional<std::string> tfile;
unsigned char buffer[blocksize];
unsigned char *bp = buffer;
unsigned char config[blocksize];
int configread = 0;
int debug = 1;

namespace {

constexpr int commandRepeats = 50;
constexpr int commandPauseMs = 100;
constexpr int uploadPauseMs = 10;
constexpr int answerWaitMs = 2000;     // first byte of the answer to "?"
constexpr int answerQuietMs = 200;     // the answer has ended after this much quiet
constexpr int blockWaitSeconds = 10;   // the whole block after "d"
constexpr int ackWaitSeconds = 10;     // each acknowledgement of an upload
constexpr int reopenSeconds = 5;

// A path waiting to be opened again, and what to run once it is back.
std::optional<std::string> pendingPath;
bool reopenScheduled = false;
void (*reconnectHandler)() = nullptr;

void sleepms(int ms) {
  struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Prints bytes by the dump rule: printable ASCII as itself, else [0xNN].
void outputescaped(const unsigned char *buf, int cnt) {
  for (int i = 0; i < cnt; i++) {
    if (buf[i] >= 0x20 && buf[i] <= 0x7e) {
      putchar(buf[i]);
    } else {
      printf("[0x%02x]", buf[i]);
    }
  }
}

// Waits up to `seconds` for exactly cnt pending bytes, testing once a second.
bool awaitpending(int cnt, int seconds) {
  for (int waited = 0;; waited++) {
    if (waitfor(ttyfd, cnt)) return true;
    if (waited >= seconds) return false;
    sleep(1);
  }
}

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
  struct termios settings;
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

// Reads the answer to "?" into buffer: it has ended once the line stays
// quiet for a moment.  Returns the bytes read; 0 when none came in time.
int readanswer() {
  struct pollfd port = {ttyfd, POLLIN, 0};
  if (poll(&port, 1, answerWaitMs) <= 0) {
    fprintf(stderr, "no answer to ? within %d s\n", answerWaitMs / 1000);
    return 0;
  }
  int got = 0;
  while (got < blocksize) {
    ssize_t n = read(ttyfd, buffer + got, blocksize - got);
    if (n <= 0) break;
    got += (int)n;
    if (poll(&port, 1, answerQuietMs) <= 0 || !(port.revents & POLLIN)) break;
  }
  return got;
}

// Downloads the block into config; configread and config stay as they were
// when no whole block arrives in time.
void readblock() {
  // Whatever is still pending (the tail of an answer, a stray line) would
  // spoil the count of exactly one block.
  tcflush(ttyfd, TCIFLUSH);
  if (writechar(ttyfd, "d", commandRepeats, commandPauseMs) != 1) perror("writechar d");
  if (!awaitpending(blocksize, blockWaitSeconds)) {
    fprintf(stderr, "no configuration block within %d s -- block not read\n", blockWaitSeconds);
    tcflush(ttyfd, TCIFLUSH);
    return;
  }
  unsigned char block[blocksize];
  ssize_t n = read(ttyfd, block, blocksize);
  if (n != blocksize) {
    fprintf(stderr, "configuration block cut short (%d bytes) -- block not read\n", (int)n);
    return;
  }
  memcpy(config, block, blocksize);
  if (debug) {
    outputbuffer(block, blocksize);
    outputconfig(config);
  }
  configread = 1;
}

// The rest of the opening sequence, once the port is open.
void attach(int fd, const char *path) {
  ttyfd = fd;
  tfile = path;
  bp = buffer;  // a partial line from an earlier port means nothing here
  setline(ttyfd);
  xPL_addIODevice(zudread, 0, ttyfd, TRUE, FALSE, FALSE);

  if (writechar(ttyfd, "?", commandRepeats, commandPauseMs) != 1) perror("writechar ?");
  int answered = readanswer();
  if (debug && answered > 0) outputbuffer(buffer, answered);

  readblock();
}

void cancelreopen();

// Timeout handler: tries the pending path again.
void reopentick(int, xPL_ObjectPtr) {
  if (!pendingPath) {
    cancelreopen();
    return;
  }
  int fd = openport(pendingPath->c_str());
  if (fd == -1) return;  // still absent: try again later
  std::string path = *pendingPath;
  cancelreopen();
  if (fd < 0) return;
  attach(fd, path.c_str());
  if (reconnectHandler != nullptr) reconnectHandler();
}

void schedulereopen(const std::string &path) {
  pendingPath = path;
  if (!reopenScheduled) {
    xPL_addTimeoutHandler(reopentick, reopenSeconds, nullptr);
    reopenScheduled = true;
  }
}

void cancelreopen() {
  pendingPath.reset();
  if (reopenScheduled) {
    xPL_removeTimeoutHandler(reopentick);
    reopenScheduled = false;
  }
}

void closeport() {
  if (ttyfd < 0) return;
  xPL_removeIODevice(ttyfd);
  close(ttyfd);
  ttyfd = -1;
  bp = buffer;
}

// The port went away under us: stop watching it and wait for it to return.
void portlost(const char *why) {
  std::string path = tfile.value_or("");
  fprintf(stderr, "receiver port %s lost (%s) -- trying again every %d s\n", path.c_str(), why,
          reopenSeconds);
  closeport();
  schedulereopen(path);
}

// Takes the n bytes just stored at `fresh`: hands every complete line to
// the decoder, without its line end, and keeps a partial line for the next
// read.  Lines that arrive together (the loop was busy for a while) are
// decoded one by one, so none of them is lost.
void handlelines(unsigned char *fresh, int n) {
  unsigned char *end = fresh + n;
  unsigned char *line = buffer;
  for (unsigned char *p = fresh; p < end; p++) {
    if (*p != '\n') continue;
    // Every trailing LF and CR of the line becomes the terminator.
    size_t length = (size_t)(p - line) + 1;
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
      line[--length] = '\0';
    }
    if (line[0] != '\0') parsesame(line);
    line = p + 1;
  }
  int kept = (int)(end - line);
  memmove(buffer, line, kept);
  bp = buffer + kept;
  if (kept == blocksize) {
    fprintf(stderr, "line of %d bytes without a line feed -- discarded\n", blocksize);
    bp = buffer;
  }
}

}  // namespace

int freqtochannel(double mhz) { return (int)((mhz - 162.4) / 0.025 + 1.5); }

double channeltofreq(int channel) { return (channel - 1) * 0.025 + 162.4; }

void setreconnecthandler(void (*handler)()) { reconnectHandler = handler; }

void opendevice(const char *path) {
  closeport();
  cancelreopen();
  int fd = openport(path);
  if (fd < 0) {
    // A port that is not there yet (an adapter plugged in later) is
    // watched for; something that is no terminal is a configuration error.
    if (fd == -1) schedulereopen(path);
    return;
  }
  attach(fd, path);
}

int writechar(int fd, const char *str, int cnt, int ms) {
  int result = 0;
  int i = 0;
  while (i < cnt) {
    ssize_t written = write(fd, str, 1);
    if (written != 1) {
      result = (int)written;
      break;
    }
    sleepms(ms);
    // A readiness test without waiting: has the receiver started to answer?
    struct pollfd port = {fd, POLLIN, 0};
    result = poll(&port, 1, 0);
    if (result > 0) break;
    i++;
  }
  if (debug) printf("writechar returns %d, i = %d\n", result, i);
  return result;
}

int waitfor(int fd, int cnt) {
  int pending = 0;
  if (ioctl(fd, FIONREAD, &pending) < 0) pending = 0;
  if (debug) printf("waitfor %d bytes\n", pending);
  return pending == cnt ? 1 : 0;
}

namespace {

// Reads the receiver's one-byte acknowledgement; true when it is `expected`.
bool readack(char expected) {
  if (!awaitpending(1, ackWaitSeconds)) {
    fprintf(stderr, "writeconfig: no answer within %d s\n", ackWaitSeconds);
    return false;
  }
  unsigned char answer = 0;
  if (read(ttyfd, &answer, 1) != 1) {
    fprintf(stderr, "writeconfig: read failed\n");
    return false;
  }
  if (answer != (unsigned char)expected) {
    fprintf(stderr, "writeconfig: wrong response %c\n", answer);
    return false;
  }
  return true;
}

}  // namespace

void uploadimage(const unsigned char *conf, unsigned char *image) {
  // The receiver takes a 0x00 byte in an upload for the end of its data.
  for (int i = 0; i < blocksize; i++) image[i] = conf[i] == 0x00 ? 0x01 : conf[i];
}

void writeconfig(const unsigned char *conf) {
  if (writechar(ttyfd, "p", commandRepeats, commandPauseMs) != 1) perror("writechar p");
  if (!readack('!')) return;
  for (int i = 0; i < blocksize; i++) {
    writechar(ttyfd, (const char *)&conf[i], 1, uploadPauseMs);
  }
  readack('*');
}

void test1(int) {
  if (writechar(ttyfd, "t", commandRepeats, commandPauseMs) != 1) perror("writechar t");
}

void zudread(int, int, int) {
  if (ttyfd < 0) return;
  int space = blocksize - (int)(bp - buffer);
  ssize_t n = read(ttyfd, bp, space);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n < 0) {
    portlost(strerror(errno));
    return;
  }
  if (debug) {
    time_t now = time(nullptr);
    printf("%s", ctime(&now));
    outputescaped(bp, (int)n);
    printf("\n");
  }
  if (n == 0) {
    portlost("end of file");
    return;
  }
  handlelines(bp, (int)n);
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
