// gateway_measure: the measurements of the whole gateway that a micro
// benchmark cannot take, on the real zud binary and its companions.
//
//   startup  exec of zud to its first heartbeat datagram, with no device,
//            with and without a configuration file
//   latency  a SAME line written to the simulated receiver's terminal to the
//            weather.alert datagram received through xpl-hub
//   idle     wake-ups per second and resident memory of a configured zud
//            with nothing happening
//   mqtt     with zud publishing to a local mosquitto (--mqtt): a SAME line
//            written to the terminal to the PREFIX/alert message handed to
//            a subscriber in this program, and the xPL latency as above
//            beside it
//   storefail  with zud's store on a small tmpfs: the store deleted, locked
//            by another writer, then on a full disk, then freed: alerts
//            broadcast, lines on zud's standard error, alerts kept
//            a subscriber in this program, the xPL latency as above beside
//            it, and a connected client's own publication to the same
//            subscriber through the same broker
//   mqttdns  the broker named by a host name that only a DNS server that
//            never answers could resolve (a private resolv.conf in a mount
//            namespace of this program): exec to the first heartbeat, and
//            the alert latency through the hub while lookups hang
//   mqttclosed  zud's processor time with --mqtt mqtts:// to a port where
//            nothing listens
//
// Everything runs in a private network namespace that this program enters
// first (loopback only), and every process it starts dies with it.  Results
// go to standard output as "name=value" lines, progress to standard error.
// Exit status 0 when every requested measurement ran, 1 when one could not,
// 2 on a usage error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commandline.h"
#include "mountns.h"
#include "mqtt.h"
#include "netns.h"
#include "process.h"
#include "sameaudio.h"
#include "store/alertstore.h"
#include "store/sqlite.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Process;

constexpr int kXplPort = 3865;

// --- Stopping on a signal ---------------------------------------------------
// The children die with this process (PR_SET_PDEATHSIG); on Ctrl-C or TERM
// they are killed at once and the measurement loops end, so that the scratch
// directory is removed on the way out.

volatile sig_atomic_t stopRequested = 0;
std::array<volatile pid_t, 8> livePids{};

void registerChild(pid_t pid) {
  for (auto &slot : livePids) {
    if (slot == 0) {
      slot = pid;
      return;
    }
  }
}

void forgetChild(pid_t pid) {
  for (auto &slot : livePids) {
    if (slot == pid) slot = 0;
  }
}

void onStopSignal(int) {
  stopRequested = 1;
  for (auto &slot : livePids) {
    if (slot > 0) kill(slot, SIGKILL);
  }
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
}

// A measurement that cannot go on: the reason, for standard error.
struct Failure {
  std::string reason;
};

void checkStop() {
  if (stopRequested) throw Failure{"interrupted"};
}

void say(const std::string &text) { std::fprintf(stderr, "gateway_measure: %s\n", text.c_str()); }

// --- Time ---------------------------------------------------------------------

// The wall clock, the clock of the kernel's datagram time stamps.
double nowSeconds() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double stampSeconds(const timespec &t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void sleepFor(std::chrono::microseconds span) {
  timespec t{static_cast<time_t>(span.count() / 1000000),
             static_cast<long>(span.count() % 1000000) * 1000};
  while (nanosleep(&t, &t) != 0 && errno == EINTR && !stopRequested) {
  }
}

// --- Statistics -------------------------------------------------------------

// Nearest-rank percentile of sorted samples: the smallest sample that at
// least `percent` of all samples do not exceed.
double percentile(const std::vector<double> &sorted, double percent) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(percent / 100.0 * static_cast<double>(sorted.size()) + 0.999999);
  rank = std::clamp<size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

// Median of sorted samples (the mean of the middle two for an even count).
double median(const std::vector<double> &sorted) {
  if (sorted.empty()) return 0;
  size_t n = sorted.size();
  return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

void result(const std::string &name, double value) {
  std::printf("%s=%.4f\n", name.c_str(), value);
  std::fflush(stdout);
}

void result(const std::string &name, long value) {
  std::printf("%s=%ld\n", name.c_str(), value);
  std::fflush(stdout);
}

void result(const std::string &name, const std::string &value) {
  std::printf("%s=%s\n", name.c_str(), value.c_str());
  std::fflush(stdout);
}

// Prints median, p90, p99, min and max of samples in seconds, as milliseconds.
void summary(const std::string &prefix, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  result(prefix + "_runs", static_cast<long>(samples.size()));
  if (samples.empty()) return;
  result(prefix + "_median_ms", median(samples) * 1e3);
  result(prefix + "_p90_ms", percentile(samples, 90) * 1e3);
  result(prefix + "_p99_ms", percentile(samples, 99) * 1e3);
  result(prefix + "_min_ms", samples.front() * 1e3);
  result(prefix + "_max_ms", samples.back() * 1e3);
}

// --- Datagrams ----------------------------------------------------------------

struct Datagram {
  std::string text;
  double arrived = 0;   // kernel time stamp of its arrival at the socket
  double delivered = 0;  // when this program had read it
};

class Socket {
 public:
  // A UDP socket on every address at `port` (0: one the system picks), with
  // kernel arrival time stamps, allowed to broadcast.  A shared one may be
  // bound beside another socket that shares the port: both hear broadcasts.
  enum class Sharing { exclusive, shared };
  explicit Socket(int port, Sharing sharing = Sharing::exclusive)
      : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    if (fd_ < 0) throw Failure{std::string("socket: ") + std::strerror(errno)};
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (sharing == Sharing::shared) setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int size = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      int error = errno;
      close(fd_);
      throw Failure{"cannot bind UDP port " + std::to_string(port) + ": " + std::strerror(error)};
    }
  }
  ~Socket() { close(fd_); }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;

  int fd() const { return fd_; }

  int port() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
  }

  // Waits up to `timeout` for one datagram; false when none came.
  bool receive(std::chrono::milliseconds timeout, Datagram *out) {
    pollfd ready{fd_, POLLIN, 0};
    int n = poll(&ready, 1, static_cast<int>(timeout.count()));
    if (n <= 0) return false;
    char text[4096];
    char control[256];
    iovec part{text, sizeof text - 1};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = recvmsg(fd_, &message, MSG_DONTWAIT);
    if (got < 0) return false;
    out->delivered = nowSeconds();
    out->arrived = out->delivered;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        out->arrived = stampSeconds(stamp);
      }
    }
    out->text.assign(text, static_cast<size_t>(got));
    return true;
  }

  // Throws away whatever is waiting.
  void drain() {
    Datagram ignored;
    while (receive(0ms, &ignored)) {
    }
  }

  bool sendTo(const std::string &text, const char *ip, int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &to.sin_addr);
    return sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(text.size());
  }

 private:
  int fd_;
};

