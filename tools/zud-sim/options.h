// zud-sim's command line: what the simulated receiver holds and how it
// behaves, misbehaviour included.
#ifndef ZUD_SIM_OPTIONS_H
#define ZUD_SIM_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "block.h"
#include "protocol.h"
#include "toolkit.h"

namespace zudsim {

constexpr const char *kProgram = "zud-sim";

constexpr std::string_view kDefaultIdent = "zud-sim receiver " ZUD_VERSION "\r\n";
constexpr int kDefaultUploadTimeoutMs = 5000;

// The text of --help.
extern const char kUsage[];

// What the command line asks for.
struct Options {
  Block block = defaultBlock();
  // Single bytes set by --byte, applied once all the fields are in place.
  std::vector<std::pair<size_t, std::uint8_t>> pokes;
  std::string ident{kDefaultIdent};
  std::vector<std::string> sends;
  long sendDelayMs = 0;
  long baud = 0;  // 0: no pacing
  std::string link;
  // The slave's permission bits and group, as given; checked when the
  // simulator starts (see resolveAccess).
  std::optional<std::string> mode;
  std::optional<std::string> group;
  bool dump = false;
  std::string mute;
  size_t extra = 0;
  char pAnswer = kReady;
  std::optional<char> uploadAnswer = kAccepted;  // nothing: stay silent
  long uploadTimeoutMs = kDefaultUploadTimeoutMs;
  bool help = false;
  bool version = false;
};

// The options, or why the command line was refused.
struct ParseResult {
  Options options;
  std::string error;  // empty when the command line was good
};

// Reads the command line: "--name VALUE" or "--name=VALUE".
ParseResult parseOptions(int argc, char **argv);

}  // namespace zudsim

#endif  // ZUD_SIM_OPTIONS_H
