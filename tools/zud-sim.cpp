// zud-sim: a stand-in for the SAME weather-alert receiver, so that the gateway
// can be tested and demonstrated without the radio.  It offers a
// pseudo-terminal whose slave side behaves like the receiver's serial port:
// it answers the single-character commands, hands out and takes the 512-byte
// configuration block, and sends SAME header lines.  Everything it receives
// and sends is reported on standard output, one line per event, so that a test
// can follow the conversation.  Directives on standard input and a few options
// make it misbehave on purpose (unplugging, silence, wrong acknowledgements).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char *kProgram = "zud-sim";

// ---------------------------------------------------------------------------
// The receiver's configuration block.

constexpr size_t kBlockSize = 512;
constexpr size_t kLastMsg = 0;
constexpr size_t kLastMsgLen = 236;
constexpr size_t kMainFreq = 236;
constexpr size_t kAltFreq = 237;
constexpr size_t kFips = 238;
constexpr size_t kFipsSlots = 4;
constexpr size_t kFipsLen = 6;
constexpr size_t kX10House = 262;
constexpr size_t kX10Unit = 263;
constexpr size_t kUnused = 264;
constexpr size_t kFm = 265;  // four bytes: primary 0 and 1, alternate 0 and 1
constexpr size_t kFmLen = 4;
constexpr size_t kEomReset = 269;
constexpr size_t kAltFreqMode = 270;
constexpr size_t kEvents = 271;
constexpr size_t kEventSlots = 80;
constexpr size_t kEventLen = 3;
constexpr size_t kCarried = 511;  // outside the record, carried unchanged

static_assert(kLastMsg + kLastMsgLen == kMainFreq, "lastmsg runs up to mainfreq");
static_assert(kFips + kFipsSlots * kFipsLen == kX10House, "fips slots run up to the x10 codes");
static_assert(kFm + kFmLen == kEomReset, "fm bytes run up to the mode bytes");
static_assert(kEvents + kEventSlots * kEventLen == kCarried, "event slots end the record");
static_assert(kCarried + 1 == kBlockSize, "the carried byte ends the block");

using Block = std::array<std::uint8_t, kBlockSize>;

// Channel 1 is 162.400 MHz; each further channel adds 25 kHz.
constexpr double kBaseMHz = 162.4;
constexpr double kStepMHz = 0.025;
// Frequencies accepted on the command line: the seven weather channels, with
// a little slack for rounding.
constexpr double kLowestMHz = 162.39;
constexpr double kHighestMHz = 162.56;

constexpr std::string_view kDefaultLastMsg =
    "ZCZC-WXR-TOR-016001-016027+0045-3051720-KBOI/NWS-";
constexpr std::array<std::string_view, 1> kDefaultFips = {"016001"};
constexpr std::array<std::string_view, 8> kDefaultEvents = {"TOR", "SVR", "FFW", "WSW",
                                                            "BZW", "EVI", "RWT", "RMT"};
constexpr std::uint8_t kDefaultX10House = 'A';
constexpr std::uint8_t kDefaultX10Unit = 0x01;
constexpr std::array<std::uint8_t, kFmLen> kDefaultFm = {0x12, 0x34, 0x56, 0x78};
constexpr std::uint8_t kDefaultCarried = 0xA5;
constexpr double kDefaultMainMHz = 162.400;
constexpr double kDefaultAltMHz = 162.475;

// ---------------------------------------------------------------------------
// What the receiver sends.

constexpr size_t kPreambleLen = 16;
constexpr char kPreambleByte = '\xAB';
constexpr std::string_view kSampleHeader =
    "ZCZC-WXR-RWT-016001-016003-016015-016027-016039-016045-016073-016075-016085-016087-"
    "041045+0030-2201802-KBOI/NWS-";
constexpr std::string_view kDefaultIdent = "zud-sim receiver " ZUD_VERSION "\r\n";
constexpr char kReady = '!';     // answer to "p": send the block now
constexpr char kAccepted = '*';  // answer to a complete upload
constexpr std::uint8_t kExtraByte = 0xEE;