// The value of `name` in the body of an xPL text; empty when absent.
std::string valueOf(const std::string &text, const std::string &name) {
  std::string key = "\n" + name + "=";
  size_t at = text.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return text.substr(at, text.find('\n', at) - at);
}

bool hasLine(const std::string &text, const std::string &line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

bool fromZud(const Datagram &d) { return valueOf(d.text, "source").rfind("kelvora-zud.", 0) == 0; }

// The broadcast address of an interface, as the xPL library computes it
// (address with every host bit set).
std::string broadcastAddress(const char *interface) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, interface, IFNAMSIZ - 1);
  in_addr address{}, mask{};
  bool ok = ioctl(s, SIOCGIFADDR, &request) == 0;
  address = reinterpret_cast<sockaddr_in *>(&request.ifr_addr)->sin_addr;
  ok = ok && ioctl(s, SIOCGIFNETMASK, &request) == 0;
  mask = reinterpret_cast<sockaddr_in *>(&request.ifr_netmask)->sin_addr;
  close(s);
  if (!ok) return "?";
  in_addr broadcast{address.s_addr | ~mask.s_addr};
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &broadcast, text, sizeof text);
  return text;
}

// --- Scratch space and zud itself --------------------------------------------

// zud's output lands in a scratch directory in memory (/dev/shm) where there
// is one, so that its dump lines, written before each alert goes out, can
// never wait for a disk's file system journal: as a service, zud writes them
// to the system journal's socket instead.
using Scratch = testsupport::TempDir;

// zud running in `dir` with its standard output and error in `log`; killed
// with the object, and with this program (PR_SET_PDEATHSIG).
class Daemon {
 public:
  Daemon(const std::string &program, const std::string &dir, const std::string &log,
         const std::vector<std::string> &extra = {})
      : log_(log) {
    std::vector<std::string> words = {"zud", "-interface", "lo"};
    words.insert(words.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw Failure{std::string("fork: ") + std::strerror(errno)};
    if (pid_ == 0) {
      if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(126);
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int in = open("/dev/null", O_RDONLY);
      if (out < 0 || in < 0 || chdir(dir.c_str()) != 0) _exit(126);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      // Alert times as sent, so that they identify the alert.
      setenv("TZ", "UTC", 1);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    registerChild(pid_);
  }
  ~Daemon() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    forgetChild(pid_);
  }
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;

  pid_t pid() const { return pid_; }
  std::string output() const { return testsupport::readFile(log_); }
  // Waits until `text` appears in the output; false when it did not in time.
  bool waitOutput(const std::string &text, std::chrono::milliseconds timeout) const {
    return testsupport::eventually(
        [&] { return stopRequested || output().find(text) != std::string::npos; }, timeout) &&
           !stopRequested;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
};

// --- Options ------------------------------------------------------------------

struct Options {
  std::string bin = ZUD_BIN_DIR;
  int startupRuns = 200;
  int alerts = 1000;
  int warmAlerts = 10;
  int gapMs = 5;
  int idleSeconds = 60;
  std::vector<std::string> what;
};

const char kUsage[] =
    "usage: gateway_measure [OPTIONS] startup|latency|idle|upload|sound|mqtt|mqttdns|mqttclosed|\n"
    "                        storefail...\n"
    "  --bin DIR          where zud, xpl-hub, zud-sim and xpl-config are\n"
    "                     (default: this build's)\n"
    "  --runs N           start-up runs of each kind (default 200)\n"
    "  --alerts N         alerts timed for the latency (default 1000)\n"
    "  --gap-ms N         pause before each alert (default 5)\n"
    "  --idle-seconds N   length of the idle window (default 60), and of the\n"
    "                     windows of mqttdns and mqttclosed (at most 30)\n"
    "Prints name=value lines; runs in a private network namespace of its own.\n";

[[noreturn]] void usageError(const std::string &why) {
  std::fprintf(stderr, "gateway_measure: %s\n%s", why.c_str(), kUsage);
  std::exit(2);
}

int positive(const char *text, const char *option) {
  const std::optional<int> value = commandline::wholenumber(text, 1, 1000000);
  if (!value) usageError(std::string(option) + " needs a whole number from 1 to 1000000");
  return *value;
}

Options parseOptions(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto next = [&]() -> const char * {
      if (i + 1 >= argc) usageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--bin") {
      o.bin = next();
    } else if (arg == "--runs") {
      o.startupRuns = positive(next(), "--runs");
    } else if (arg == "--alerts") {
      o.alerts = positive(next(), "--alerts");
    } else if (arg == "--gap-ms") {
      o.gapMs = positive(next(), "--gap-ms");
    } else if (arg == "--idle-seconds") {
      o.idleSeconds = positive(next(), "--idle-seconds");
    } else if (arg == "startup" || arg == "latency" || arg == "idle" || arg == "upload" ||
               arg == "sound" || arg == "mqtt" || arg == "mqttdns" || arg == "mqttclosed" ||
               arg == "storefail") {
      o.what.push_back(arg);
    } else {
      usageError("unknown argument '" + arg + "'");
    }
  }
  if (o.what.empty()) usageError("name at least one measurement");
  return o;
}

bool wanted(const Options &o, const char *what) {
  return std::find(o.what.begin(), o.what.end(), what) != o.what.end();
}

// --- Start-up -----------------------------------------------------------------

// The configuration file that zud writes after a configuration, without a
// device so that nothing is opened.
const char kConfigFile[] =
    "[kelvora-zud]\n"
    "reconf=newconf\nreconf=interval\noption=group[255]\noption=filter[255]\n"
    "reconf=device\nreconf=freq\nreconf=altfreq\nreconf=fips[4]\nreconf=eomreset\n"
    "reconf=usealtfreq\nreconf=event[80]\n"
    "newconf=bench\ninterval=5\nfilter=\ngroup=\n"
    "freq=162.475\naltfreq=162.550\nfips=016001\nfips=016027\neomreset=false\n"
    "usealtfreq=false\nevent=TOR\nevent=SVR\nevent=FFW\nevent=RWT\n";

// Starts zud in `dir` and returns the time from just before the fork to the
// arrival of its first heartbeat at `listener`, checking the heartbeat's
// schema; the process is killed afterwards.
double timeOneStart(const Options &o, const std::string &dir, const char *schema,
                    Socket &listener, std::vector<std::string> extra = {}) {
  const std::string program = o.bin + "/zud";
  const std::string log = dir + ".log";
  std::vector<std::string> words = {"zud", "-interface", "lo"};
  words.insert(words.end(), extra.begin(), extra.end());
  std::vector<char *> args;
  for (std::string &w : words) args.push_back(w.data());
  args.push_back(nullptr);
  listener.drain();
  const pid_t parent = getpid();
  const double start = nowSeconds();
  pid_t pid = fork();
  if (pid < 0) throw Failure{std::string("fork: ") + std::strerror(errno)};
  if (pid == 0) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(126);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
      close(out);
    }
    if (chdir(dir.c_str()) != 0) _exit(126);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  registerChild(pid);
  double arrived = 0;
  std::string wrong;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  Datagram d;
  while (arrived == 0 && wrong.empty() && std::chrono::steady_clock::now() < deadline &&
         !stopRequested) {
    if (!listener.receive(100ms, &d) || !fromZud(d)) continue;
    if (hasLine(d.text, schema)) arrived = d.arrived;
    else wrong = d.text;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  forgetChild(pid);
  checkStop();
  if (!wrong.empty())
    throw Failure{std::string("zud's first heartbeat was not ") + schema + ":\n" + wrong};
  if (arrived == 0)
    throw Failure{"no heartbeat from zud within 5 s; its output:\n" + testsupport::readFile(log)};
  return arrived - start;
}

void measureStartup(const Options &o, const Scratch &work) {
  say("start-up: zud broadcasts to " + broadcastAddress("lo") + ":" + std::to_string(kXplPort) +
      "; listening on 0.0.0.0:" + std::to_string(kXplPort));
  Socket listener(kXplPort);
  const std::string bare = work.file("bare");
  const std::string configured = work.file("configured");
  if (mkdir(bare.c_str(), 0700) != 0 || mkdir(configured.c_str(), 0700) != 0 ||
      !testsupport::writeFile(configured + "/zud.xpl", kConfigFile))
    throw Failure{"cannot prepare the working directories in " + work.path()};

  // A few starts first bring the program and its libraries into the page
  // cache, and leave a store (alerts.db) in each directory: the heartbeat
  // must not wait for it to be opened.
  for (int i = 0; i < 3; i++) {
    timeOneStart(o, bare, "config.app", listener);
    timeOneStart(o, configured, "hbeat.app", listener);
  }
  // Alternating, so that a burst of load elsewhere hits both kinds alike.
  std::vector<double> without, with;
  say("start-up: " + std::to_string(o.startupRuns) + " runs each, without and with zud.xpl");
  for (int i = 0; i < o.startupRuns; i++) {
    without.push_back(timeOneStart(o, bare, "config.app", listener));
    with.push_back(timeOneStart(o, configured, "hbeat.app", listener));
  }
  struct stat info {};
  if (stat((bare + "/zud.xpl").c_str(), &info) == 0)
    throw Failure{"zud wrote a configuration file without being configured"};
  summary("startup_nofile", without);
  summary("startup_file", with);
}

// --- The gateway beside its hub and receiver ----------------------------------

class Gateway {
 public:
  // `zudArgs` are added to zud's command line (--mqtt ...).
  Gateway(const Options &o, const Scratch &work, std::vector<std::string> zudArgs = {})
      : options_(o), work_(work), zudArgs_(std::move(zudArgs)), client_(0) {}

