// Bytes from the serial port, in pieces of fuzzer-chosen size -> zudread,
// and each line on through parsesame.
//
// Line assembly must cope with any split of the stream, with lines that
// never end and with stray NUL and CR bytes, and hand each line to the
// decoder without overrunning its 512-byte buffer; every alert must go out
// whole, in as many triggers as it takes.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

#include "outputs/xploutput.h"
#include "fuzz_support.h"
#include "sources/receiver.h"

namespace {

struct Link {
  receiver port;
  int writeEnd = -1;
  bool ready = false;

  Link() {
    xPL_ServicePtr service = xPL_createService("kelvora", "zud", "fuzz");
    fuzzsupport::divertSending();
    port.owner = service;
    port.lineHandler = [](std::string_view line, void *owner) {
      const std::string text(line);
      parsesame(reinterpret_cast<const unsigned char *>(text.c_str()),
                static_cast<xPL_ServicePtr>(owner), CountyNames::singleWord);
    };
    int ends[2];
    if (pipe(ends) != 0) return;
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    port.ttyfd = ends[0];
    writeEnd = ends[1];
    ready = true;
  }

  // Hands piece to zudread as one read would return it.
  void arrive(const std::uint8_t *piece, std::size_t size) {
    if (size > 0 && write(writeEnd, piece, size) != static_cast<ssize_t>(size)) return;
    zudread(port.ttyfd, 0, port.handle);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static Link link;
  if (!link.ready || size == 0 || size > 8192) return 0;
  // The first byte sets the piece size (1 to 256 bytes).
  const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
  for (std::size_t at = 1; at < size; at += piece) {
    const std::size_t left = size - at;
    link.arrive(data + at, left < piece ? left : piece);
  }
  // End whatever line is left so that the next input starts afresh.
  static const std::uint8_t lineFeed = '\n';
  link.arrive(&lineFeed, 1);
  int waiting = 0;
  while (ioctl(link.port.ttyfd, FIONREAD, &waiting) == 0 && waiting > 0) {
    zudread(link.port.ttyfd, 0, link.port.handle);
  }
  return 0;
}
