// A configuration file's bytes -> loading at creation -> saving -> loading.
//
// The file may have been edited by hand or cut short by a full disk.  Loading
// must refuse it or install it without overrunning anything, and whatever was
// installed must save into a file that loads back into the same file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "xPL.h"
#include "fuzz_support.h"

namespace {

std::string directory;

int setUp() {
  fuzzsupport::divertSending();
  char pattern[] = "/tmp/zud-configfile-fuzz-XXXXXX";
  if (mkdtemp(pattern) == NULL) return -1;
  directory = pattern;
  return 0;
}

std::string readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static int ready = setUp();
  if (ready != 0) return 0;
  const std::string path = directory + "/zud.xpl";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  xPL_ServicePtr loaded = xPL_createConfigurableService("kelvora", "zud", path.c_str());
  if (loaded != NULL && xPL_isServiceConfigured(loaded) && xPL_saveServiceConfig(loaded)) {
    const std::string saved = readAll(path);
    xPL_ServicePtr reloaded = xPL_createConfigurableService("kelvora", "zud", path.c_str());
    if (!xPL_isServiceConfigured(reloaded) || !xPL_saveServiceConfig(reloaded) ||
        readAll(path) != saved) {
      fprintf(stderr, "a saved configuration does not load back the same:\n%s", saved.c_str());
      abort();
    }
    xPL_releaseService(reloaded);
  }
  if (loaded != NULL) xPL_releaseService(loaded);
  unlink(path.c_str());
  return 0;
}