  // Starts the hub, the simulated receiver and zud, configures zud onto the
  // receiver and waits until it has read the receiver's block.
  void start();

  // Seconds from the line feed written to the terminal to the datagram.
  struct Timing {
    double throughHub;  // to the hub's relay, as a client of the hub receives it
    double delivered;   // the same, when this program had read it
    double fromZud;     // to zud's own broadcast (0 when it was not seen)
    double written;     // when the line was written (wall clock)
  };
  // Writes one SAME line, alert number `serial`, to the receiver's terminal
  // and times its alert; nothing when the alert did not come within 2 s.
  std::optional<Timing> alert(int serial);
  // The same through a line source: the header written to the FIFO `fifo`
  // that zud reads (--source-file).
  std::optional<Timing> sourceAlert(const std::string &fifo, int serial);
  // The same through a source of sound: the sound of the header's first two
  // bursts (and a hundredth of a second after) written to `fd`, the FIFO
  // zud reads with --audio-file, at once.
  std::optional<Timing> soundAlert(int fd, int serial);
  // Seconds from a heartbeat request to zud's answer through the hub (it
  // waits 0.5 to 2.5 s before answering); nothing after 5 s.
  std::optional<double> heartbeatAnswer();
  // What the simulated receiver has said so far.
  std::string receiverLog() const { return sim_.out(); }

  pid_t zudPid() const { return zud_->pid(); }
  std::string zudOutput() const { return zud_->output(); }
  // How lines reach the terminal: "pty" (written to the terminal itself) or
  // "sim-stdin" (handed to the simulator, whose hop is then included).
  const char *lineMethod() const { return master_ >= 0 ? "pty" : "sim-stdin"; }

  ~Gateway() {
    if (master_ >= 0) close(master_);
    for (Process *p : {&sim_, &hub_}) forgetChild(p->pid());
  }
  Gateway(const Gateway &) = delete;
  Gateway &operator=(const Gateway &) = delete;

 private:
  void startProcess(Process &p, const std::string &program, const std::vector<std::string> &args,
                    const Process::Options &options) {
    if (!p.start(options_.bin + "/" + program, args, options))
      throw Failure{"cannot start " + program};
    registerChild(p.pid());
  }
  // Times the alert of `serial`, whose header `write` sends (returning when
  // it wrote it).
  std::optional<Timing> timeAlert(int serial,
                                  const std::function<double(const std::string &)> &write);
  void joinHub();
  std::string awaitZud();
  void configure(const std::string &zudId);
  void takeTerminal();

