// Message layer speed and allocation behaviour: parsing, formatting and the
// create-fill-format-release cycle of an outgoing alert.  Each benchmark
// reports "allocator_calls": calls to malloc, calloc, realloc and free made
// during its measured loop, which must be 0 once the pools are warm.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "corpus.h"
#include "xPL_priv.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *ptr, size_t size);
void __real_free(void *ptr);
}

namespace {

bool counting = false;
long allocatorCalls = 0;

inline void noteCall() {
  if (counting) allocatorCalls++;
}

// Counts the allocator calls made inside one measured loop.
class AllocatorCount {
 public:
  AllocatorCount() {
    allocatorCalls = 0;
    counting = true;
  }
  ~AllocatorCount() { counting = false; }
  AllocatorCount(const AllocatorCount &) = delete;
  AllocatorCount &operator=(const AllocatorCount &) = delete;
  long calls() const { return allocatorCalls; }
};

// A typical inbound message: the standard header and ten body pairs.
const std::string kTenPairText =
    "xpl-trig\n{\nhop=1\nsource=kelvora-zud.c0a8010a0021i3v9\ntarget=*\n}\n"
    "weather.alert\n{\n"
    "originator=National Weather Service\nevent=Tornado Warning\n"
    "location=Oklahoma County, OK\nlocation=Cleveland County, OK\n"
    "duration=0045\ndate=2026-12-05\ntime=19:41\nsource=KOUN/NWS\n"
    "fips=040109\nsame=ZCZC-WXR-TOR-040109-040027+0045-3392341-KOUN/NWS-\n}\n";

void fillTenPairs(xPL_MessagePtr message) {
  xPL_setSchema(message, "weather", "alert");
  xPL_addMessageNamedValue(message, "originator", "National Weather Service");
  xPL_addMessageNamedValue(message, "event", "Tornado Warning");
  xPL_addMessageNamedValue(message, "location", "Oklahoma County, OK");
  xPL_addMessageNamedValue(message, "location", "Cleveland County, OK");
  xPL_addMessageNamedValue(message, "duration", "0045");
  xPL_addMessageNamedValue(message, "date", "2026-12-05");
  xPL_addMessageNamedValue(message, "time", "19:41");
  xPL_addMessageNamedValue(message, "source", "KOUN/NWS");
  xPL_addMessageNamedValue(message, "fips", "040109");
  xPL_addMessageNamedValue(message, "same", "ZCZC-WXR-TOR-040109-040027+0045-3392341-KOUN/NWS-");
}

xPL_MessagePtr newAlert() {
  xPL_MessagePtr message = xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_TRIGGER);
  // Borrowed, as from a service.
  message->sourceVendor = const_cast<char *>("kelvora");
  message->sourceDeviceID = const_cast<char *>("zud");
  message->sourceInstanceID = const_cast<char *>("c0a8010a0021i3v9");
  fillTenPairs(message);
  return message;
}

void BM_ParseAndRelease(benchmark::State &state) {
  const char *text = kTenPairText.c_str();
  for (int i = 0; i < 10; i++) xPL_releaseMessage(parseMessage(text));  // warm the pools

  AllocatorCount count;
  for (auto _ : state) {
    xPL_MessagePtr message = parseMessage(text);
    benchmark::DoNotOptimize(message);
    xPL_releaseMessage(message);
  }
  state.counters["allocator_calls"] = static_cast<double>(count.calls());
}
BENCHMARK(BM_ParseAndRelease);

constexpr std::size_t kCorpusSize = 20000;
constexpr std::uint32_t kCorpusSeed = 13;

void BM_ParseCorpus(benchmark::State &state) {
  static const corpus::Datagrams datagrams = corpus::typicalDatagrams(kCorpusSize, kCorpusSeed);
  // One pass warms the pools and checks that every datagram is accepted; a
  // rejected one would be timed as an early exit.
  long pairs = 0;
  for (std::size_t i = 0; i < datagrams.size(); i++) {
    xPL_MessagePtr message = parseMessage(datagrams.at(i));
    if (message == nullptr) {
      state.SkipWithError(("corpus datagram " + std::to_string(i) + " rejected").c_str());
      return;
    }
    pairs += xPL_getNamedValueCount(xPL_getMessageBody(message));
    xPL_releaseMessage(message);
  }

  long parsed = 0;
  long calls = 0;
  {
    AllocatorCount count;
    std::size_t next = 0;
    for (auto _ : state) {
      xPL_MessagePtr message = parseMessage(datagrams.at(next));
      benchmark::DoNotOptimize(message);
      xPL_releaseMessage(message);
      if (++next == datagrams.size()) next = 0;
    }
    calls = count.calls();
  }
  parsed = static_cast<long>(state.iterations());
  state.counters["allocator_calls"] = static_cast<double>(calls);
  state.counters["allocs_per_msg"] =
      parsed > 0 ? static_cast<double>(calls) / static_cast<double>(parsed) : 0.0;
  state.counters["corpus_msgs"] = static_cast<double>(datagrams.size());
  state.counters["avg_bytes"] = static_cast<double>(datagrams.text.size() - datagrams.size()) /
                                static_cast<double>(datagrams.size());
  state.counters["avg_pairs"] =
      static_cast<double>(pairs) / static_cast<double>(datagrams.size());
}
BENCHMARK(BM_ParseCorpus);

void BM_Format(benchmark::State &state) {
  xPL_MessagePtr message = newAlert();
  benchmark::DoNotOptimize(xPL_formatMessage(message));

  long calls = 0;
  {
    AllocatorCount count;
    for (auto _ : state) {
      String text = xPL_formatMessage(message);
      benchmark::DoNotOptimize(text);
    }
    calls = count.calls();
  }
  state.counters["allocator_calls"] = static_cast<double>(calls);
  xPL_releaseMessage(message);
}
BENCHMARK(BM_Format);

void BM_CreateFillFormatRelease(benchmark::State &state) {
  for (int i = 0; i < 10; i++) xPL_releaseMessage(newAlert());

  AllocatorCount count;
  for (auto _ : state) {
    xPL_MessagePtr message = newAlert();
    benchmark::DoNotOptimize(xPL_formatMessage(message));
    xPL_releaseMessage(message);
  }
  state.counters["allocator_calls"] = static_cast<double>(count.calls());
}
BENCHMARK(BM_CreateFillFormatRelease);

// Control for the counter itself: strings over 255 characters bypass the
// pools, so each iteration must show exactly two calls (malloc and free).
void BM_CounterControlLargeString(benchmark::State &state) {
  const std::string large(300, 'L');
  long iterations = 0;
  AllocatorCount count;
  for (auto _ : state) {
    xPL_FreeStr(xPL_StrDup(large.c_str()));
    iterations++;
  }
  state.counters["allocator_calls_per_iteration"] =
      static_cast<double>(count.calls()) / static_cast<double>(iterations);
}
BENCHMARK(BM_CounterControlLargeString);

}  // namespace

extern "C" {
void *__wrap_malloc(size_t size) {
  noteCall();
  return __real_malloc(size);
}
void *__wrap_calloc(size_t count, size_t size) {
  noteCall();
  return __real_calloc(count, size);
}
void *__wrap_realloc(void *ptr, size_t size) {
  noteCall();
  return __real_realloc(ptr, size);
}
void __wrap_free(void *ptr) {
  noteCall();
  __real_free(ptr);
}
}

BENCHMARK_MAIN();
