// Bytes from the serial port, in pieces of fuzzer-chosen size -> zudread.
//
// Line assembly must cope with any split of the stream, with lines that
// never end and with stray NUL and CR bytes, and hand each line to the
// decoder without overrunning its 512-byte buffer.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

#include "alert.h"
#include "receiver.h"
#include "fuzz_support.h"

namespace {

int writeEnd = -1;

int setUp() {
  zudService = xPL_createService("kelvora", "zud", "fuzz");
  fuzzsupport::divertSending();
  int ends[2];
  if (pipe(ends) != 0) return -1;
  fcntl(ends[0], F_SETFL, O_NONBLOCK);
  ttyfd = ends[0];
  writeEnd = ends[1];
  return 0;
}

// Hands piece to zudread as one read would return it.
void arrive(const std::uint8_t *piece, std::size_t size) {
  if (size > 0 && write(writeEnd, piece, size) != (ssize_t)size) return;
  zudread(ttyfd, 0, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static int ready = setUp();
  if (ready != 0 || size == 0 || size > 8192) return 0;
  // The first byte sets the piece size (1 to 256 bytes).
  std::size_t piece = (std::size_t)data[0] + 1;
  for (std::size_t at = 1; at < size; at += piece) {
    std::size_t left = size - at;
    arrive(data + at, left < piece ? left : piece);
  }
  // End whatever line is left so that the next input starts afresh.
  static const std::uint8_t lineFeed = '\n';
  arrive(&lineFeed, 1);
  int waiting = 0;
  while (ioctl(ttyfd, FIONREAD, &waiting) == 0 && waiting > 0) zudread(ttyfd, 0, 0);
  return 0;
}