  const Options &options_;
  const Scratch &work_;
  std::vector<std::string> zudArgs_;
  Socket client_;
  std::unique_ptr<Socket> tap_;  // hears zud's broadcasts beside the hub
  Process hub_, sim_;
  std::unique_ptr<Daemon> zud_;
  int master_ = -1;
};

// Announces this program to the hub as a client until the hub echoes it.
void Gateway::joinHub() {
  const std::string beat = "xpl-stat\n{\nhop=1\nsource=kelvora-bench.measure\ntarget=*\n}\n"
                           "hbeat.app\n{\ninterval=5\nport=" +
                           std::to_string(client_.port()) + "\nremote-ip=127.0.0.1\n}\n";
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    checkStop();
    client_.sendTo(beat, broadcastAddress("lo").c_str(), kXplPort);
    Datagram d;
    if (client_.receive(100ms, &d) && valueOf(d.text, "source") == "kelvora-bench.measure") return;
  }
  throw Failure{"xpl-hub did not echo a heartbeat within 5 s:\n" + hub_.out() + hub_.err()};
}

// Waits for zud's first heartbeat through the hub; returns zud's identity.
std::string Gateway::awaitZud() {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    checkStop();
    Datagram d;
    if (client_.receive(100ms, &d) && fromZud(d)) return valueOf(d.text, "source");
  }
  throw Failure{"no heartbeat from zud through the hub within 10 s:\n" + zud_->output()};
}

void Gateway::configure(const std::string &zudId) {
  Process config;
  Process::Options quiet;
  std::vector<std::string> args = {"-interface", "lo", "set", zudId,
                                   "device=" + work_.file("receiver"), "freq=162.475",
                                   "altfreq=162.550", "fips=016001", "fips=041045",
                                   "eomreset=false", "usealtfreq=false", "event=TOR",
                                   "event=SVR"};
  startProcess(config, "xpl-config", args, quiet);
  int status = config.wait(20000ms);
  forgetChild(config.pid());
  checkStop();
  if (Process::exitCode(status) != 0)
    throw Failure{"xpl-config set failed:\n" + config.out() + config.err()};
  if (!zud_->waitOutput("main freq = 162.475", 30000ms))
    throw Failure{"zud did not read the receiver's block:\n" + zud_->output() + "\nsimulator:\n" +
                  sim_.out()};
}

// Takes a copy of the simulator's end of the terminal, so that a line is
// written to the terminal with nothing in between; without it, lines go
// through the simulator's standard input.
void Gateway::takeTerminal() {
  std::string fdDir = "/proc/" + std::to_string(sim_.pid()) + "/fd";
  DIR *dir = opendir(fdDir.c_str());
  int target = -1;
  for (dirent *entry = dir ? readdir(dir) : nullptr; entry != nullptr; entry = readdir(dir)) {
    char link[256];
    ssize_t n = readlink((fdDir + "/" + entry->d_name).c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = '\0';
    std::string name(link);
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, "ptmx") == 0)
      target = std::atoi(entry->d_name);
  }
  if (dir) closedir(dir);
  int pidfd = target < 0 ? -1 : static_cast<int>(syscall(SYS_pidfd_open, sim_.pid(), 0));
  if (pidfd >= 0) {
    master_ = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, target, 0));
    close(pidfd);
  }
  if (master_ < 0) say("cannot take the simulator's terminal; lines go through its input");
}

void Gateway::start() {
  Process::Options plain;
  startProcess(hub_, "xpl-hub", {}, plain);
  joinHub();
  // After joining: unicast to the port would reach only one of the sockets
  // sharing it, and this program's heartbeat must reach the hub.
  tap_ = std::make_unique<Socket>(kXplPort, Socket::Sharing::shared);

  Process::Options sim;
  sim.stdinPipe = true;
  startProcess(sim_, "zud-sim", {"--link", work_.file("receiver")}, sim);
  if (!testsupport::eventually(
          [&] { return access(work_.file("receiver").c_str(), F_OK) == 0; }, 5000ms))
    throw Failure{"zud-sim made no terminal:\n" + sim_.err()};

  zud_ = std::make_unique<Daemon>(options_.bin + "/zud", work_.path(), work_.file("zud.log"),
                                  zudArgs_);
  configure(awaitZud());
  takeTerminal();
}