constexpr int kPeerCheckMs = 20;  // how often a closed line is checked for an opening
constexpr int kDefaultUploadTimeoutMs = 5000;

constexpr const char *kUsage =
    "usage: zud-sim [options]\n"
    "Offers a pseudo-terminal that behaves as the SAME weather-alert receiver.\n"
    "Prints \"pty NAME\" with the slave's name, then one line per event:\n"
    "  peer open | peer closed | recv ? | recv d | recv p | recv t | recv C muted\n"
    "  recv 0xHH (other byte) | recv block 512 | recv partial block N\n"
    "  sent ident TEXT | sent block 512 | sent extra N | sent ack C | sent line TEXT\n"
    "  sent raw TEXT | drop N | hangup | dump ... (TEXT uses C escapes)\n"
    "\n"
    "Configuration block (answer to \"d\"):\n"
    "  --freq MHZ            main frequency, 162.39..162.56, stored as the nearest\n"
    "                        channel (1 = 162.400 ... 7 = 162.550; default 162.400)\n"
    "  --altfreq MHZ         alternate frequency (default 162.475)\n"
    "  --fips LIST           up to 4 comma-separated 6-character codes (default 016001);\n"
    "                        slots not given are blank (spaces)\n"
    "  --events LIST         up to 80 comma-separated 3-character codes\n"
    "                        (default TOR,SVR,FFW,WSW,BZW,EVI,RWT,RMT); the rest blank\n"
    "  --eomreset 0|1        end-of-message reset mode (default 0)\n"
    "  --usealtfreq 0|1      alternate frequency mode (default 0)\n"
    "  --lastmsg TEXT        last message, C escapes, padded with NUL bytes\n"
    "                        (default a tornado warning header from KBOI)\n"
    "  --byte OFF=VAL        set block byte OFF (0..511) to VAL (0..255) after all\n"
    "                        the fields; repeatable; numbers decimal or 0x hex\n"
    "  Other bytes: x10 codes 'A' and 0x01, unused 0x00, fm bytes 0x12 0x34 0x56\n"
    "  0x78, byte 511 0xa5.\n"
    "\n"
    "Behaviour:\n"
    "  --ident TEXT          answer to \"?\", C escapes (default \"zud-sim receiver "
    ZUD_VERSION "\\r\\n\")\n"
    "  --send TEXT           SAME line (as given, no escapes) sent once the other\n"
    "                        side first opens the terminal, after --send-delay;\n"
    "                        repeatable, in order\n"
    "  --send-delay MS       wait after that opening before --send lines (default 0)\n"
    "  --baud N              pace all output like an N-baud line (N/10 bytes a\n"
    "                        second); without it output is immediate\n"
    "  --link PATH           keep a symbolic link PATH to the current slave name\n"
    "  --dump                print each uploaded block (fields and hex dump)\n"
    "\n"
    "Faults:\n"
    "  --mute CHARS          never answer these commands (e.g. ?d)\n"
    "  --extra N             send N bytes 0xEE after the block for \"d\"\n"
    "  --p-answer C          answer \"p\" with byte C (one byte, C escapes allowed)\n"
    "                        instead of \"!\"; no upload follows\n"
    "  --upload-answer C|none  answer a complete upload with C instead of \"*\", or\n"
    "                        not at all; the block is kept only when answered \"*\"\n"
    "  --upload-timeout MS   abandon an upload after MS without a byte (default 5000)\n"
    "  --help                print this help and exit\n"
    "  --version             print the version and exit\n"
    "\n"
    "Standard input: each line is a SAME line to send (preamble of 16 bytes 0xAB,\n"
    "the text, CR LF); a trailing CR is ignored, empty lines are skipped.  Lines\n"
    "starting with \"#\" are directives:\n"
    "  #hangup [keep]        close the terminal (the other side sees a hang-up);\n"
    "                        the link is removed unless \"keep\" is given\n"
    "  #return               open a new terminal, print \"pty NAME\", repoint the link\n"
    "  #raw TEXT             send TEXT (C escapes \\r \\n \\t \\\\ \\xHH) as it is\n"
    "  #sample               send the built-in sample header line\n"
    "  #mute [CHARS]         replace the set of unanswered commands\n"
    "  #quit                 exit at once\n"
    "End of input only stops reading; the simulator runs on.\n"
    "\n"
    "The terminal starts raw at 2400 baud.  An opening by the other side is noticed\n"
    "within 20 ms (or at its first byte).\n"
    "Output waits while the other side has the terminal closed (or while there is\n"
    "no terminal) and goes out when it opens; output still pending when the other\n"
    "side closes, or on #hangup, is dropped (\"drop N\").\n"
    "Signals: SIGINT, SIGTERM, SIGHUP exit 0 (the link is removed); SIGUSR1 sends\n"
    "the sample; SIGUSR2 hangs up, or returns when hung up.\n"
    "Exit status: 0 on a stop, 1 when no terminal can be opened, 2 on bad usage.\n";

