// Cost of keeping one alert in the alert store, as zud does after each
// alert's trigger has gone out: one transaction with the alert and its
// locations, WAL journal, synchronous=NORMAL.  Measured in wall time (the
// disk's time counts) on tmpfs (/dev/shm) and on disk (the working
// directory).  Target: at most 200 us per alert.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "store/alertstore.h"
#include "same/decoder.h"

namespace {

const std::string kSample =
    std::string(16, '\xAB') +
    "ZCZC-WXR-RWT-016001-016003-016015-016027-016039-016045-016073-016075-016085-016087-041045"
    "+0030-2201802-KBOI/NWS-";

// A fresh store in `dir`, removed with its -wal and -shm files at the end.
class ScratchStore {
 public:
  explicit ScratchStore(const std::string &dir)
      : path_(dir + "/store_bench." + std::to_string(getpid()) + ".db") {
    remove();
  }
  ~ScratchStore() {
    store.close();
    remove();
  }
  ScratchStore(const ScratchStore &) = delete;
  ScratchStore &operator=(const ScratchStore &) = delete;
  const std::string &path() const { return path_; }
  alertstore store;

 private:
  void remove() {
    for (const char *suffix : {"", "-wal", "-shm"}) unlink((path_ + suffix).c_str());
  }
  std::string path_;
};

void storeAlerts(benchmark::State &state, const std::string &dir) {
  ScratchStore scratch(dir);
  if (!scratch.store.open(scratch.path())) {
    state.SkipWithError(("cannot open " + scratch.path() + ": " + scratch.store.error()).c_str());
    return;
  }
  const decoding decoded = decodesame(kSample, CountyNames::singleWord);
  heardalert heard{std::get<alert>(decoded), std::time(nullptr), "/dev/ttyUSB0"};
  long long serial = 0;
  for (auto _ : state) {
    // Each alert is new (its issue time differs), as most alerts are.
    heard.values.issued += 60;
    heard.received = static_cast<std::time_t>(++serial);
    if (!scratch.store.addalert(heard)) {
      state.SkipWithError(scratch.store.error().c_str());
      return;
    }
  }
}

void BM_StoreAlertTmpfs(benchmark::State &state) { storeAlerts(state, "/dev/shm"); }
void BM_StoreAlertDisk(benchmark::State &state) { storeAlerts(state, "."); }

BENCHMARK(BM_StoreAlertTmpfs)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreAlertDisk)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
