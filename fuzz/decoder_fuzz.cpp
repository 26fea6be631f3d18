// A receiver line -> decodesame, with each way of naming counties.
//
// The line comes off a serial port, so any bytes may arrive: the decoder
// must never read past the line's end, and whatever it returns must be an
// alert whose every value fits the value buffer, or a rejection that names
// the line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "same/decoder.h"

namespace {

// Stops the run when a decoded value breaks what the sending side relies on.
void require(bool holds) {
  if (!holds) std::abort();
}

void check(const decoding &decoded, std::string_view line) {
  if (const alert *values = std::get_if<alert>(&decoded)) {
    require(!values->locations.empty());
    for (const std::string &location : values->locations) require(location.size() < datasize);
    for (const std::string *value : {&values->originator, &values->event, &values->duration,
                                     &values->date, &values->time, &values->source}) {
      require(value->size() < datasize);
    }
  } else if (const rejection *why = std::get_if<rejection>(&decoded)) {
    const std::string_view text = why->text;
    const bool preamble = text.rfind("bad preamble length: ", 0) == 0;
    const bool endsWithLine =
        text.size() > line.size() && text.substr(text.size() - line.size()) == line;
    require(preamble || endsWithLine);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // The line as the receiver hands it over: up to its first NUL, in a buffer
  // of exactly that size, so that a read past its end is caught.
  const std::size_t length = strnlen(reinterpret_cast<const char *>(data), size);
  auto line = std::make_unique<char[]>(length > 0 ? length : 1);
  std::memcpy(line.get(), data, length);
  const std::string_view text(line.get(), length);
  // Every line in both ways of naming locations: the longer names of the
  // whole county list must fit as well as the single words.
  for (CountyNames names : {CountyNames::singleWord, CountyNames::all}) {
    check(decodesame(text, names), text);
  }
  return 0;
}
