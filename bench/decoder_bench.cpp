// Cost of decoding one SAME header (its values alone, and the whole way to a
// sent alert) and of formatting the alert it becomes.
// Targets: at most 10 us for each.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "outputs/xploutput.h"
#include "xPL_priv.h"

namespace {

const std::string kSample =
    std::string(16, '\xAB') +
    "ZCZC-WXR-RWT-016001-016003-016015-016027-016039-016045-016073-016075-016085-016087-041045"
    "+0030-2201802-KBOI/NWS-";

Bool discardDatagram(const char *, int) { return TRUE; }

// Sends standard output to /dev/null while it lives: the decoder echoes
// every line it is given.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  QuietStdout(const QuietStdout &) = delete;
  QuietStdout &operator=(const QuietStdout &) = delete;

 private:
  int saved_;
};

// The gateway's service, with sends diverted to nowhere.
class BenchService {
 public:
  BenchService() : service_(xPL_createService("kelvora", "zud", "bench")) {
    xPL_setRawSender(discardDatagram);
  }
  ~BenchService() {
    xPL_setRawSender(nullptr);
    xPL_releaseService(service_);
  }
  BenchService(const BenchService &) = delete;
  BenchService &operator=(const BenchService &) = delete;
  xPL_ServicePtr get() const { return service_; }

 private:
  xPL_ServicePtr service_;
};

void BM_DecodeSample(benchmark::State &state) {
  BenchService service;
  const auto *line = reinterpret_cast<const unsigned char *>(kSample.c_str());
  QuietStdout quiet;
  for (auto _ : state) parsesame(line, service.get(), CountyNames::singleWord);
}
BENCHMARK(BM_DecodeSample);

void BM_DecodeSampleValues(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(decodesame(kSample, CountyNames::singleWord));
}
BENCHMARK(BM_DecodeSampleValues);

void BM_FormatSampleAlert(benchmark::State &state) {
  BenchService service;
  xPL_MessagePtr message = xPL_createBroadcastMessage(service.get(), xPL_MESSAGE_TRIGGER);
  xPL_setSchema(message, "weather", "alert");
  xPL_addMessageNamedValue(message, "originator", "National Weather Service");
  xPL_addMessageNamedValue(message, "event", "Required Weekly Test");
  for (const char *place : {"Ada ID", "Adams ID", "Boise ID", "Canyon ID", "Elmore ID", "Gem ID",
                            "Owyhee ID", "Payette ID", "Valley ID", "Washington ID",
                            "Malheur OR"}) {
    xPL_addMessageNamedValue(message, "location", place);
  }
  xPL_addMessageNamedValue(message, "duration", "30");
  xPL_addMessageNamedValue(message, "date", "20260808");
  xPL_addMessageNamedValue(message, "time", "180200");
  xPL_addMessageNamedValue(message, "source", "KBOI/NWS");
  if (xPL_formatMessage(message) == nullptr) {
    state.SkipWithError("the alert cannot be formatted");
  } else {
    for (auto _ : state) benchmark::DoNotOptimize(xPL_formatMessage(message));
  }
  xPL_releaseMessage(message);
}
BENCHMARK(BM_FormatSampleAlert);

}  // namespace

BENCHMARK_MAIN();
