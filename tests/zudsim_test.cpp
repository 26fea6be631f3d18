// Tests of zud-sim, the receiver simulator: they drive it through its
// pseudo-terminal the way the gateway drives the receiver.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Process;

const std::string kPreamble(16, '\xAB');
const std::string kSample =
    "ZCZC-WXR-RWT-016001-016003-016015-016027-016039-016045-016073-016075-016085-016087-"
    "041045+0030-2201802-KBOI/NWS-";
const std::string kIdent = "zud-sim receiver " ZUD_VERSION "\r\n";

// The slave side of the simulator's terminal, set up as the gateway sets its port.
class Port {
 public:
  Port() = default;
  Port(const Port &) = delete;
  Port &operator=(const Port &) = delete;
  ~Port() { close(); }

  bool open(const std::string &path) {
    close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) return false;
    termios attrs{};
    tcgetattr(fd_, &attrs);
    attrs.c_iflag = IGNBRK | IGNPAR;
    attrs.c_oflag = 0;
    attrs.c_cflag = CS8 | CREAD | CLOCAL;
    attrs.c_lflag = ISIG;
    for (cc_t &c : attrs.c_cc) c = 0;
    attrs.c_cc[VTIME] = 10;
    attrs.c_cc[VMIN] = 1;
    cfsetispeed(&attrs, B2400);
    cfsetospeed(&attrs, B2400);
    return tcsetattr(fd_, TCSANOW, &attrs) == 0;
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool send(const std::string &bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Poll events seen within `timeout` (0 when nothing happened).
  short wait(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1 ? p.revents : 0;
  }

  // Reads until `count` bytes have come, the line fails, or nothing arrives for `quiet`.
  std::string read(size_t count, std::chrono::milliseconds quiet = 3000ms) {
    std::string got;
    while (got.size() < count) {
      if (!(wait(quiet) & POLLIN)) break;
      char chunk[1024];
      ssize_t n = ::read(fd_, chunk, std::min(sizeof chunk, count - got.size()));
      if (n <= 0) break;
      got.append(chunk, static_cast<size_t>(n));
    }
    return got;
  }

  // Whatever arrives until nothing more comes for `quiet`.
  std::string drain(std::chrono::milliseconds quiet = 300ms) { return read(SIZE_MAX, quiet); }

 private:
  int fd_ = -1;
};

// The slave name from the last "pty NAME" line printed after `from`.
std::string ptyName(const Process &sim, size_t from = 0) {
  std::string out = sim.out();
  size_t at = out.rfind("pty ");
  if (at == std::string::npos || at < from) return "";
  size_t end = out.find('\n', at);
  return out.substr(at + 4, end == std::string::npos ? std::string::npos : end - at - 4);
}

std::string linkTarget(const std::string &path) {
  char buffer[4096];
  ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? "" : std::string(buffer, static_cast<size_t>(n));
}

std::string slot(const std::string &block, size_t offset, size_t width) {
  return block.substr(offset, width);
}

// A simulator with its terminal opened by the test.
struct Sim {
  Process proc;
  Port port;

  void start(const std::vector<std::string> &args, bool withStdin = false) {
    Process::Options options;
    options.stdinPipe = withStdin;
    ASSERT_TRUE(proc.start(testsupport::binPath("zud-sim"), args, options));
    ASSERT_TRUE(proc.waitOut("pty ", 5s)) << proc.err();
  }

  void startOpen(const std::vector<std::string> &args, bool withStdin = false) {
    start(args, withStdin);
    ASSERT_TRUE(port.open(ptyName(proc)));
    ASSERT_TRUE(proc.waitOut("peer open", 5s));
  }