std::optional<Gateway::Timing> Gateway::alert(int serial) {
  return timeAlert(serial, [&](const std::string &header) {
    if (master_ >= 0) {
      // What the receiver sends: a preamble, the header, CR LF; all at once.
      std::string line = std::string(16, '\xab') + header + "\r\n";
      const double written = nowSeconds();
      if (write(master_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        throw Failure{std::string("writing to the terminal: ") + std::strerror(errno)};
      return written;
    }
    const double written = nowSeconds();
    if (!sim_.writeIn(header + "\n")) throw Failure{"writing to the simulator failed"};
    return written;
  });
}

std::optional<Gateway::Timing> Gateway::sourceAlert(const std::string &fifo, int serial) {
  return timeAlert(serial, [&](const std::string &header) {
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw Failure{"cannot open " + fifo + ": " + std::strerror(errno)};
    const std::string line = header + "\n";
    const double written = nowSeconds();
    const bool whole = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    if (!whole) throw Failure{"writing to " + fifo + " failed"};
    return written;
  });
}

// Writes the whole of `sound` to `fd`.
void writeSound(int fd, const testsupport::sameAudio &sound) {
  const std::string bytes = testsupport::rawBytes(sound.samples());
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Failure{std::string("writing the sound: ") + std::strerror(errno)};
    done += static_cast<std::size_t>(n);
  }
}

std::optional<Gateway::Timing> Gateway::soundAlert(int fd, int serial) {
  std::string heard;
  std::optional<Timing> timing = timeAlert(serial, [&](const std::string &header) {
    heard = header;
    testsupport::sameAudio sound;
    sound.silence(0.5);
    sound.burst(header);
    sound.silence(1);
    sound.burst(header);
    sound.silence(0.01);
    writeSound(fd, sound);
    // The sound's last sample has left: the second burst ended a hundredth
    // of a second before, as the radio would have played it.
    return nowSeconds();
  });
  // The rest of the message, as a station sends it: the third burst, the
  // end of message, and a pause before the next.
  testsupport::sameAudio rest;
  rest.silence(0.99);
  rest.burst(heard);
  rest.silence(2);
  for (int i = 0; i < 3; i++) {
    rest.burst("NNNN");
    rest.silence(1);
  }
  rest.silence(2);
  writeSound(fd, rest);
  return timing;
}

std::optional<double> Gateway::heartbeatAnswer() {
  const std::string request =
      "xpl-cmnd\n{\nhop=1\nsource=kelvora-bench.measure\ntarget=*\n}\nhbeat.request\n{\n"
      "command=request\n}\n";
  client_.drain();
  const double sent = nowSeconds();
  client_.sendTo(request, broadcastAddress("lo").c_str(), kXplPort);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  Datagram d;
  while (std::chrono::steady_clock::now() < deadline) {
    checkStop();
    if (client_.receive(100ms, &d) && fromZud(d) && hasLine(d.text, "hbeat.app")) {
      return d.arrived - sent;
    }
  }
  return std::nullopt;
}

std::optional<Gateway::Timing> Gateway::timeAlert(
    int serial, const std::function<double(const std::string &)> &write) {
  // The issue time tells the alerts apart: minute `serial` of day 1.
  const unsigned minute = static_cast<unsigned>(serial) % 1440;
  char time[16];
  std::snprintf(time, sizeof time, "%02u%02u", minute / 60, minute % 60);
  const std::string expected = std::string(time) + "00";
  std::string header =
      std::string("ZCZC-WXR-TOR-016001-041045+0045-001") + time + "-KBOI/NWS-";

  client_.drain();
  tap_->drain();
  const double written = write(header);
  auto isOurs = [&](const Datagram &d) {
    return hasLine(d.text, "weather.alert") && valueOf(d.text, "time") == expected;
  };
  Timing timing{0, 0, 0, written};
  auto deadline = std::chrono::steady_clock::now() + 2s;
  Datagram d;
  while (std::chrono::steady_clock::now() < deadline) {
    checkStop();
    if (!client_.receive(100ms, &d) || !isOurs(d)) continue;
    timing.throughHub = d.arrived - written;
    timing.delivered = d.delivered - written;
    // zud's own broadcast arrived before the hub relayed it; it is read only
    // now, so that this program does not wake up, and compete for a
    // processor, while the hub works.
    while (tap_->receive(0ms, &d)) {
      if (isOurs(d)) timing.fromZud = d.arrived - written;
    }
    return timing;
  }
  return std::nullopt;
}

// Latency buckets, upper bounds in microseconds.
constexpr std::array<int, 11> kBuckets = {100, 150, 200, 250, 300, 400, 500, 750, 1000, 2000, 5000};

void measureLatency(const Options &o, Gateway &gateway) {
  say("latency: " + std::to_string(o.alerts) + " alerts, " + std::to_string(o.gapMs) +
      " ms apart, lines written by " + gateway.lineMethod());
  std::vector<double> arrived, delivered, fromZud;
  int lost = 0;
  for (int i = 0; i < o.alerts; i++) {
    sleepFor(std::chrono::milliseconds(o.gapMs));
    std::optional<Gateway::Timing> timing = gateway.alert(o.warmAlerts + i);
    if (!timing) {
      lost++;
      continue;
    }
    arrived.push_back(timing->throughHub);
    delivered.push_back(timing->delivered);
    if (timing->fromZud > 0) fromZud.push_back(timing->fromZud);
  }
  result("latency_method", gateway.lineMethod());
  result("latency_lost", static_cast<long>(lost));
  summary("latency", arrived);
  std::sort(delivered.begin(), delivered.end());
  result("latency_delivered_median_ms", median(delivered) * 1e3);
  result("latency_delivered_p99_ms", percentile(delivered, 99) * 1e3);
  std::sort(fromZud.begin(), fromZud.end());
  result("latency_zud_seen", static_cast<long>(fromZud.size()));
  result("latency_zud_median_ms", median(fromZud) * 1e3);
  result("latency_zud_p99_ms", percentile(fromZud, 99) * 1e3);

  std::string histogram;
  std::array<int, kBuckets.size() + 1> counts{};
  for (double s : arrived) {
    size_t b = 0;
    while (b < kBuckets.size() && s * 1e6 >= kBuckets[b]) b++;
    counts[b]++;
  }
  for (size_t b = 0; b <= kBuckets.size(); b++) {
    if (!histogram.empty()) histogram += ",";
    histogram += (b < kBuckets.size() ? std::to_string(kBuckets[b]) : "inf") + ":" +
                 std::to_string(counts[b]);
  }
  result("latency_histogram_us", histogram);
  if (lost > 0) say("latency: " + std::to_string(lost) + " alerts never arrived");
}

// --- An upload in progress ----------------------------------------------------

// zud uploads the receiver's block (512 bytes, 10 ms apart: over five
// seconds) while alerts come from a line source and a heartbeat request
// comes from the network: neither may wait for the upload.
void measureUpload(const Options &o, const Scratch &scratch) {
  // A directory of its own: no configuration kept from another part.
  Scratch work(scratch.path());
  const std::string fifo = work.file("eas");
  if (mkfifo(fifo.c_str(), 0600) != 0) throw Failure{"cannot make " + fifo};
  say("upload: zud --upload with a line source; alerts and a heartbeat request during the upload");
  Gateway gateway(o, work, {"--upload", "--source-file", fifo});
  gateway.start();
  auto uploading = [&] {
    const std::string log = gateway.receiverLog();
    return log.find("recv p") != std::string::npos && log.find("sent ack *") == std::string::npos;
  };
  if (!testsupport::eventually(uploading, 10000ms)) throw Failure{"no upload began"};
  std::vector<double> during;
  std::optional<double> answer;
  bool answeredDuring = false;
  for (int serial = 100; uploading() && serial < 110; serial++) {
    std::optional<Gateway::Timing> timing = gateway.sourceAlert(fifo, serial);
    if (timing && uploading()) during.push_back(timing->throughHub);
    if (serial == 100) {
      answer = gateway.heartbeatAnswer();
      answeredDuring = answer.has_value() && uploading();
    }
    sleepFor(200ms);
  }
  if (during.empty()) throw Failure{"no line-source alert came during the upload"};
  std::sort(during.begin(), during.end());
  result("upload_alerts", static_cast<long>(during.size()));
  result("upload_alert_max_ms", during.back() * 1e3);
  result("upload_alert_median_ms", median(during) * 1e3);
  result("upload_heartbeat_answered", answeredDuring ? 1L : 0L);
  if (answer) result("upload_heartbeat_s", *answer);
}

// --- A source of sound ---------------------------------------------------------

// zud hears the header in sound: from the end of the second burst (the
// last the demodulator needs for a clean header) to the trigger through
// the hub.
void measureSound(const Options &o, const Scratch &scratch) {
  Scratch work(scratch.path());
  const std::string fifo = work.file("radio");
  if (mkfifo(fifo.c_str(), 0600) != 0) throw Failure{"cannot make " + fifo};
  say("sound: zud --audio-file on a FIFO; two bursts of each header written at once");
  Gateway gateway(o, work, {"--audio-file", fifo, "--audio-dir", "none"});
  gateway.start();
  // Opened once zud reads it; kept open, as a radio's pipe is.
  int fd = -1;
  if (!testsupport::eventually([&] { return (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; },
                               5000ms))
    throw Failure{"zud does not read " + fifo};
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const int runs = std::max(5, std::min(o.alerts / 20, 50));
  std::vector<double> latency;
  int lost = 0;
  for (int i = 0; i < runs; i++) {
    std::optional<Gateway::Timing> timing = gateway.soundAlert(fd, 200 + i);
    if (timing) latency.push_back(timing->throughHub);
    else lost++;
  }
  close(fd);
  result("sound_lost", static_cast<long>(lost));
  summary("sound", latency);
}

// --- Idle ---------------------------------------------------------------------

struct ProcessStatus {
  long voluntary = -1;
  long involuntary = -1;
  long rssKiB = -1;
  long peakKiB = -1;
  long anonKiB = -1;
};

ProcessStatus readStatus(pid_t pid) {
  ProcessStatus s;
  std::string text = testsupport::readFile("/proc/" + std::to_string(pid) + "/status");
  auto field = [&](const char *name) {
    size_t at = text.find(std::string("\n") + name + ":");
    return at == std::string::npos ? -1L : std::atol(text.c_str() + at + std::strlen(name) + 2);
  };
  s.voluntary = field("voluntary_ctxt_switches");
  s.involuntary = field("nonvoluntary_ctxt_switches");
  s.rssKiB = field("VmRSS");
  s.peakKiB = field("VmHWM");
  s.anonKiB = field("RssAnon");
  return s;
}

void measureIdle(const Options &o, Gateway &gateway) {
  say("idle: " + std::to_string(o.idleSeconds) + " s of nothing");
  sleepFor(2s);  // the configuration's last answers and heartbeats settle
  ProcessStatus before = readStatus(gateway.zudPid());
  double start = nowSeconds();
  for (int s = 0; s < o.idleSeconds && !stopRequested; s++) sleepFor(1s);
  checkStop();
  ProcessStatus after = readStatus(gateway.zudPid());
  double seconds = nowSeconds() - start;
  if (before.voluntary < 0 || after.voluntary < 0) throw Failure{"zud is gone"};
  long voluntary = after.voluntary - before.voluntary;
  long involuntary = after.involuntary - before.involuntary;
  result("idle_seconds", seconds);
  result("idle_voluntary", voluntary);
  result("idle_involuntary", involuntary);
  result("idle_wakeups_per_s", static_cast<double>(voluntary + involuntary) / seconds);
  result("idle_rss_kib", after.rssKiB);
  result("idle_peak_rss_kib", after.peakKiB);
  result("idle_private_kib", after.anonKiB);
}

// --- MQTT ---------------------------------------------------------------------

// The header text that tells alert number `serial` apart: its issue time.
std::string issueOf(int serial) {
  const unsigned minute = static_cast<unsigned>(serial) % 1440;
  char time[16];
  std::snprintf(time, sizeof time, "-001%02u%02u-", minute / 60, minute % 60);
  return time;
}

void measureMqtt(const Options &o) {
  // A gateway of its own, after the others have ended: its own scratch
  // directory, hub and receiver.
  Scratch work("/dev/shm");
  if (!work.made()) throw Failure{std::string("cannot make a scratch directory: ") + std::strerror(errno)};
  testsupport::MqttBroker broker;
  if (!broker.start()) throw Failure{"mosquitto did not start:\n" + broker.log()};
  const std::string prefix = "zud/bench";
  testsupport::MqttWatcher subscriber(broker.port(), {prefix + "/alert"});
  if (!subscriber.connected(5000ms)) throw Failure{"the subscriber could not subscribe"};
  say("mqtt: mosquitto on 127.0.0.1:" + std::to_string(broker.port()) +
      "; starting xpl-hub, zud-sim and zud --mqtt");
  Gateway gateway(o, work, {"--mqtt", broker.url(), "--mqtt-topic", prefix, "--mqtt-discovery", "none"});
  gateway.start();

  // Seconds from the line written to the alert's message at the subscriber;
  // nothing when it did not come within 2 s.
  auto published = [&](int serial, double written, size_t from) -> std::optional<double> {
    const std::string issue = issueOf(serial);
    const int at = subscriber.waitFor(
        [&](const testsupport::MqttMessage &m) { return m.payload.find(issue) != std::string::npos; },
        2000ms, from);
    if (at < 0) return std::nullopt;
    const auto received = subscriber.messages()[static_cast<size_t>(at)].received;
    const double seconds =
        std::chrono::duration<double>(received.time_since_epoch()).count();
    return seconds - written;
  };
  for (int i = 0; i < o.warmAlerts; i++) {
    const size_t from = subscriber.messages().size();
    std::optional<Gateway::Timing> timing = gateway.alert(i);
    if (!timing || !published(i, timing->written, from))
      throw Failure{"a warm-up alert never arrived on both ways"};
  }
  say("mqtt: " + std::to_string(o.alerts) + " alerts, " + std::to_string(o.gapMs) + " ms apart");
  std::vector<double> toSubscriber, throughHub, ownClient;
  testsupport::MqttWatcher publisher(broker.port(), {});
  if (!publisher.connected(5000ms)) throw Failure{"the reference client could not connect"};
  int lost = 0;
  for (int i = 0; i < o.alerts; i++) {
    sleepFor(std::chrono::milliseconds(o.gapMs));
    checkStop();
    const int serial = o.warmAlerts + i;
    const size_t from = subscriber.messages().size();
    std::optional<Gateway::Timing> timing = gateway.alert(serial);
    std::optional<double> mqtt = timing ? published(serial, timing->written, from) : std::nullopt;
    if (!timing || !mqtt) {
      lost++;
      continue;
    }
    throughHub.push_back(timing->throughHub);
    toSubscriber.push_back(*mqtt);
    // The yardstick, under the same conditions: a client of its own (its
    // library's network thread, as most clients run) publishing a message
    // of the same size to the same subscriber.
    const std::string marker = "reference-" + std::to_string(serial);
    const std::string payload = marker + std::string(420, ' ');
    const size_t before = subscriber.messages().size();
    const double sent = nowSeconds();
    publisher.publish(prefix + "/alert", payload, false);
    const int at = subscriber.waitFor(
        [&](const testsupport::MqttMessage &m) { return m.payload.rfind(marker, 0) == 0; }, 2000ms,
        before);
    if (at >= 0) {
      const auto received = subscriber.messages()[static_cast<size_t>(at)].received;
      ownClient.push_back(std::chrono::duration<double>(received.time_since_epoch()).count() - sent);
    }
  }
  result("mqtt_lost", static_cast<long>(lost));
  summary("mqtt", toSubscriber);
  summary("mqtt_xpl", throughHub);
  summary("mqtt_client", ownClient);
  if (lost > 0) say("mqtt: " + std::to_string(lost) + " alerts did not arrive both ways");
}

// --- The store failing ---------------------------------------------------------

// Occurrences of `text` in `in`.
int occurrences(const std::string &in, const std::string &text) {
  int n = 0;
  for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1)) n++;
  return n;
}