// ---------------------------------------------------------------------------
// Text helpers.

// Renders bytes with C escapes so that every byte is visible on one line.
std::string escapeText(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c <= 0x7E) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string hexByte(std::uint8_t byte) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02x", byte);
  return hex;
}

// One byte as a visible character, or 0xHH when it has no visible form.
std::string showByte(std::uint8_t byte) {
  if (byte > 0x20 && byte <= 0x7E) return std::string(1, static_cast<char>(byte));
  return hexByte(byte);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes \r \n \t \\ and \xHH (exactly two hex digits); nothing on a bad escape.
std::optional<std::string> unescapeText(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return std::nullopt;
    switch (text[i]) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        if (i + 2 >= text.size()) return std::nullopt;
        int high = hexDigit(text[i + 1]);
        int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: return std::nullopt;
    }
  }
  return out;
}

std::vector<std::string_view> splitList(std::string_view text) {
  std::vector<std::string_view> items;
  for (;;) {
    size_t comma = text.find(',');
    items.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return items;
    text.remove_prefix(comma + 1);
  }
}

// A whole-text unsigned number, decimal or 0x hex, no larger than `max`.
std::optional<unsigned long> parseNumber(std::string_view text, unsigned long max) {
  std::string copy(text);
  if (copy.empty() || copy[0] == '-' || copy[0] == '+') return std::nullopt;
  char *end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(copy.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > max) return std::nullopt;
  return value;
}

