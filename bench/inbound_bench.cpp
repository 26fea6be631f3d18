// Inbound throughput of a service on loopback: datagrams per second that the
// library drains from its listener socket, parses, routes to a service
// listener and releases, while another thread blasts typical ten-value
// messages at the listener port.  Each iteration is one burst; the counters
// report what was lost at the socket and how often the system allocator was
// called per message once the pools are warm.
//
// Runs in a private network namespace of its own, on the loopback interface.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "netns.h"
#include "xPL.h"

// --- Allocator calls, counted on the measuring thread only --------------------
// The benchmark is linked with --wrap for the four calls, so every call made
// from the library's objects lands here first.

namespace {
thread_local bool countAllocations = false;
thread_local long allocatorCalls = 0;
}  // namespace

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);

void *__wrap_malloc(size_t size) {
  if (countAllocations) allocatorCalls++;
  return __real_malloc(size);
}
void *__wrap_calloc(size_t count, size_t size) {
  if (countAllocations) allocatorCalls++;
  return __real_calloc(count, size);
}
void *__wrap_realloc(void *block, size_t size) {
  if (countAllocations) allocatorCalls++;
  return __real_realloc(block, size);
}
void __wrap_free(void *block) {
  if (countAllocations && block != nullptr) allocatorCalls++;
  __real_free(block);
}
}

// C++ allocations are counted as well.
void *operator new(size_t size) {
  void *block = __wrap_malloc(size != 0 ? size : 1);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void operator delete(void *block) noexcept { __wrap_free(block); }
void operator delete(void *block, size_t) noexcept { __wrap_free(block); }

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBurst = 10000;

// A typical alert: ten body values, about 300 bytes of text.
const char kMessage[] =
    "xpl-trig\n{\nhop=1\nsource=acme-sensor.bench\ntarget=*\n}\nweather.alert\n{\n"
    "originator=National Weather Service\nevent=Tornado Warning\nlocation=Ada ID\n"
    "location=Adams ID\nlocation=Boise ID\nduration=0030\ndate=01/22\ntime=18:02\n"
    "source=KBOI/NWS\nzone=016001\n}\n";

std::atomic<long> dispatched{0};

void countMessage(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) {
  dispatched.fetch_add(1, std::memory_order_relaxed);
}

// The library on the loopback interface with one service listening to all.
bool startLibrary() {
  static bool started = false;
  if (started) return true;
  xPL_setBroadcastInterface("lo");
  if (!xPL_initialize(xcViaHub)) return false;
  xPL_ServicePtr service = xPL_createService("kelvora", "bench", "inbound");
  if (service == nullptr) return false;
  xPL_addServiceListener(service, countMessage, xPL_MESSAGE_ANY, nullptr, nullptr, nullptr);
  started = true;
  return true;
}

// Sends `count` datagrams to the listener port.  With a window, it waits
// while that many are in flight (sent but not yet dispatched), so that the
// socket never overflows; without one it sends as fast as it can.
void blast(int port, long count, long window, std::atomic<bool> *go, std::atomic<long> *sent,
           std::atomic<bool> *finished) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const size_t length = sizeof kMessage - 1;
  while (!go->load(std::memory_order_acquire)) sched_yield();
  for (long i = 0; i < count; i++) {
    while (window > 0 && i - dispatched.load(std::memory_order_relaxed) >= window) sched_yield();
    if (sendto(fd, kMessage, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
        static_cast<ssize_t>(length))
      sent->fetch_add(1, std::memory_order_release);
  }
  close(fd);
  finished->store(true, std::memory_order_release);
}

struct BurstResult {
  long sent;
  long dispatched;
  long allocatorCalls;
  double seconds;
};

// One burst: the sender thread blasts while this thread runs the event loop
// until everything sent was dispatched, or nothing more arrives.
BurstResult runBurst(long window) {
  std::atomic<bool> go{false}, finished{false};
  std::atomic<long> sent{0};
  dispatched.store(0);
  std::thread sender(blast, xPL_getPort(), kBurst, window, &go, &sent, &finished);

  allocatorCalls = 0;
  countAllocations = true;
  auto start = Clock::now();
  auto lastProgress = start;
  long seen = 0;
  go.store(true, std::memory_order_release);
  while (seen < kBurst) {
    xPL_processMessages(1);
    long now = dispatched.load(std::memory_order_relaxed);
    if (now != seen) {
      seen = now;
      lastProgress = Clock::now();
    }
    // What has not arrived 200 ms after the sender finished was lost.
    if (finished.load(std::memory_order_acquire) &&
        Clock::now() - lastProgress > std::chrono::milliseconds(200))
      break;
  }
  auto end = seen >= kBurst ? Clock::now() : lastProgress;
  countAllocations = false;
  sender.join();
  return {sent.load(), seen, allocatorCalls, std::chrono::duration<double>(end - start).count()};
}

void BM_InboundBurst(benchmark::State &state) {
  const long window = state.range(0);
  if (!startLibrary()) {
    state.SkipWithError("the xPL library did not start on lo");
    return;
  }
  runBurst(window);  // warm-up: fills the pools

  long sent = 0, received = 0, calls = 0;
  for (auto _ : state) {
    BurstResult result = runBurst(window);
    state.SetIterationTime(result.seconds);
    sent += result.sent;
    received += result.dispatched;
    calls += result.allocatorCalls;
  }
  state.SetItemsProcessed(received);
  state.counters["lost"] =
      benchmark::Counter(static_cast<double>(sent - received), benchmark::Counter::kAvgIterations);
  state.counters["allocs_per_msg"] =
      benchmark::Counter(received > 0 ? static_cast<double>(calls) / received : 0.0);
}

// 0: an unpaced blast; 512: at most 512 datagrams in flight.
BENCHMARK(BM_InboundBurst)->Arg(0)->Arg(512)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  // Before any thread exists: the namespace is entered by this thread alone.
  testsupport::enterPrivateNetworkNamespace();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
