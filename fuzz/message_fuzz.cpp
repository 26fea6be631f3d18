// Datagram text -> parseMessage -> xPL_formatMessage -> parseMessage.
//
// Whatever arrives from the network must be parsed without reading or
// writing out of bounds, and a message that parses must format into text
// that parses back into the same text: what a relay forwards is what it got.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xPL.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);  // adds the NUL
  xPL_MessagePtr message = parseMessage(text.c_str());
  if (message == NULL) return 0;
  String first = xPL_formatMessage(message);
  if (first != NULL) {
    std::string once(first);  // the format buffer is reused by the next call
    xPL_MessagePtr again = parseMessage(once.c_str());
    if (again == NULL) {
      fprintf(stderr, "formatted text does not parse back:\n%s", once.c_str());
      abort();
    }
    String second = xPL_formatMessage(again);
    if (second == NULL || once != second) {
      fprintf(stderr, "formatting is not stable:\n%s---\n%s", once.c_str(),
              second ? second : "(null)");
      abort();
    }
    xPL_releaseMessage(again);
  }
  xPL_releaseMessage(message);
  return 0;
}
