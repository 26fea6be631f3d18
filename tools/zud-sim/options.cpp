// zud-sim's command line.
#include "options.h"

#include <array>

#include "text.h"

namespace zudsim {

const char kUsage[] =
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
    "  --mode MODE           give the slave these permission bits (octal, 0 to\n"
    "                        0777, such as 0660) so that a gateway running as\n"
    "                        another user may open it\n"
    "  --group GROUP         give the slave this group (name or number), such as\n"
    "                        dialout for zud's service\n"
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
    "Exit status: 0 on a stop, 1 when no terminal can be opened, 2 on bad usage\n"
    "or when --mode or --group cannot be applied (bad mode, unknown group, the\n"
    "system refusing), before the first \"pty\" line.\n";

namespace {

// Frequencies accepted on the command line: the seven weather channels, with
// a little slack for rounding.
constexpr double kLowestMHz = 162.39;
constexpr double kHighestMHz = 162.56;

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

std::string optMode(Options &o, std::string_view v) {
  o.mode = std::string(v);
  return "";
}

std::string optGroup(Options &o, std::string_view v) {
  o.group = std::string(v);
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

struct OptionRule {
  std::string_view name;
  bool takesValue;
  OptionSetter set;
};

constexpr std::array<OptionRule, 24> kOptions = {{
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
    {"--mode", true, optMode},
    {"--group", true, optGroup},
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

const OptionRule *findOption(std::string_view name) {
  for (const OptionRule &option : kOptions)
    if (option.name == name) return &option;
  return nullptr;
}

}  // namespace

ParseResult parseOptions(int argc, char **argv) {
  ParseResult result;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view name = arg.substr(0, arg.find('='));
    const OptionRule *option = findOption(name);
    if (option == nullptr) {
      result.error = "unknown option " + std::string(arg);
      return result;
    }
    std::string_view value;
    bool inline_value = name.size() < arg.size();
    if (inline_value) {
      value = arg.substr(name.size() + 1);
    } else if (option->takesValue) {
      const char *next = toolkit::nextArgument(argc, argv, &i);
      if (next == nullptr) {
        result.error = toolkit::missingValueText(std::string(name));
        return result;
      }
      value = next;
    }
    if (inline_value && !option->takesValue) {
      result.error = std::string(name) + " takes no value";
      return result;
    }
    std::string error = option->set(result.options, value);
    if (!error.empty()) {
      result.error = std::string(name) + " " + std::string(value) + ": " + error;
      return result;
    }
  }
  for (auto [offset, value] : result.options.pokes) result.options.block[offset] = value;
  return result;
}

}  // namespace zudsim
