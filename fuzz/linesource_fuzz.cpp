// What a line source's command prints, in pieces of fuzzer-chosen size ->
// lineassembler -> readsourceline -> passes -> the decoder.
//
// A decoder behind a radio prints whatever the air gives it: line assembly
// must hold to its limit across any split of the stream, the line reading,
// the filter and the repeat window must take any text, and a header that
// passes must reach the decoder with its preamble.
#include <cstdint>
#include <string>

#include "same/decoder.h"
#include "sources/linereader.h"
#include "sources/linesource.h"
#include "same/samefilter.h"

namespace {

struct Source {
  lineassembler lines{512, lineassembler::overlong::discard};
  samefilter filter{{"016001", "041000", "??????"}, {"TOR", "SVR", "???"}};
  repeatwindow window{15000};
  std::int64_t now = 0;
};

void heard(std::string_view line, void *owner) {
  Source &source = *static_cast<Source *>(owner);
  const sourceline read = readsourceline(line);
  if (read.kind != linekind::header || !passes(source.filter, read.header)) return;
  source.now += 1000;
  if (source.window.repeat(std::string(read.header), source.now)) return;
  decodesame(withpreamble(read.header), CountyNames::all, 1796700000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0 || size > 8192) return 0;
  Source source;
  // The first byte sets the piece size (1 to 256 bytes).
  const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
  const char *text = reinterpret_cast<const char *>(data);
  for (std::size_t at = 1; at < size; at += piece) {
    const std::size_t left = size - at;
    source.lines.feed(std::string_view(text + at, left < piece ? left : piece), heard, &source);
  }
  source.lines.finish(heard, &source);
  return 0;
}