std::optional<double> parseDouble(std::string_view text) {
  std::string copy(text);
  if (copy.empty()) return std::nullopt;
  char *end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (*end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

// ---------------------------------------------------------------------------
// Block contents.

// The channel index of a frequency: the nearest channel, halves going up.
int channelIndex(double mhz) { return static_cast<int>((mhz - kBaseMHz) / kStepMHz + 1.5); }

double channelMHz(int index) { return (index - 1) * kStepMHz + kBaseMHz; }

void putSlot(Block &block, size_t offset, size_t width, std::string_view text) {
  for (size_t i = 0; i < width; ++i)
    block[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
}

void putFipsSlots(Block &block, const std::vector<std::string_view> &codes) {
  for (size_t slot = 0; slot < kFipsSlots; ++slot)
    putSlot(block, kFips + slot * kFipsLen, kFipsLen, slot < codes.size() ? codes[slot] : "");
}

void putEventSlots(Block &block, const std::vector<std::string_view> &codes) {
  for (size_t slot = 0; slot < kEventSlots; ++slot)
    putSlot(block, kEvents + slot * kEventLen, kEventLen, slot < codes.size() ? codes[slot] : "");
}

void putLastMsg(Block &block, std::string_view text) {
  for (size_t i = 0; i < kLastMsgLen; ++i)
    block[kLastMsg + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : '\0');
}

// A block as a receiver might hold it after some use.
Block defaultBlock() {
  Block block{};
  putLastMsg(block, kDefaultLastMsg);
  block[kMainFreq] = static_cast<std::uint8_t>(channelIndex(kDefaultMainMHz));
  block[kAltFreq] = static_cast<std::uint8_t>(channelIndex(kDefaultAltMHz));
  putFipsSlots(block, {kDefaultFips.begin(), kDefaultFips.end()});
  block[kX10House] = kDefaultX10House;
  block[kX10Unit] = kDefaultX10Unit;
  block[kUnused] = 0x00;
  std::copy(kDefaultFm.begin(), kDefaultFm.end(), block.begin() + kFm);
  block[kEomReset] = '0';
  block[kAltFreqMode] = '0';
  putEventSlots(block, {kDefaultEvents.begin(), kDefaultEvents.end()});
  block[kCarried] = kDefaultCarried;
  return block;
}

std::string slotText(const Block &block, size_t offset, size_t width) {
  return std::string(reinterpret_cast<const char *>(block.data()) + offset, width);
}

void dumpFields(const Block &block) {
  std::string last = slotText(block, kLastMsg, kLastMsgLen);
  last.erase(last.find_last_not_of('\0') + 1);
  std::printf("dump lastmsg \"%s\"\n", escapeText(last).c_str());
  std::printf("dump main freq %.3f MHz (channel %d)\n", channelMHz(block[kMainFreq]),
              block[kMainFreq]);
  std::printf("dump alt freq %.3f MHz (channel %d)\n", channelMHz(block[kAltFreq]),
              block[kAltFreq]);
  for (size_t slot = 0; slot < kFipsSlots; ++slot)
    std::printf("dump fips %zu \"%s\"\n", slot + 1,
                escapeText(slotText(block, kFips + slot * kFipsLen, kFipsLen)).c_str());
  std::printf("dump x10 house 0x%02x unit 0x%02x unused 0x%02x\n", block[kX10House],
              block[kX10Unit], block[kUnused]);
  std::printf("dump fm 0x%02x 0x%02x 0x%02x 0x%02x\n", block[kFm], block[kFm + 1],
              block[kFm + 2], block[kFm + 3]);
  std::printf("dump eom reset mode \"%s\"\n", escapeText(slotText(block, kEomReset, 1)).c_str());
  std::printf("dump alt freq mode \"%s\"\n", escapeText(slotText(block, kAltFreqMode, 1)).c_str());
}

void dumpEvents(const Block &block) {
  constexpr size_t kPerLine = 20;
  for (size_t first = 0; first < kEventSlots; first += kPerLine) {
    std::string line;
    for (size_t slot = first; slot < first + kPerLine; ++slot)
      line += " \"" + escapeText(slotText(block, kEvents + slot * kEventLen, kEventLen)) + "\"";
    std::printf("dump events %zu-%zu%s\n", first + 1, first + kPerLine, line.c_str());
  }
  std::printf("dump byte 511 0x%02x\n", block[kCarried]);
}

void dumpHex(const Block &block) {
  constexpr size_t kPerLine = 16;
  for (size_t row = 0; row < kBlockSize; row += kPerLine) {
    std::string hex;
    std::string text;
    for (size_t i = row; i < row + kPerLine; ++i) {
      char byte[4];
      std::snprintf(byte, sizeof byte, " %02x", block[i]);
      hex += byte;
      text += (block[i] >= 0x20 && block[i] <= 0x7E) ? static_cast<char>(block[i]) : '.';
    }
    std::printf("dump hex %04zx%s  |%s|\n", row, hex.c_str(), text.c_str());
  }
}

// Prints a block in readable form followed by a hex dump.
void dumpBlock(const Block &block) {
  dumpFields(block);
  dumpEvents(block);
  dumpHex(block);
}

// ---------------------------------------------------------------------------
// Command line.

struct Options {
  Block block = defaultBlock();
  // Single bytes set by --byte, applied once all the fields are in place.
  std::vector<std::pair<size_t, std::uint8_t>> pokes;
  std::string ident{kDefaultIdent};
  std::vector<std::string> sends;
  long sendDelayMs = 0;
  long baud = 0;  // 0: no pacing
  std::string link;
  bool dump = false;
  std::string mute;
  size_t extra = 0;
  char pAnswer = kReady;
  std::optional<char> uploadAnswer = kAccepted;  // nothing: stay silent
  long uploadTimeoutMs = kDefaultUploadTimeoutMs;
  bool help = false;
  bool version = false;
};

struct ParseResult {
  Options options;
  std::string error;  // empty when the command line was good
};

// Applies one option with its value; an error text when the value is bad.
using OptionSetter = std::string (*)(Options &, std::string_view);

std::string setFrequency(std::uint8_t &field, std::string_view value) {
  std::optional<double> mhz = parseDouble(value);
  if (!mhz || *mhz <= kLowestMHz || *mhz >= kHighestMHz)
    return "frequency must be a number of MHz between 162.39 and 162.56";
  field = static_cast<std::uint8_t>(channelIndex(*mhz));
  return "";
}

std::string setCodes(std::string_view value, size_t maxCodes, size_t width, const char *what,
                     std::vector<std::string_view> &codes) {
  codes = splitList(value);
  if (codes.size() > maxCodes) return std::string("at most ") + std::to_string(maxCodes) + " " + what;
  for (std::string_view code : codes)
    if (!code.empty() && code.size() != width)
      return std::string(what) + " must have " + std::to_string(width) + " characters";
  return "";
}

std::string setMode(std::uint8_t &field, std::string_view value) {
  if (value != "0" && value != "1") return "mode must be 0 or 1";
  field = static_cast<std::uint8_t>(value[0]);
  return "";
}

std::string setMs(long &field, std::string_view value) {
  std::optional<unsigned long> ms = parseNumber(value, 3600000);
  if (!ms) return "milliseconds must be a number from 0 to 3600000";
  field = static_cast<long>(*ms);
  return "";
}

std::string setSingleByte(char &field, std::string_view value) {
  std::optional<std::string> bytes = unescapeText(value);
  if (!bytes || bytes->size() != 1) return "expected exactly one byte (C escapes allowed)";
  field = (*bytes)[0];
  return "";
}

std::string optFreq(Options &o, std::string_view v) { return setFrequency(o.block[kMainFreq], v); }
std::string optAltFreq(Options &o, std::string_view v) { return setFrequency(o.block[kAltFreq], v); }

std::string optFips(Options &o, std::string_view v) {
  std::vector<std::string_view> codes;
  std::string error = setCodes(v, kFipsSlots, kFipsLen, "FIPS codes", codes);
  if (error.empty()) putFipsSlots(o.block, codes);
  return error;
}

std::string optEvents(Options &o, std::string_view v) {
  std::vector<std::string_view> codes;
  std::string error = setCodes(v, kEventSlots, kEventLen, "event codes", codes);
  if (error.empty()) putEventSlots(o.block, codes);
  return error;
}

std::string optEom(Options &o, std::string_view v) { return setMode(o.block[kEomReset], v); }
std::string optAltMode(Options &o, std::string_view v) { return setMode(o.block[kAltFreqMode], v); }

std::string optLastMsg(Options &o, std::string_view v) {
  std::optional<std::string> text = unescapeText(v);
  if (!text) return "bad escape";
  if (text->size() > kLastMsgLen) return "at most 236 bytes";
  putLastMsg(o.block, *text);
  return "";
}

std::string optByte(Options &o, std::string_view v) {
  size_t equals = v.find('=');
  if (equals == std::string_view::npos) return "expected OFF=VAL";
  std::optional<unsigned long> offset = parseNumber(v.substr(0, equals), kBlockSize - 1);
  std::optional<unsigned long> value = parseNumber(v.substr(equals + 1), 0xFF);
  if (!offset || !value) return "expected OFF=VAL with OFF 0..511 and VAL 0..255";
  o.pokes.emplace_back(*offset, static_cast<std::uint8_t>(*value));
  return "";
}

std::string optIdent(Options &o, std::string_view v) {
  std::optional<std::string> text = unescapeText(v);
  if (!text) return "bad escape";
  o.ident = *text;
  return "";
}

std::string optSend(Options &o, std::string_view v) {
  o.sends.emplace_back(v);
  return "";
}

std::string optSendDelay(Options &o, std::string_view v) { return setMs(o.sendDelayMs, v); }

std::string optBaud(Options &o, std::string_view v) {
  std::optional<unsigned long> baud = parseNumber(v, 4000000);
  if (!baud || *baud < 10) return "baud must be a number from 10 to 4000000";
  o.baud = static_cast<long>(*baud);
  return "";
}

std::string optLink(Options &o, std::string_view v) {
  if (v.empty()) return "empty path";
  o.link = std::string(v);
  return "";
}

std::string optDump(Options &o, std::string_view) {
  o.dump = true;
  return "";
}

std::string optMute(Options &o, std::string_view v) {
  o.mute = std::string(v);
  return "";
}

std::string optExtra(Options &o, std::string_view v) {
  std::optional<unsigned long> count = parseNumber(v, 1000000);
  if (!count) return "expected a count from 0 to 1000000";
  o.extra = *count;
  return "";
}

std::string optPAnswer(Options &o, std::string_view v) { return setSingleByte(o.pAnswer, v); }

std::string optUploadAnswer(Options &o, std::string_view v) {
  if (v == "none") {
    o.uploadAnswer.reset();
    return "";
  }
  char byte = 0;
  std::string error = setSingleByte(byte, v);
  if (error.empty()) o.uploadAnswer = byte;
  return error;
}

std::string optUploadTimeout(Options &o, std::string_view v) {
  return setMs(o.uploadTimeoutMs, v);
}

std::string optHelp(Options &o, std::string_view) {
  o.help = true;
  return "";
}

std::string optVersion(Options &o, std::string_view) {
  o.version = true;
  return "";
}

struct OptionSpec {
  std::string_view name;
  bool takesValue;
  OptionSetter set;
};

constexpr std::array<OptionSpec, 22> kOptions = {{
    {"--freq", true, optFreq},
    {"--altfreq", true, optAltFreq},
    {"--fips", true, optFips},
    {"--events", true, optEvents},
    {"--eomreset", true, optEom},
    {"--usealtfreq", true, optAltMode},
    {"--lastmsg", true, optLastMsg},
    {"--byte", true, optByte},
    {"--ident", true, optIdent},
    {"--send", true, optSend},
    {"--send-delay", true, optSendDelay},
    {"--baud", true, optBaud},
    {"--link", true, optLink},
    {"--dump", false, optDump},
    {"--mute", true, optMute},
    {"--extra", true, optExtra},
    {"--p-answer", true, optPAnswer},
    {"--upload-answer", true, optUploadAnswer},
    {"--upload-timeout", true, optUploadTimeout},
    {"--help", false, optHelp},
    {"-h", false, optHelp},
    {"--version", false, optVersion},
}};

const OptionSpec *findOption(std::string_view name) {
  for (const OptionSpec &spec : kOptions)
    if (spec.name == name) return &spec;
  return nullptr;
}

// Reads the command line: "--name VALUE" or "--name=VALUE".
ParseResult parseOptions(int argc, char **argv) {
  ParseResult result;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view name = arg.substr(0, arg.find('='));
    const OptionSpec *spec = findOption(name);
    if (spec == nullptr) {
      result.error = "unknown option " + std::string(arg);
      return result;
    }
    std::string_view value;
    bool inline_value = name.size() < arg.size();
    if (inline_value) {
      value = arg.substr(name.size() + 1);
    } else if (spec->takesValue) {
      const char *next = toolkit::nextArgument(argc, argv, &i);
      if (next == nullptr) {
        result.error = toolkit::missingValueText(std::string(name));
        return result;
      }
      value = next;
    }
    if (inline_value && !spec->takesValue) {
      result.error = std::string(name) + " takes no value";
      return result;
    }
    std::string error = spec->set(result.options, value);
    if (!error.empty()) {
      result.error = std::string(name) + " " + std::string(value) + ": " + error;
      return result;
    }
  }
  for (auto [offset, value] : result.options.pokes) result.options.block[offset] = value;
  return result;
}

// ---------------------------------------------------------------------------
// Descriptors, the pseudo-terminal and the link.

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd &&other) noexcept : fd_(other.release()) {}
  Fd &operator=(Fd &&other) noexcept {
    reset(other.release());
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

void makeRaw(int fd) {
  termios attrs{};
  if (tcgetattr(fd, &attrs) != 0) return;
  attrs.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF);
  attrs.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  attrs.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  attrs.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  attrs.c_cflag |= CS8 | CREAD | CLOCAL;
  attrs.c_cc[VMIN] = 1;
  attrs.c_cc[VTIME] = 0;
  cfsetispeed(&attrs, B2400);
  cfsetospeed(&attrs, B2400);
  tcsetattr(fd, TCSANOW, &attrs);
}

// Opens the slave ourselves for a moment: sets it raw, discards bytes that
// nobody read, and on closing leaves the master reporting a hang-up until the
// other side opens it.  That hang-up is how an opening is noticed.
void resetSlave(const std::string &name) {
  Fd slave(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!slave.valid()) return;
  makeRaw(slave.get());
  tcflush(slave.get(), TCIFLUSH);
}

struct Pty {
  Fd master;
  std::string name;
};

// A new pseudo-terminal with a non-blocking master; nothing when it cannot be made.
std::optional<Pty> openPty(std::string &error) {
  Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
    error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return std::nullopt;
  }
  const char *name = ptsname(master.get());
  if (name == nullptr) {
    error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
    return std::nullopt;
  }
  Pty pty{std::move(master), name};
  resetSlave(pty.name);
  return pty;
}

