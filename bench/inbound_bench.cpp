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
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

constexpr long kMaxBatch = 32;

// A socket that sends the typical alert to a loopback port, up to kMaxBatch
// datagrams per system call.
class Sender {
 public:
  explicit Sender(int port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    to_.sin_family = AF_INET;
    to_.sin_port = htons(static_cast<uint16_t>(port));
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (mmsghdr &entry : batch_) {
      entry.msg_hdr.msg_name = &to_;
      entry.msg_hdr.msg_namelen = sizeof to_;
      entry.msg_hdr.msg_iov = &text_;
      entry.msg_hdr.msg_iovlen = 1;
    }
  }
  ~Sender() {
    if (fd_ >= 0) close(fd_);
  }
  Sender(const Sender &) = delete;
  Sender &operator=(const Sender &) = delete;

  // Sends up to `count` (at most kMaxBatch) in one call; how many went.
  int send(long count) {
    return sendmmsg(fd_, batch_, static_cast<unsigned>(std::min(count, kMaxBatch)), 0);
  }

 private:
  int fd_;
  sockaddr_in to_{};
  iovec text_{const_cast<char *>(kMessage), sizeof kMessage - 1};
  mmsghdr batch_[kMaxBatch]{};
};

// Sends `count` datagrams to the port, up to `batch` per system call
// (batches keep the sender ahead of the receiver).  With a window, it waits
// while that many are in flight (sent but not yet dispatched), so that the
// socket never overflows; without one it sends as fast as it can.
void blast(int port, long count, long batchSize, long window, std::atomic<bool> *go,
           std::atomic<long> *sent, std::atomic<bool> *finished) {
  Sender sender(port);
  while (!go->load(std::memory_order_acquire)) sched_yield();
  long done = 0;
  while (done < count) {
    long room = count - done;
    if (window > 0) {
      room = std::min(room, window - (done - dispatched.load(std::memory_order_relaxed)));
      if (room <= 0) {
        sched_yield();
        continue;
      }
    }
    int n = sender.send(std::min(room, batchSize));
    if (n <= 0) {
      done++;  // a datagram the system refused counts as sent and lost
      continue;
    }
    done += n;
    sent->fetch_add(n, std::memory_order_release);
  }
  finished->store(true, std::memory_order_release);
}