// Alerts kept in the store at `path`; -1 when it cannot be read.
long keptAlerts(const std::string &path) {
  alertstore store;
  if (!store.openreadonly(path)) return -1;
  const auto all = store.alerts({});
  return all ? static_cast<long>(all->size()) : -1;
}

void measureStoreFailures(const Options &o) {
  Scratch work("/dev/shm");
  if (!work.made()) throw Failure{std::string("cannot make a scratch directory: ") + std::strerror(errno)};
  testsupport::SizedTmpfs disk(work.file("small"), "8m");
  if (!disk.mounted()) throw Failure{std::string("cannot mount a tmpfs: ") + std::strerror(errno)};
  const std::string store = work.file("small/alerts.db");
  Gateway gateway(o, work, {"--store", store});
  gateway.start();
  const int perPhase = std::max(1, std::min(o.alerts / 10, 50));
  int serial = 0;
  // Sends `perPhase` alerts; prints how many were broadcast, the lines zud
  // wrote about the store meanwhile and the slowest broadcast.
  auto phase = [&](const std::string &name) {
    const size_t before = gateway.zudOutput().size();
    int broadcast = 0;
    std::vector<double> latency;
    for (int i = 0; i < perPhase; i++) {
      sleepFor(std::chrono::milliseconds(o.gapMs));
      if (auto timing = gateway.alert(1000 + serial++)) {
        broadcast++;
        latency.push_back(timing->throughHub);
      }
    }
    sleepFor(300ms);  // the last store write and its line
    const std::string said = gateway.zudOutput().substr(before);
    std::sort(latency.begin(), latency.end());
    result("storefail_" + name + "_alerts", static_cast<long>(perPhase));
    result("storefail_" + name + "_broadcast", static_cast<long>(broadcast));
    result("storefail_" + name + "_lines", static_cast<long>(occurrences(said, "zud: cannot keep the alert in ")));
    result("storefail_" + name + "_median_ms", median(latency) * 1e3);
    result("storefail_" + name + "_max_ms", latency.empty() ? 0.0 : latency.back() * 1e3);
    return said;
  };
  say("storefail: " + std::to_string(perPhase) + " alerts in each phase, " +
      std::to_string(o.gapMs) + " ms apart; the store on an 8 MiB tmpfs");

  phase("healthy");
  if (unlink(store.c_str()) != 0) throw Failure{"cannot delete the store"};
  const std::string deleted = phase("deleted");
  result("storefail_deleted_noticed", static_cast<long>(occurrences(deleted, "is no longer the file zud opened (it was deleted)")));
  result("storefail_deleted_kept", keptAlerts(store));

  {
    sqlitedb other;
    if (!other.open(store, sqlitedb::mode::readwrite) || !other.exec("BEGIN IMMEDIATE"))
      throw Failure{"cannot lock the store: " + other.error()};
    phase("locked");
    other.exec("COMMIT");
  }
  // No alert now: the retry timer alone writes what waits.
  const double freed = nowSeconds();
  const size_t before = gateway.zudOutput().size();
  const bool retried = testsupport::eventually(
      [&] { return gateway.zudOutput().find("can be written again", before) != std::string::npos; },
      15000ms);
  result("storefail_unlocked_retry_s", retried ? nowSeconds() - freed : -1.0);
  result("storefail_unlocked_kept", keptAlerts(store));

  if (!disk.fill()) throw Failure{"cannot fill the tmpfs"};
  phase("full");
  if (!disk.unfill()) throw Failure{"cannot free the tmpfs"};
  const std::string after = phase("freed");
  result("storefail_freed_caughtup", static_cast<long>(occurrences(after, "can be written again")));
  result("storefail_freed_kept", keptAlerts(store));
  // The lines as zud wrote them, one of each kind, for the record.
  const std::string all = gateway.zudOutput();
  for (const char *kind : {"is no longer the file", "(database is locked)", "(database or disk is full)",
                           "can be written again"}) {
    const size_t at = all.find(kind);
    if (at == std::string::npos) continue;
    const size_t start = all.rfind('\n', at) + 1;
    say("storefail: " + all.substr(start, all.find('\n', at) - start));
  }
}