// A symbolic link kept pointing at the current slave.
class Link {
 public:
  explicit Link(std::string path) : path_(std::move(path)) {}
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;
  ~Link() { remove(); }

  bool enabled() const { return !path_.empty(); }

  // True when the path is free or already a symbolic link (which we may replace).
  bool usable(std::string &error) const {
    struct stat info {};
    if (!enabled() || lstat(path_.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return true;
    error = path_ + " exists and is not a symbolic link";
    return false;
  }

  // Points the link at `target`, replacing the old one in a single step.
  bool point(const std::string &target, std::string &error) {
    if (!enabled()) return true;
    std::string temp = path_ + ".zud-sim." + std::to_string(getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), path_.c_str()) != 0) {
      error = "cannot link " + path_ + ": " + std::strerror(errno);
      ::unlink(temp.c_str());
      return false;
    }
    target_ = target;
    return true;
  }

  // Removes the link if it is still ours.
  void remove() {
    if (!enabled() || target_.empty()) return;
    char current[4096];
    ssize_t n = ::readlink(path_.c_str(), current, sizeof current - 1);
    if (n >= 0 && std::string(current, static_cast<size_t>(n)) == target_) ::unlink(path_.c_str());
    target_.clear();
  }

 private:
  std::string path_;
  std::string target_;
};

