// Raw sound from a source of sound, in pieces of fuzzer-chosen size ->
// audiostream -> the demodulator -> each header it gives out to the decoder.
//
// A radio gives whatever the air holds: sync, reading and the header search
// must take any samples at any rate without reading outside what they hold,
// and whatever header comes out must be one the decoder reads.
#include <cstdint>
#include <string>

#include "same/decoder.h"
#include "sources/audiostream.h"
#include "sources/linesource.h"

namespace {

bool heardheader(std::string_view header, void *) {
  // Only what the decoder takes may come out of the demodulator.
  const decoding decoded = decodesame(withpreamble(header), CountyNames::all, 1796700000);
  if (!std::holds_alternative<alert>(decoded)) __builtin_trap();
  return true;
}

void keptmessage(const std::string &, const std::string &, double, void *) {}
void levelchanged(bool, const std::string &, void *) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 2 || size > 262144) return 0;
  // The first byte chooses the rate (8,000 to 48,000 in steps of 2,000), the
  // second the piece size (1 to 256 samples' worth of bytes, any parity).
  const int rate = 8000 + (data[0] % 21) * 2000;
  const std::size_t piece = static_cast<std::size_t>(data[1]) * 2 + 1;
  audiostream stream(audiosettings{rate, 180, ""}, "source 1", heardheader, keptmessage,
                     levelchanged, nullptr);
  const char *bytes = reinterpret_cast<const char *>(data);
  for (std::size_t at = 2; at < size; at += piece) {
    const std::size_t left = size - at;
    stream.feed(std::string_view(bytes + at, left < piece ? left : piece));
  }
  stream.finish();
  return 0;
}
