// receiver.h -- the serial link to the weather-alert receiver.
//
// The receiver sits on a 2400-baud serial line.  It answers single-character
// commands ("?" identity, "d" download its 512-byte configuration block,
// "p" take an uploaded block, "t" test), and passes on every SAME header it
// hears as one text line ending in a line feed.  This unit opens the port,
// reads the block, assembles received bytes into lines for its owner (the
// gateway decodes them) and prints diagnostic dumps of what passes on the line.
//
// Nothing here waits.  Each exchange with the receiver (the query and the
// block download at an opening, an upload, the test command) is a sequence
// of steps driven by the event loop: a command character goes out, a
// one-shot timer comes back when its pause is over, and the port's
// readiness or the pending count says whether the receiver answered.  The
// bytes, pauses, repeats and bounds are those of a receiver that wants
// them (50 tries 100 ms apart for a command, 10 ms after each uploaded
// byte, a second between looks for a block or an acknowledgement), but
// alerts from other sources, heartbeats and the broker go on meanwhile.
// Exchanges asked for while one runs wait their turn, in order.
//
// Every wait on the receiver is bounded, and a port that goes away (an
// unplugged adapter) is withdrawn from the event loop and tried again every
// few seconds until it comes back.
//
#ifndef ZUD_RECEIVER_H
#define ZUD_RECEIVER_H

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sources/linereader.h"

// Size of the configuration block, and the longest line the receiver sends
// (a line of this many bytes without a line feed is discarded).
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

// What the link is doing with the receiver.
enum class linestep {
  idle,     // reading lines (or no port)
  command,  // a command character goes out until the receiver answers
  answer,   // reading the answer to "?"
  block,    // waiting for the 512-byte block after "d"
  ack,      // waiting for an upload's acknowledgement ("!" or "*")
  upload,   // writing the block's bytes, 10 ms apart
};

// One exchange, waiting or in progress.
struct linejob {
  char what = 0;                     // 'o' opening (query, block), 'p' upload, 't' test
  std::vector<unsigned char> image;  // what an upload writes
};

// The state of one serial link.  Not copyable: the event loop knows it by
// its handle while it lives.
struct receiver {
  receiver();
  // Withdraws the port from the event loop, closes it, stops any exchange
  // and any reopening.
  ~receiver();
  receiver(const receiver &) = delete;
  receiver &operator=(const receiver &) = delete;

  int ttyfd = -1;                          // open port, or -1
  std::optional<std::string> tfile;        // path of the last successful opening
  // Line assembly: the same rule as every line source's.
  lineassembler lines{blocksize, lineassembler::overlong::discard};
  unsigned char answer[blocksize] = {};    // the answer to "?"
  unsigned char config[blocksize] = {};    // block as last read, edited in place
  int configread = 0;                      // 1 once a block has been read
  std::optional<std::string> pendingPath;  // a port to try again every 5 s
  int openerror = 0;                       // errno last reported for pendingPath
  bool uploadchanges = false;              // write a changed block to the receiver
  // The dumps of what passes on the line and the command traces (zud's
  // default; --no-debug leaves only one plain line per event and the errors).
  int debug = 1;

  // The exchanges: jobs.front() is in progress unless `step` is idle.
  std::deque<linejob> jobs;
  linestep step = linestep::idle;
  int stepindex = 0;  // which step of the job's sequence
  int tries = 0;      // commands sent, seconds waited or bytes written in this step
  int got = 0;        // bytes of the answer to "?" read so far
  bool watching = false;  // the port is a device of the event loop
  bool remap = false;     // a configuration change waits for the exchanges to end

  // Takes each complete line, without its line end.
  void (*lineHandler)(std::string_view line, void *owner) = nullptr;
  // Runs when an opening has ended (its block read or not), and when the
  // exchanges have ended while a configuration change waited (`remap`):
  // the owner maps its configuration onto the block then.
  void (*readyHandler)(void *owner) = nullptr;
  // Runs at each opening: whether the receiver answered its query.
  void (*answerHandler)(bool answered, void *owner) = nullptr;
  void *owner = nullptr;  // handed back to the handlers

  const int handle;  // the user value of its event-loop registrations
};

// Channel index (1 = 162.400 MHz, 0.025 MHz a step) of a frequency in MHz.
int freqtochannel(double mhz);
// Frequency in MHz of a channel index.
double channeltofreq(int channel);

// Opens the receiver at path and starts its opening exchange (query, then
// block) on the event loop; true when it did (readyHandler runs when it
// ends).  An exchange of an earlier port is dropped.  A path that cannot be
// opened is tried again every 5 s (false; an opening follows when it can).
bool opendevice(receiver &link, const char *path);

// Whether an exchange is in progress or waiting.
bool linebusy(const receiver &link);

// 1 when exactly cnt bytes wait to be read on fd, else 0; with `debug`,
// says how many do.
int waitfor(int fd, int cnt, bool debug = true);

// The receiver's configuration in one line of words: "main 162.475 MHz,
// alternate 162.550 MHz, fips 016001 041045, events TOR SVR" (empty slots
// left out).
std::string blocksummary(const unsigned char *block);

// Builds the image to upload from a block: every 0x00 byte becomes 0x01.
void uploadimage(const unsigned char *conf, unsigned char *image);

// Uploads the 512 bytes at conf to the receiver, after any exchange in progress.
void writeconfig(receiver &link, const unsigned char *conf);

// Sends the receiver its test command, after any exchange in progress.
void test1(receiver &link);

// Event-loop handler of the port of the receiver whose handle is uv:
// gathers bytes into lines for its lineHandler, or reads the answer to "?".
void zudread(int fd, int rev, int uv);

// Dumps cnt received bytes on stdout.
void outputbuffer(const unsigned char *buf, int cnt);

// Dumps the configuration block at p (512 bytes) on stdout.
void outputconfig(const unsigned char *p);

#endif  // ZUD_RECEIVER_H