// ---------------------------------------------------------------------------
// Signals arrive through a pipe so that the loop handles them in turn.

int gSignalWrite = -1;

extern "C" void onSignal(int sig) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(sig);
  if (gSignalWrite >= 0) (void)!::write(gSignalWrite, &byte, 1);
  errno = saved;
}

bool setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The read end of the signal pipe; invalid when it cannot be set up.
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

// ---------------------------------------------------------------------------
// Output pacing: a line of `baud` carries baud/10 bytes a second.

class Pacer {
 public:
  explicit Pacer(long baud) : bytesPerSecond_(baud / 10.0) {}

  bool paced() const { return bytesPerSecond_ > 0; }
  void restart(Clock::time_point now) {
    start_ = now;
    sent_ = 0;
  }
  // How many bytes may go out now.
  size_t allowance(Clock::time_point now) const {
    if (!paced()) return SIZE_MAX;
    double elapsed = std::chrono::duration<double>(now - start_).count();
    auto due = static_cast<size_t>(elapsed * bytesPerSecond_) + 1;
    return due > sent_ ? due - sent_ : 0;
  }
  // When the next byte may go out.
  Clock::time_point nextDue() const {
    auto offset = std::chrono::duration<double>(sent_ / bytesPerSecond_);
    return start_ + std::chrono::duration_cast<Clock::duration>(offset);
  }
  void account(size_t count) { sent_ += count; }

