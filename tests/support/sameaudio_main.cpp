// test-same-audio HEADER: writes the sound of a SAME message with HEADER
// (three bursts, then three "NNNN") to standard output as raw signed 16-bit
// mono samples at 22,050 Hz, for multimon-ng -t raw -a EAS.  A helper of the
// tests and of scripts/demo --sdr; it is not installed.
#include <cstdio>
#include <cstring>
#include <string>

#include "sameaudio.h"

int main(int argc, char **argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(argc == 2 ? stdout : stderr,
                 "usage: test-same-audio 'ZCZC-ORG-EEE-PSSCCC+TTTT-JJJHHMM-STATION-' > FILE\n"
                 "Writes the message as raw signed 16-bit mono samples at 22,050 Hz.\n");
    return argc == 2 ? 0 : 2;
  }
  const std::string bytes = testsupport::rawBytes(testsupport::sameMessage(argv[1]));
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
                 std::fflush(stdout) == 0
             ? 0
             : 1;
}