  // The block, as the answer to "d".
  std::string block() {
    port.send("d");
    return port.read(512);
  }
};

int runToEnd(const std::vector<std::string> &args, Process &proc) {
  EXPECT_TRUE(proc.start(testsupport::binPath("zud-sim"), args));
  return Process::exitCode(proc.wait(5s));
}

// An uploaded block with recognisable fields, and command characters inside
// so that a simulator that mistook them for commands would show it.
std::string craftedBlock() {
  std::string block(512, '\x01');
  block.replace(0, 8, "d?pt-old");
  block[236] = 5;
  block[237] = 6;
  block.replace(238, 6, "016027");
  block[269] = '1';
  block[270] = '0';
  block.replace(271, 3, "TOR");
  block.replace(271 + 79 * 3, 3, "SVR");
  block[511] = '\x99';
  return block;
}

TEST(ZudSimBlock, DefaultBlockIsPlausible) {
  Sim sim;
  sim.startOpen({});
  std::string block = sim.block();
  ASSERT_EQ(block.size(), 512u);
  EXPECT_EQ(block.substr(0, 5), "ZCZC-");
  EXPECT_EQ(block[236], 1);
  EXPECT_EQ(block[237], 4);
  EXPECT_EQ(slot(block, 238, 6), "016001");
  EXPECT_EQ(slot(block, 244, 6), "      ");
  EXPECT_EQ(block[264], '\0') << "a zero byte for the upload image to mend";
  EXPECT_EQ(block[269], '0');
  EXPECT_EQ(block[270], '0');
  EXPECT_EQ(slot(block, 271, 3), "TOR");
}

TEST(ZudSimBlock, IdentityAndBlockCarryTheOptions) {
  Sim sim;
  sim.startOpen({"--freq", "162.44", "--altfreq=162.5499", "--fips", "016001,,041045",
                 "--eomreset", "1", "--usealtfreq", "1", "--events", "TOR,SVR,RWT", "--lastmsg",
                 "NNNN\\r\\n", "--byte", "511=0x42", "--byte", "264=7"});
  sim.port.send("?");
  EXPECT_EQ(sim.port.read(kIdent.size()), kIdent);
  std::string block = sim.block();
  ASSERT_EQ(block.size(), 512u);
  EXPECT_EQ(sim.port.drain(), "") << "exactly 512 bytes";

  EXPECT_EQ(block.substr(0, 7), "NNNN\r\n" + std::string(1, '\0'));
  EXPECT_EQ(block[236], 3) << "162.44 is nearest to channel 3";
  EXPECT_EQ(block[237], 7);
  EXPECT_EQ(slot(block, 238, 24), "016001      041045      ");
  EXPECT_EQ(block[264], 7);
  EXPECT_EQ(block[269], '1');
  EXPECT_EQ(block[270], '1');
  EXPECT_EQ(slot(block, 271, 12), "TORSVRRWT   ");
  EXPECT_EQ(slot(block, 271 + 79 * 3, 3), "   ");
  EXPECT_EQ(block[511], 0x42);

  EXPECT_TRUE(sim.proc.waitOut("sent block 512", 2s));
  std::string out = sim.proc.out();
  EXPECT_NE(out.find("recv ?\nsent ident zud-sim receiver " ZUD_VERSION "\\r\\n\nrecv d\n"),
            std::string::npos)
      << out;
}

TEST(ZudSimUpload, UploadedBlockBecomesCurrentAndIsDumped) {
  Sim sim;
  sim.startOpen({"--dump"});
  sim.port.send("p");
  ASSERT_EQ(sim.port.read(1), "!");
  std::string uploaded = craftedBlock();
  sim.port.send(uploaded);
  EXPECT_EQ(sim.port.read(1), "*");
  EXPECT_EQ(sim.block(), uploaded);

  ASSERT_TRUE(sim.proc.waitOut("sent block 512", 2s));
  std::string out = sim.proc.out();
  EXPECT_NE(out.find("recv p\nsent ack !\nrecv block 512\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("recv ?"), std::string::npos) << "upload bytes taken as commands";
  EXPECT_NE(out.find("dump lastmsg \"d?pt-old\\x01"), std::string::npos);
  EXPECT_NE(out.find("dump main freq 162.500 MHz (channel 5)"), std::string::npos);
  EXPECT_NE(out.find("dump alt freq 162.525 MHz (channel 6)"), std::string::npos);
  EXPECT_NE(out.find("dump fips 1 \"016027\""), std::string::npos);
  EXPECT_NE(out.find("dump eom reset mode \"1\""), std::string::npos);
  EXPECT_NE(out.find("dump alt freq mode \"0\""), std::string::npos);
  EXPECT_NE(out.find("dump events 1-20 \"TOR\""), std::string::npos);
  EXPECT_NE(out.find("\"SVR\"\n"), std::string::npos);
  EXPECT_NE(out.find("dump hex 0000 64 3f 70 74"), std::string::npos);
  EXPECT_NE(out.find("dump hex 01f0"), std::string::npos);
}

TEST(ZudSimUpload, WrongAnswersAndRefusals) {
  {
    Sim sim;
    sim.startOpen({"--p-answer", "X"});
    sim.port.send("p");
    EXPECT_EQ(sim.port.read(1), "X");
    sim.port.send("?");
    EXPECT_EQ(sim.port.read(kIdent.size()), kIdent) << "no upload follows a refusal";
  }
  {
    Sim sim;
    sim.startOpen({"--upload-answer", "\\x15"});
    sim.port.send("p");
    ASSERT_EQ(sim.port.read(1), "!");
    sim.port.send(craftedBlock());
    EXPECT_EQ(sim.port.read(1), "\x15");
    EXPECT_EQ(sim.block()[236], 1) << "a refused upload leaves the block as it was";
  }
  {
    Sim sim;
    sim.startOpen({"--upload-answer", "none"});
    sim.port.send("p");
    ASSERT_EQ(sim.port.read(1), "!");
    sim.port.send(craftedBlock());
    ASSERT_TRUE(sim.proc.waitOut("recv block 512", 2s));
    sim.port.send("?");
    EXPECT_EQ(sim.port.read(kIdent.size()), kIdent) << "silence, then commands again";
  }
}

TEST(ZudSimUpload, SilentUploadIsAbandoned) {
  Sim sim;
  sim.startOpen({"--upload-timeout", "200"});
  sim.port.send("p");
  ASSERT_EQ(sim.port.read(1), "!");
  sim.port.send("0123456789");
  EXPECT_TRUE(sim.proc.waitOut("recv partial block 10", 3s));
  sim.port.send("?");
  EXPECT_EQ(sim.port.read(kIdent.size()), kIdent);
}

TEST(ZudSimLines, TestCommandAndSignalSendTheSample) {
  Sim sim;
  sim.startOpen({});
  std::string expected = kPreamble + kSample + "\r\n";
  sim.port.send("t");
  EXPECT_EQ(sim.port.read(expected.size()), expected);
  sim.proc.signal(SIGUSR1);
  EXPECT_EQ(sim.port.read(expected.size()), expected);
  EXPECT_EQ(sim.port.drain(), "");
  EXPECT_TRUE(sim.proc.waitOut("recv t\nsent line " + kSample + "\n", 2s));
}

TEST(ZudSimLines, OptionAndInputLinesGoOutWithPreamble) {
  Sim sim;
  sim.start({"--send", "ZCZC-ONE-", "--send", "NNNN"}, true);
  sim.proc.writeIn("ZCZC-HELD-\n");  // nobody has the line open yet: held
  ASSERT_TRUE(sim.port.open(ptyName(sim.proc)));
  std::string expected = kPreamble + "ZCZC-HELD-\r\n" + kPreamble + "ZCZC-ONE-\r\n" + kPreamble +
                         "NNNN\r\n";
  EXPECT_EQ(sim.port.read(expected.size()), expected);

  sim.proc.writeIn("ZCZC-CRLF-\r\n\n");  // the CR is dropped, the empty line skipped
  expected = kPreamble + "ZCZC-CRLF-\r\n";
  EXPECT_EQ(sim.port.read(expected.size()), expected);
  EXPECT_EQ(sim.port.drain(), "");
  EXPECT_TRUE(sim.proc.waitOut("sent line ZCZC-CRLF-\n", 2s));
}

TEST(ZudSimLines, SendDelayLetsTheHandshakeGoFirst) {
  Sim sim;
  sim.start({"--send", "ZCZC-LATE-", "--send-delay", "1500"});
  ASSERT_TRUE(sim.port.open(ptyName(sim.proc)));
  sim.port.send("?");
  EXPECT_EQ(sim.port.read(kIdent.size()), kIdent);
  std::string expected = kPreamble + "ZCZC-LATE-\r\n";
  EXPECT_EQ(sim.port.read(expected.size()), expected);
}

TEST(ZudSimLines, RawDirectiveSendsEscapedBytesOnly) {
  Sim sim;
  sim.startOpen({}, true);
  sim.proc.writeIn("#raw ZCZC-part\\x41\\\\\\r\\t\\xab\n");
  EXPECT_EQ(sim.port.read(14), "ZCZC-partA\\\r\t\xAB");

  std::string longLine(600, 'Z');
  sim.proc.writeIn("#raw " + longLine + "\n");
  EXPECT_EQ(sim.port.read(600), longLine);

  sim.proc.writeIn("#raw bad\\q\n#raw bad\\x4\n#bogus\n#raw ok\n");
  EXPECT_EQ(sim.port.read(2), "ok") << "bad escapes send nothing";
  EXPECT_TRUE(sim.proc.waitErr("bad escape in bad\\x4", 2s)) << sim.proc.err();
  EXPECT_TRUE(sim.proc.waitErr("unknown directive #bogus", 2s));
  sim.proc.writeIn("#sample\n");
  EXPECT_EQ(sim.port.read(kPreamble.size() + kSample.size() + 2),
            kPreamble + kSample + "\r\n");
}

TEST(ZudSimFaults, MuteSilencesCommands) {
  Sim sim;
  sim.startOpen({"--mute", "?d"}, true);
  sim.port.send("?dt");
  std::string sample = kPreamble + kSample + "\r\n";
  EXPECT_EQ(sim.port.read(sample.size()), sample) << "only t is answered";
  EXPECT_TRUE(sim.proc.waitOut("recv ? muted\nrecv d muted\nrecv t\n", 2s));

  sim.proc.writeIn("#mute d\n");
  sim.port.send("x");  // a marker: once reported, the directive has been read too
  ASSERT_TRUE(sim.proc.waitOut("recv 0x78", 2s));
  sim.port.send("?");
  EXPECT_EQ(sim.port.read(kIdent.size()), kIdent);
}

TEST(ZudSimFaults, ExtraBytesFollowTheBlock) {
  Sim sim;
  sim.startOpen({"--extra", "5"});
  sim.port.send("d");
  std::string got = sim.port.read(600, 500ms);
  ASSERT_EQ(got.size(), 517u);
  EXPECT_EQ(got.substr(512), std::string(5, '\xEE'));
  EXPECT_TRUE(sim.proc.waitOut("sent block 512\nsent extra 5\n", 2s));
}

TEST(ZudSimFaults, UnknownBytesAreReportedInHex) {
  Sim sim;
  sim.startOpen({});
  sim.port.send(std::string("x\r\0", 3));
  EXPECT_TRUE(sim.proc.waitOut("recv 0x78\nrecv 0x0d\nrecv 0x00\n", 2s));
  EXPECT_EQ(sim.port.drain(), "");
}

TEST(ZudSimLink, LinkFollowsHangupAndReturn) {
  testsupport::TempDir dir;
  std::string link = dir.file("radio");
  Sim sim;
  sim.start({"--link", link}, true);
  std::string first = ptyName(sim.proc);
  EXPECT_EQ(linkTarget(link), first);
  ASSERT_TRUE(sim.port.open(link));
  ASSERT_TRUE(sim.proc.waitOut("peer open", 2s));

  size_t mark = sim.proc.out().size();
  sim.proc.writeIn("#hangup\n");
  EXPECT_TRUE(sim.port.wait(2s) & POLLHUP);
  EXPECT_EQ(sim.port.drain(), "") << "end of file once unplugged";
  EXPECT_TRUE(sim.proc.waitOut("hangup", 2s, mark));
  struct stat info {};
  EXPECT_NE(lstat(link.c_str(), &info), 0) << "link removed while unplugged";

  sim.port.close();
  mark = sim.proc.out().size();
  sim.proc.writeIn("#return\n");
  ASSERT_TRUE(sim.proc.waitOut("pty ", 2s, mark));
  std::string second = ptyName(sim.proc, mark);
  EXPECT_EQ(linkTarget(link), second);
  ASSERT_TRUE(sim.port.open(link));
  sim.port.send("?");
  EXPECT_EQ(sim.port.read(kIdent.size()), kIdent);

  mark = sim.proc.out().size();
  sim.proc.writeIn("#hangup keep\n");
  EXPECT_TRUE(sim.port.wait(2s) & POLLHUP);
  ASSERT_TRUE(sim.proc.waitOut("hangup", 2s, mark));
  EXPECT_EQ(linkTarget(link), second) << "link kept";
  sim.port.close();
  mark = sim.proc.out().size();
  sim.proc.writeIn("#return\n");
  ASSERT_TRUE(sim.proc.waitOut("pty ", 2s, mark));
  EXPECT_EQ(linkTarget(link), ptyName(sim.proc, mark));

  sim.proc.signal(SIGTERM);
  EXPECT_EQ(Process::exitCode(sim.proc.wait(5s)), 0);
  EXPECT_NE(lstat(link.c_str(), &info), 0) << "link removed at exit";
}

TEST(ZudSimLink, SignalUnplugsAndReplugs) {
  testsupport::TempDir dir;
  std::string link = dir.file("radio");
  Sim sim;
  sim.start({"--link", link});
  ASSERT_TRUE(sim.port.open(link));
  sim.proc.signal(SIGUSR2);
  EXPECT_TRUE(sim.port.wait(2s) & POLLHUP);
  ASSERT_TRUE(sim.proc.waitOut("hangup", 2s));
  size_t mark = sim.proc.out().size();
  sim.proc.signal(SIGUSR2);
  ASSERT_TRUE(sim.proc.waitOut("pty ", 2s, mark));
  EXPECT_EQ(linkTarget(link), ptyName(sim.proc, mark));
  sim.proc.signal(SIGINT);
  EXPECT_EQ(Process::exitCode(sim.proc.wait(5s)), 0);
}

// The permission bits and group of the terminal behind `path`.
struct Access {
  unsigned mode = 0;
  gid_t group = 0;
};

Access accessOf(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  return {static_cast<unsigned>(info.st_mode & 07777), info.st_gid};
}

// Our own group, which even an unprivileged test may give its terminals; a
// new terminal belongs to the group of the devpts mount (tty) with mode 0620,
// so the change shows.
std::string ownGroupName() {
  const group *entry = getgrgid(getegid());
  return entry != nullptr ? entry->gr_name : std::to_string(getegid());
}

TEST(ZudSimAccess, ModeAndGroupReachTheTerminalBehindTheLinkAndEveryNewOne) {
  testsupport::TempDir dir;
  std::string link = dir.file("radio");
  Sim sim;
  sim.start({"--mode", "0640", "--group", ownGroupName(), "--link", link}, true);
  EXPECT_EQ(linkTarget(link), ptyName(sim.proc));
  Access access = accessOf(link);
  EXPECT_EQ(access.mode, 0640u);
  EXPECT_EQ(access.group, getegid());

  size_t mark = sim.proc.out().size();
  sim.proc.writeIn("#hangup\n#return\n");
  ASSERT_TRUE(sim.proc.waitOut("pty ", 2s, mark));
  EXPECT_EQ(linkTarget(link), ptyName(sim.proc, mark));
  access = accessOf(link);
  EXPECT_EQ(access.mode, 0640u) << "a returned terminal keeps the access";
  EXPECT_EQ(access.group, getegid());
  ASSERT_TRUE(sim.port.open(link));
  EXPECT_TRUE(sim.proc.waitOut("peer open", 2s, mark));
}

TEST(ZudSimAccess, GroupGivenByNumber) {
  Sim sim;
  sim.start({"--group", std::to_string(getegid())});
  EXPECT_EQ(accessOf(ptyName(sim.proc)).group, getegid());
}

TEST(ZudSimAccess, BadModeOrUnknownGroupIsOneLineAndStatusTwoBeforeAnyTerminal) {
  const std::vector<std::vector<std::string>> bad = {
      {"--mode", "0999"},  {"--mode", "rw-rw----"}, {"--mode", "1777"},
      {"--mode", "00660"}, {"--mode="},             {"--group", "zud-sim-no-such-group"},
      {"--group="},        {"--group", "4294967295"}};
  for (const auto &args : bad) {
    Process proc;
    EXPECT_EQ(runToEnd(args, proc), 2) << args[0];
    std::string err = proc.err();
    EXPECT_EQ(err.rfind("zud-sim: " + args[0].substr(0, 6), 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(proc.out(), "") << "no terminal offered";
  }
}

// The system refusing the group: in a user namespace of our own only our
// ids are mapped, so the kernel refuses any other group, even for root.
TEST(ZudSimAccess, RefusedGroupIsOneLineAndStatusTwoBeforeTheLink) {
  testsupport::TempDir dir;
  std::string link = dir.file("radio");
  Process proc;
  ASSERT_TRUE(proc.start("/usr/bin/unshare", {"--user", "--map-root-user",
                                              testsupport::binPath("zud-sim"), "--group", "12345",
                                              "--mode", "0660", "--link", link}));
  int status = Process::exitCode(proc.wait(5s));
  if (proc.err().rfind("unshare:", 0) == 0) GTEST_SKIP() << "no user namespaces: " << proc.err();
  EXPECT_EQ(status, 2);
  std::string err = proc.err();
  EXPECT_EQ(err.rfind("zud-sim: cannot give /dev/pts/", 0), 0u) << err;
  EXPECT_NE(err.find(" to group 12345: "), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(proc.out(), "");
  struct stat info {};
  EXPECT_NE(lstat(link.c_str(), &info), 0) << "no link to a terminal nobody may use";
}

// Reads ten bytes of the block, closes the line, waits until the simulator
// has seen the close, and opens it again.
void closeMidBlock(Sim &sim) {
  std::string name = ptyName(sim.proc);
  sim.port.send("d");
  ASSERT_EQ(sim.port.read(10).size(), 10u);
  sim.port.close();
  size_t closed = 0;
  ASSERT_TRUE(testsupport::eventually(
      [&] { return (closed = sim.proc.out().find("peer closed")) != std::string::npos; }, 2s));
  ASSERT_TRUE(sim.port.open(name));
  EXPECT_TRUE(sim.proc.waitOut("peer open", 2s, closed));
}

TEST(ZudSimLine, ReopeningStartsClean) {
  Sim sim;
  sim.startOpen({});
  closeMidBlock(sim);
  sim.port.send("?");
  EXPECT_EQ(sim.port.read(kIdent.size()), kIdent) << "unread bytes do not outlive the close";
}

TEST(ZudSimLine, PendingOutputIsDroppedAtClose) {
  Sim sim;
  sim.startOpen({"--baud", "2400"});
  closeMidBlock(sim);  // most of the slow block is still to come
  EXPECT_TRUE(sim.proc.waitOut("drop ", 2s));
  sim.port.send("?");
  EXPECT_EQ(sim.port.read(kIdent.size()), kIdent);
}

TEST(ZudSimLine, BaudPacesOutput) {
  Sim sim;
  sim.startOpen({"--baud", "2400"});
  sim.port.send("d");
  std::string first = sim.port.read(1);
  auto start = std::chrono::steady_clock::now();
  std::string rest = sim.port.read(511);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(first.size() + rest.size(), 512u);
  // 512 bytes at 240 a second take over two seconds; slowness only adds.
  EXPECT_GE(took, 1500ms);
}

TEST(ZudSimCommandLine, HelpCoversEveryOption) {
  Process proc;
  EXPECT_EQ(runToEnd({"--help"}, proc), 0);
  std::string out = proc.out();
  for (const char *option :
       {"--freq", "--altfreq", "--fips", "--events", "--eomreset", "--usealtfreq", "--lastmsg",
        "--byte", "--ident", "--send", "--send-delay", "--baud", "--link", "--mode", "--group",
        "--dump", "--mute",
        "--extra", "--p-answer", "--upload-answer", "--upload-timeout", "#hangup", "#return",
        "#raw", "#sample", "#mute", "#quit"})
    EXPECT_NE(out.find(option), std::string::npos) << option;
}

TEST(ZudSimCommandLine, BadUsageExitsTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},          {"stray"},          {"--freq"},
      {"--freq", "170"},    {"--freq", "x"},    {"--altfreq", "162.39"},
      {"--fips", "12345"},  {"--fips", "1,2,3,4,5"}, {"--fips", "016001,016003,016005,016007,016009"},
      {"--events", "TORN"}, {"--eomreset", "2"}, {"--byte", "512=1"},
      {"--byte", "1=256"},  {"--byte", "1"},    {"--p-answer", "ab"},
      {"--upload-answer", ""}, {"--baud", "-5"}, {"--extra", "x"},
      {"--dump=yes"},       {"--lastmsg", "\\q"}, {"--send-delay", "1s"}};
  for (const auto &args : bad) {
    Process proc;
    EXPECT_EQ(runToEnd(args, proc), 2) << args[0];
    EXPECT_NE(proc.err().find("zud-sim: "), std::string::npos) << args[0];
  }
}

TEST(ZudSimCommandLine, RefusesToReplaceAFileWithTheLink) {
  testsupport::TempDir dir;
  std::string path = dir.file("file");
  ASSERT_TRUE(testsupport::writeFile(path, "keep me"));
  Process proc;
  EXPECT_EQ(runToEnd({"--link", path}, proc), 1);
  EXPECT_EQ(testsupport::readFile(path), "keep me");
}

}  // namespace
