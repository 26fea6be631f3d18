// Speed of zud's SAME demodulator: a whole message at 22,050 Hz (three
// header bursts, the attention tone, voice, three "NNNN"), in noise at
// 12 dB Eb/N0, through a new demodulator.  Target: at least 100 times real
// time on one core; the "realtime" counter is the multiple.
#include <benchmark/benchmark.h>

#include <vector>

#include "same/demodulator.h"
#include "sameaudio.h"

namespace {

void BM_DemodulateMessage(benchmark::State &state) {
  testsupport::sameSignal signal;
  signal.amplitude = 4000;
  testsupport::sameAudio audio(signal);
  audio.silence(1);
  audio.message("ZCZC-WXR-TOR-016001-016027-016045+0045-3421742-KBOI/NWS-", 8, 10, 1);
  audio.noise(12, 1);
  const std::vector<std::int16_t> samples = audio.samples();
  std::vector<demodevent> events;
  for (auto _ : state) {
    demodulator demod(testsupport::sameSampleRate);
    events.clear();
    demod.push(samples.data(), samples.size(), events);
    demod.finish(events);
    benchmark::DoNotOptimize(events.data());
  }
  if (events.empty()) state.SkipWithError("the message's header was not heard");
  const double seconds = static_cast<double>(samples.size()) / testsupport::sameSampleRate;
  state.counters["realtime"] =
      benchmark::Counter(seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_DemodulateMessage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