// --- MQTT with a DNS server that never answers ----------------------------------

void measureMqttDns(const Options &o) {
  Scratch work("/dev/shm");
  if (!work.made()) throw Failure{std::string("cannot make a scratch directory: ") + std::strerror(errno)};
  testsupport::SilentNameServer dns;
  if (!dns.listening()) throw Failure{"cannot listen on 127.0.0.1:53"};
  // The resolver's usual patience: 5 s a try, two tries.
  if (!testsupport::useLoopbackNameServer(work.path(), "timeout:5 attempts:2"))
    throw Failure{std::string("cannot give zud a private resolv.conf: ") + std::strerror(errno)};
  const std::vector<std::string> broker = {"--mqtt", "mqtt://broker.zud-bench.example",
                                           "--mqtt-topic", "zud/bench", "--mqtt-discovery", "none"};

  // Start-up: as the start-up part, with zud.xpl and a store in place.
  {
    // The hub of the alerts below needs the port afterwards.
    Socket listener(kXplPort);
    const std::string configured = work.file("configured");
    if (mkdir(configured.c_str(), 0700) != 0 ||
        !testsupport::writeFile(configured + "/zud.xpl", kConfigFile))
      throw Failure{"cannot prepare the working directory in " + work.path()};
    timeOneStart(o, configured, "hbeat.app", listener, broker);  // makes the store
    const int runs = std::min(o.startupRuns, 50);
    say("mqttdns: " + std::to_string(runs) + " starts with the broker's name unanswered");
    std::vector<double> starts;
    for (int i = 0; i < runs; i++) starts.push_back(timeOneStart(o, configured, "hbeat.app", listener, broker));
    // zud's heartbeat leaves before MQTT even starts, so a start killed at
    // its heartbeat may not have asked yet: the gateway below must have.
    summary("mqttdns_startup", starts);
    // Beside it, the same with a broker named by its address: what --mqtt
    // itself costs before the first heartbeat, lookup aside.
    const std::vector<std::string> numeric = {
        "--mqtt", "mqtt://127.0.0.1:" + std::to_string(testsupport::freeTcpPort()),
        "--mqtt-topic", "zud/bench", "--mqtt-discovery", "none"};
    std::vector<double> plain;
    for (int i = 0; i < runs; i++) {
      plain.push_back(timeOneStart(o, configured, "hbeat.app", listener, numeric));
    }
    summary("mqttdns_startup_numeric", plain);
  }

  // Alerts through the hub while zud's lookups hang, time out and start again.
  Gateway gateway(o, work, broker);
  gateway.start();
  const int seconds = std::min(o.idleSeconds, 30);
  say("mqttdns: alerts every 100 ms for " + std::to_string(seconds) + " s");
  std::vector<double> latency;
  int lost = 0;
  const double end = nowSeconds() + seconds;
  for (int serial = 0; nowSeconds() < end; serial++) {
    sleepFor(100ms);
    checkStop();
    std::optional<Gateway::Timing> timing = gateway.alert(serial);
    if (timing) latency.push_back(timing->throughHub);
    else lost++;
  }
  // The figures mean something only if zud really waited on the silent server.
  if (!dns.queried(0ms)) throw Failure{"zud never asked the silent name server"};
  result("mqttdns_lost", static_cast<long>(lost));
  summary("mqttdns_alert", latency);
}