struct BurstResult {
  long sent;
  long dispatched;
  long allocatorCalls;
  double seconds;
  double cpuSeconds;  // of the receiving thread
};

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One burst to `port`: the sender thread blasts while this thread calls
// receive() (which adds what it hears to `dispatched`) until everything sent
// was heard, or nothing more arrives.
template <typename Receive>
BurstResult runBurst(int port, long batch, long window, Receive receive) {
  std::atomic<bool> go{false}, finished{false};
  std::atomic<long> sent{0};
  dispatched.store(0);
  std::thread sender(blast, port, kBurst, batch, window, &go, &sent, &finished);

  allocatorCalls = 0;
  countAllocations = true;
  auto start = Clock::now();
  double cpuStart = threadCpuSeconds();
  auto lastProgress = start;
  long seen = 0;
  go.store(true, std::memory_order_release);
  while (seen < kBurst) {
    receive();
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
  return {sent.load(), seen, allocatorCalls, std::chrono::duration<double>(end - start).count(),
          threadCpuSeconds() - cpuStart};
}

// The event loop as the receiver of a burst.
BurstResult runLibraryBurst(long batch, long window) {
  return runBurst(xPL_getPort(), batch, window, [] { xPL_processMessages(1); });
}

void BM_InboundBurst(benchmark::State &state) {
  const long batch = std::min(state.range(0), kMaxBatch);
  const long window = state.range(1);
  if (!startLibrary()) {
    state.SkipWithError("the xPL library did not start on lo");
    return;
  }
  // Warm-up: fills the pools.  The process's very first burst shows that the
  // counting works: it is the one that fills them.
  static long firstBurstAllocatorCalls = -1;
  BurstResult warmUp = runLibraryBurst(batch, window);
  if (firstBurstAllocatorCalls < 0) firstBurstAllocatorCalls = warmUp.allocatorCalls;

  long sent = 0, received = 0, calls = 0;
  double cpuSeconds = 0;
  for (auto _ : state) {
    BurstResult result = runLibraryBurst(batch, window);
    state.SetIterationTime(result.seconds);
    sent += result.sent;
    received += result.dispatched;
    calls += result.allocatorCalls;
    cpuSeconds += result.cpuSeconds;
  }
  state.SetItemsProcessed(received);
  state.counters["lost"] =
      benchmark::Counter(static_cast<double>(sent - received), benchmark::Counter::kAvgIterations);
  // The receiving thread's own rate, unaffected by other load on the machine.
  state.counters["per_cpu_second"] =
      benchmark::Counter(cpuSeconds > 0 ? static_cast<double>(received) / cpuSeconds : 0.0);
  state.counters["first_burst_allocs"] =
      benchmark::Counter(static_cast<double>(firstBurstAllocatorCalls));
  state.counters["allocs_per_msg"] =
      benchmark::Counter(received > 0 ? static_cast<double>(calls) / received : 0.0);
}

// The library's own rate on one core: this thread fills the listener socket
// with `fill` datagrams (on loopback they are queued before sendmmsg returns),
// then times the event loop draining them.  No other thread runs, so the
// figure is the receive path alone: reading, parsing, routing, releasing.
void BM_InboundFilledSocket(benchmark::State &state) {
  const long fill = state.range(0);
  if (!startLibrary()) {
    state.SkipWithError("the xPL library did not start on lo");
    return;
  }
  Sender sender(xPL_getPort());
  auto fillSocket = [&]() {
    long sent = 0;
    while (sent < fill) {
      int n = sender.send(fill - sent);
      if (n <= 0) break;
      sent += n;
    }
    return sent;
  };
  // Drains what is waiting; a pass that hears nothing new ends it.
  auto drain = [&](long expected) {
    while (dispatched.load(std::memory_order_relaxed) < expected) {
      long before = dispatched.load(std::memory_order_relaxed);
      xPL_processMessages(0);
      if (dispatched.load(std::memory_order_relaxed) == before) break;
    }
  };
  dispatched.store(0);
  drain(fillSocket());  // warm-up: fills the pools
  long sentTotal = 0, receivedTotal = 0;
  allocatorCalls = 0;
  for (auto _ : state) {
    state.PauseTiming();
    dispatched.store(0);
    long sent = fillSocket();
    countAllocations = true;
    state.ResumeTiming();
    drain(sent);
    state.PauseTiming();
    countAllocations = false;
    sentTotal += sent;
    receivedTotal += dispatched.load();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(receivedTotal);
  state.counters["lost"] = benchmark::Counter(static_cast<double>(sentTotal - receivedTotal));
  state.counters["allocs_per_msg"] = benchmark::Counter(
      receivedTotal > 0 ? static_cast<double>(allocatorCalls) / receivedTotal : 0.0);
}

// The machine's ceiling for the same sender: a receiver that only reads, with
// the same batches of 16 as the library and no parsing at all.  On a machine
// where the sender and the kernel's loopback work fill the other core, this,
// not the library, bounds the wall rate above.
void BM_LoopbackCeiling(benchmark::State &state) {
  const long batch = std::min(state.range(0), kMaxBatch);
  const long window = state.range(1);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in here{};
  here.sin_family = AF_INET;
  here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof here;
  int size = 1 << 22;  // as large as the library asks for its listener
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&here), sizeof here) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&here), &length) != 0) {
    state.SkipWithError("no loopback socket");
    if (fd >= 0) close(fd);
    return;
  }
  constexpr int kReadBatch = 16;
  static char buffers[kReadBatch][1500];
  iovec pieces[kReadBatch];
  mmsghdr reads[kReadBatch]{};
  for (int i = 0; i < kReadBatch; i++) {
    pieces[i] = {buffers[i], sizeof buffers[i]};
    reads[i].msg_hdr.msg_iov = &pieces[i];
    reads[i].msg_hdr.msg_iovlen = 1;
  }
  auto readOnly = [&] {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 1) <= 0) return;
    int n = recvmmsg(fd, reads, kReadBatch, MSG_DONTWAIT, nullptr);
    if (n > 0) dispatched.fetch_add(n, std::memory_order_relaxed);
  };
  long sentTotal = 0, receivedTotal = 0;
  double cpuSeconds = 0;
  for (auto _ : state) {
    BurstResult result = runBurst(ntohs(here.sin_port), batch, window, readOnly);
    state.SetIterationTime(result.seconds);
    sentTotal += result.sent;
    receivedTotal += result.dispatched;
    cpuSeconds += result.cpuSeconds;
  }
  close(fd);
  state.SetItemsProcessed(receivedTotal);
  state.counters["lost"] = benchmark::Counter(static_cast<double>(sentTotal - receivedTotal),
                                              benchmark::Counter::kAvgIterations);
  state.counters["per_cpu_second"] = benchmark::Counter(
      cpuSeconds > 0 ? static_cast<double>(receivedTotal) / cpuSeconds : 0.0);
}

// Arguments: datagrams per send call, and the most in flight (0: unpaced).
// One per call, unpaced, is a plain blast; batches of 32 with at most 512 in
// flight keep the receiver busy all the time without overflowing its socket;
// batches of 32 unpaced show what a sender faster than any receiver loses.
BENCHMARK(BM_InboundBurst)
    ->ArgNames({"batch", "window"})
    ->Args({1, 0})
    ->Args({32, 512})
    ->Args({32, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InboundFilledSocket)->ArgName("fill")->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoopbackCeiling)
    ->ArgNames({"batch", "window"})
    ->Args({32, 512})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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
