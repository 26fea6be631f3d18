// A receiver line -> parsesame, with each way of naming counties.
//
// The line comes off a serial port, so any bytes may arrive: the decoder
// must never read past the line's end, and what it sends must be a message
// that formats within the datagram size.
#include <cstdint>
#include <cstdio>
#include <string>

#include "decoder.h"
#include "fuzz_support.h"

namespace {

int setUp() {
  zudService = xPL_createService("kelvora", "zud", "fuzz");
  fuzzsupport::divertSending();
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static int ready = setUp();
  (void)ready;
  std::string line(reinterpret_cast<const char *>(data), size);  // adds the NUL
  // Every line in both ways of naming locations: the longer names of the
  // whole county list must fit as well as the single words.
  for (CountyNames names : {CountyNames::singleWord, CountyNames::all}) {
    countynames = names;
    parsesame(reinterpret_cast<const unsigned char *>(line.c_str()));
  }
  return 0;
}