// --- MQTT over TLS to a port where nothing listens --------------------------------

// Processor time (user and system) that process `pid` has used, in seconds.
double processorSeconds(pid_t pid) {
  const std::string text = testsupport::readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t after = text.rfind(')');
  if (after == std::string::npos) throw Failure{"zud is gone"};
  // Fields after the command: state is field 3, utime 14, stime 15.
  std::vector<std::string> fields;
  size_t at = after + 2;
  while (at < text.size()) {
    const size_t space = text.find(' ', at);
    fields.push_back(text.substr(at, space - at));
    if (space == std::string::npos) break;
    at = space + 1;
  }
  if (fields.size() < 13) throw Failure{"cannot read /proc/PID/stat"};
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / ticks;
}

void measureMqttClosed(const Options &o) {
  Scratch work("/dev/shm");
  if (!work.made()) throw Failure{std::string("cannot make a scratch directory: ") + std::strerror(errno)};
  const int port = testsupport::freeTcpPort();
  const int seconds = std::min(o.idleSeconds, 30);
  say("mqttclosed: zud --mqtt mqtts://127.0.0.1:" + std::to_string(port) + " for " +
      std::to_string(seconds) + " s");
  Daemon zud(o.bin + "/zud", work.path(), work.file("zud.log"),
             {"--mqtt", "mqtts://127.0.0.1:" + std::to_string(port), "--mqtt-topic", "zud/bench"});
  const double start = nowSeconds();
  for (int s = 0; s < seconds && !stopRequested; s++) sleepFor(1s);
  checkStop();
  const double used = processorSeconds(zud.pid());
  const double wall = nowSeconds() - start;
  result("mqttclosed_seconds", wall);
  result("mqttclosed_cpu_percent", 100.0 * used / wall);
  const std::string log = zud.output();
  const size_t line = log.find("zud: MQTT: cannot connect");
  result("mqttclosed_said", line == std::string::npos ? std::string("nothing")
                                                        : log.substr(line, log.find('\n', line) - line));
}

void run(const Options &o) {
  Scratch work("/dev/shm");
  if (!work.made()) {
    throw Failure{std::string("cannot make a scratch directory: ") + std::strerror(errno)};
  }
  if (wanted(o, "startup")) measureStartup(o, work);
  if (wanted(o, "latency") || wanted(o, "idle")) {
    say("starting xpl-hub, zud-sim and zud; configuring zud onto the receiver");
    Gateway gateway(o, work);
    gateway.start();
    // The same few alerts first, whichever measurements follow: the alert
    // path has run once before anything is measured.
    for (int i = 0; i < o.warmAlerts; i++) {
      if (!gateway.alert(i)) throw Failure{"a warm-up alert never arrived"};
    }
    if (wanted(o, "idle")) measureIdle(o, gateway);
    if (wanted(o, "latency")) measureLatency(o, gateway);
  }
  if (wanted(o, "upload")) measureUpload(o, work);
  if (wanted(o, "sound")) measureSound(o, work);
  if (wanted(o, "mqtt")) measureMqtt(o);
  if (wanted(o, "storefail")) measureStoreFailures(o);
  if (wanted(o, "mqttclosed")) measureMqttClosed(o);
  // Last: it gives this process a resolv.conf of its own for good.
  if (wanted(o, "mqttdns")) measureMqttDns(o);
}

}  // namespace

int main(int argc, char **argv) {
  Options options = parseOptions(argc, argv);
  for (const char *program : {"zud", "xpl-hub", "zud-sim", "xpl-config"}) {
    if (access((options.bin + "/" + program).c_str(), X_OK) != 0)
      usageError(options.bin + "/" + program + " is missing");
  }
  // Before anything else: every socket and child lives in this namespace.
  testsupport::enterPrivateNetworkNamespace();
  installStopHandlers();
  try {
    run(options);
  } catch (const Failure &failure) {
    say(failure.reason);
    return 1;
  }
  return 0;
}
