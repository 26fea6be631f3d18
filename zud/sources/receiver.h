// receiver.h -- the serial link to the weather-alert receiver.
//
// The receiver sits on a 2400-baud serial line.  It answers single-character
// commands ("?" identity, "d" download its 512-byte configuration block,
// "p" take an uploaded block, "t" test), and passes on every SAME header it
// hears as one text line ending in a line feed.  This unit opens the port,
// reads the block, assembles received bytes into lines for its owner (the
// gateway decodes them) and prints diagnostic dumps of what passes on the line.
//
// Every wait on the receiver is bounded, and a port that goes away (an
// unplugged adapter) is withdrawn from the event loop and tried again every
// few seconds until it comes back.
//
// The link's state is one record, `receiver`, owned by whoever serves the
// receiver (the gateway).  The event loop's handlers find it again by its
// handle: a device registration carries an int as its user value, which
// cannot hold a pointer, so each receiver enlists under a small number for
// its lifetime, and a handle of a receiver that has gone finds nothing.  The
// reopen timer needs no user value: one timer serves every waiting receiver.
#ifndef ZUD_RECEIVER_H
#define ZUD_RECEIVER_H

#include <cstddef>
#include <optional>
#include <string>

// Size of the configuration block and of the line assembly buffer.
inline constexpr int blocksize = 512;

// The configuration block as the receiver transfers it; the 512th byte lies
// outside the record and is carried along unchanged.
struct zudconfig {
  unsigned char lastmsg[236];   // the receiver's last message
  unsigned char mainfreq;       // main frequency as a channel index
  unsigned char altfreq;        // alternate frequency as a channel index
  char fips[4][6];              // location codes PSSCCC, no terminator
  unsigned char x10hc;
  unsigned char x10uc;
  unsigned char unused;
  unsigned char fmprimary0;
  unsigned char fmprimary1;
  unsigned char fmalt0;
  unsigned char fmalt1;
  char eomresetmode;            // '0' or '1'
  char altfreqmode;             // '0' or '1'
  char events[80][3];           // SAME event codes, no terminator
};
static_assert(sizeof(zudconfig) == blocksize - 1, "the record fills all but the last byte");
static_assert(offsetof(zudconfig, mainfreq) == 236, "block layout");
static_assert(offsetof(zudconfig, fips) == 238, "block layout");
static_assert(offsetof(zudconfig, x10hc) == 262, "block layout");
static_assert(offsetof(zudconfig, eomresetmode) == 269, "block layout");
static_assert(offsetof(zudconfig, altfreqmode) == 270, "block layout");
static_assert(offsetof(zudconfig, events) == 271, "block layout");

// The state of one serial link.  Not copyable: the event loop knows it by
// its handle while it lives.
struct receiver {
  receiver();
  // Withdraws the port from the event loop, closes it and stops any reopening.
  ~receiver();
  receiver(const receiver &) = delete;
  receiver &operator=(const receiver &) = delete;

  int ttyfd = -1;                          // open port, or -1
  std::optional<std::string> tfile;        // path of the last successful opening
  unsigned char buffer[blocksize] = {};    // line assembly
  unsigned char *bp = buffer;              // where the next received bytes go
  unsigned char config[blocksize] = {};    // block as last read, edited in place
  int configread = 0;                      // 1 once a block has been read
  std::optional<std::string> pendingPath;  // a port to try again every 5 s
  int openerror = 0;                       // errno last reported for pendingPath
  bool uploadchanges = false;              // write a changed block to the receiver

  // Takes each complete line, without its line end.
  void (*lineHandler)(const unsigned char *line, void *owner) = nullptr;
  // Runs after a lost port came back and its block was read again.
  void (*reconnectHandler)(void *owner) = nullptr;
  // Runs at each opening: whether the receiver answered its query.
  void (*answerHandler)(bool answered, void *owner) = nullptr;
  void *owner = nullptr;  // handed back to the handlers

  const int handle;  // the user value of its event-loop registrations
};

// Channel index (1 = 162.400 MHz, 0.025 MHz a step) of a frequency in MHz.
int freqtochannel(double mhz);
// Frequency in MHz of a channel index.
double channeltofreq(int channel);

// Opens the receiver at path, registers it with the event loop and reads its
// block.  A path that cannot be opened is tried again every 5 s.
void opendevice(receiver &link, const char *path);

// Sends str[0] up to cnt times, ms apart, until the receiver answers: 1 when
// it answered, 0 when it did not, below 0 when a write failed.
int writechar(int fd, const char *str, int cnt, int ms);

// 1 when exactly cnt bytes wait to be read on fd, else 0.
int waitfor(int fd, int cnt);

// Builds the image to upload from a block: every 0x00 byte becomes 0x01.
void uploadimage(const unsigned char *conf, unsigned char *image);

// Uploads the 512 bytes at conf to the receiver.
void writeconfig(receiver &link, const unsigned char *conf);

// Sends the receiver its test command.
void test1(receiver &link);

// Event-loop handler of the port of the receiver whose handle is uv:
// gathers bytes into lines for its lineHandler.
void zudread(int fd, int rev, int uv);

// Dumps cnt received bytes on stdout.
void outputbuffer(const unsigned char *buf, int cnt);

// Dumps the configuration block at p (512 bytes) on stdout.
void outputconfig(const unsigned char *p);

#endif  // ZUD_RECEIVER_H