 private:
  double bytesPerSecond_;
  Clock::time_point start_{};
  size_t sent_ = 0;
};

// ---------------------------------------------------------------------------
// The simulator.

struct OutputItem {
  std::string bytes;
  std::string report;  // printed as "sent REPORT" when the last byte is out
  size_t done = 0;
};

enum class LineState { Absent, Closed, Open };

int msUntil(Clock::time_point when, Clock::time_point now) {
  if (when <= now) return 0;
  auto ms = std::chrono::duration_cast<milliseconds>(when - now).count() + 1;
  return static_cast<int>(std::min<long long>(ms, 60000));
}

class Simulator {
 public:
  explicit Simulator(Options options)
      : options_(std::move(options)), block_(options_.block), link_(options_.link),
        pacer_(options_.baud), sends_(options_.sends) {}

  // Opens the first terminal and runs until stopped; the exit status.
  int run();

 private:
  bool openTerminal();
  void hangUp(bool keepLink);
  void closeTerminal();

  void buildPoll(std::vector<pollfd> &fds);
  int pollTimeout(Clock::time_point now) const;
  void handleSignals();
  void handleStdin();
  void handleMaster(short revents);
  void checkClosedLine();
  void runTimers(Clock::time_point now);

  void readMaster();
  void lineOpened();
  void lineClosed();
  void handleByte(std::uint8_t byte);
  void handleCommand(char command);
  void uploadByte(std::uint8_t byte);
  void finishUpload();
  void abandonUpload();

  void handleInputLine(std::string line);
  void handleDirective(std::string_view directive);

  void enqueue(std::string bytes, std::string report);
  void sendLine(std::string_view text);
  void dropOutput();
  void flushOutput();

  Options options_;
  Block block_;
  Link link_;
  Pacer pacer_;
  Fd master_;
  std::string slaveName_;
  LineState line_ = LineState::Absent;
  unsigned terminalGeneration_ = 0;  // counts openings and hang-ups
  bool writeBlocked_ = false;
  std::deque<OutputItem> output_;

  bool uploading_ = false;
  std::string upload_;
  Clock::time_point lastUploadByte_{};

  std::vector<std::string> sends_;  // waiting for the first opening
  std::optional<Clock::time_point> sendsDue_;

  Fd signals_;
  bool stdinOpen_ = true;
  std::string stdinBuffer_;
  bool quit_ = false;
};

// One event line on standard output.
void say(const std::string &line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void complain(const std::string &text) { toolkit::complain(kProgram, text); }

bool Simulator::openTerminal() {
  std::string error;
  std::optional<Pty> pty = openPty(error);
  if (!pty) {
    complain(error);
    return false;
  }
  master_ = std::move(pty->master);
  slaveName_ = pty->name;
  ++terminalGeneration_;
  line_ = LineState::Closed;
  writeBlocked_ = false;
  if (!link_.point(slaveName_, error)) complain(error);
  say("pty " + slaveName_);
  return true;
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
  signals_ = installSignals();
  std::string error;
  if (!signals_.valid() || !link_.usable(error)) {
    complain(signals_.valid() ? error : std::string("cannot set up signals"));
    return toolkit::exitFailure;
  }
  if (!openTerminal()) return toolkit::exitFailure;
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

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ParseResult parsed = parseOptions(argc, argv);
  if (!parsed.error.empty()) {
    complain(parsed.error);
    std::fprintf(stderr, "Try '%s --help'.\n", kProgram);
    return toolkit::exitUsage;
  }
  if (parsed.options.help) {
    std::fputs(kUsage, stdout);
    return toolkit::exitOk;
  }
  if (parsed.options.version) {
    std::printf("%s %s\n", kProgram, ZUD_VERSION);
    return toolkit::exitOk;
  }
  Simulator simulator(std::move(parsed.options));
  return simulator.run();
}
