// xpl-config against a real configurable service over the loopback: the
// test process is the device (a configurable kelvora-zud service), xpl-hub
// relays, and xpl-config discovers, reads and sets the configuration.  The
// whole binary runs in a private network namespace.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"
#include "xPL_priv.h"

using namespace std::chrono_literals;
using testsupport::binPath;
using testsupport::Process;

namespace {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs xpl-config with `args` while this process keeps its own xPL device
// running, and returns how it ended.
ToolRun runTool(const std::vector<std::string> &args) {
  Process tool;
  ToolRun run;
  if (!tool.start(binPath("xpl-config"), args)) return run;
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (tool.running() && std::chrono::steady_clock::now() < deadline) {
    if (xPLFD != -1) {
      struct pollfd listener = {xPLFD, POLLIN, 0};
      poll(&listener, 1, 20);
      xPL_processMessages(0);
    } else {
      poll(nullptr, 0, 20);
    }
  }
  run.status = Process::exitCode(tool.wait(1s));
  run.out = tool.out();
  run.err = tool.err();
  return run;
}

std::vector<std::string> toolArgs(std::vector<std::string> args) {
  args.insert(args.begin(), {"-interface", "lo"});
  return args;
}

TEST(XplConfigUsage, BadCommandLinesExitWithStatus2) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"list"},
      {"list", "kelvora-zud"},
      {"list", "kelvora.zud-hall"},
      {"current", "kelvora-zud.hall", "extra"},
      {"set", "kelvora-zud.hall"},
      {"set", "kelvora-zud.hall", "novalue"},
      {"set", "kelvora-zud.hall", "=value"},
      {"set", "kelvora-zud.hall", "newconf="},
      {"discover", "--seconds", "0"},
      {"discover", "--seconds"},
      {"list", "kelvora-zud.hall", "--timeout", "soon"},
      {"discover", "--verbose"},
  };
  for (const auto &args : bad) {
    ToolRun run = runTool(args);
    std::string line;
    for (const auto &arg : args) line += arg + " ";
    EXPECT_EQ(run.status, 2) << line;
    EXPECT_NE(run.err.find("xpl-config: "), std::string::npos) << line;
    EXPECT_NE(run.err.find("Try 'xpl-config --help'"), std::string::npos) << line;
    EXPECT_EQ(run.out, "") << line;
  }
  ToolRun help = runTool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: xpl-config"), std::string::npos);
  EXPECT_NE(help.out.find("set DEVICE NAME=VALUE"), std::string::npos);
}

TEST(XplConfigAlone, WithoutAHubNoAnswerComes) {
  ToolRun run = runTool(toolArgs({"current", "kelvora-zud.hall", "--timeout", "1"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("xpl-config: no config.current answer from kelvora-zud.hall within 1 s "
                         "(no xPL hub answered: is one running on this host?)\n"),
            std::string::npos)
      << run.err;

  ToolRun noInterface = runTool({"-interface", "nosuch0", "discover"});
  EXPECT_EQ(noInterface.status, 1);
  EXPECT_NE(noInterface.err.find("cannot join the xPL network"), std::string::npos)
      << noInterface.err;
}

class XplConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(hub.start(binPath("xpl-hub"), {}));
    xPL_setBroadcastInterface("lo");
    ASSERT_TRUE(xPL_initialize(xcViaHub));
    device = xPL_createConfigurableService("kelvora", "zud", dir.file("zud.xpl").c_str());
    ASSERT_NE(device, nullptr);
    xPL_addServiceConfigurable(device, "device", xPL_CONFIG_RECONF, 1);
    xPL_addServiceConfigurable(device, "fips", xPL_CONFIG_RECONF, 4);
    xPL_addServiceConfigurable(device, "event", xPL_CONFIG_OPTIONAL, 80);
    xPL_setServiceConfigValue(device, "device", "/dev/ttyS0");
    xPL_addServiceConfigChangedListener(device, countChange, this);
    xPL_setServiceEnabled(device, TRUE);
    // Until the hub hears our heartbeat it relays nothing to us.
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!xPL_isHubConfirmed() && std::chrono::steady_clock::now() < deadline) {
      xPL_processMessages(200);
    }
    ASSERT_TRUE(xPL_isHubConfirmed());
  }
  void TearDown() override {
    if (device != nullptr) {
      xPL_setServiceEnabled(device, FALSE);
      xPL_releaseService(device);
    }
    xPL_shutdown();
  }

  static void countChange(xPL_ServicePtr, xPL_ObjectPtr self) {
    static_cast<XplConfigTest *>(self)->changes++;
  }

  std::string name() const { return std::string("kelvora-zud.") + xPL_getServiceInstanceID(device); }

  testsupport::TempDir dir;
  Process hub;
  xPL_ServicePtr device = nullptr;
  int changes = 0;
};

TEST_F(XplConfigTest, DiscoversListsReadsAndSetsTheConfiguration) {
  ToolRun found = runTool(toolArgs({"discover", "--seconds", "3"}));
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_NE(found.out.find(name() + " (awaiting configuration)\n"), std::string::npos)
      << found.out;
  EXPECT_EQ(found.out.find("kelvora-config"), std::string::npos);  // not itself

  ToolRun list = runTool(toolArgs({"list", name()}));
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out,
            "reconf=newconf\nreconf=interval\noption=group[255]\noption=filter[255]\n"
            "reconf=device\nreconf=fips[4]\noption=event[80]\n");

  ToolRun current = runTool(toolArgs({"current", name(), "--timeout", "5"}));
  EXPECT_EQ(current.status, 0) << current.err;
  EXPECT_EQ(current.out, "newconf=" + std::string(xPL_getServiceInstanceID(device)) +
                             "\ninterval=5\ngroup=\nfilter=\ndevice=/dev/ttyS0\nfips=\nevent=\n");

  std::string oldName = name();
  ToolRun set = runTool(toolArgs({"set", oldName, "newconf=attic", "interval=10", "device=/dev/ttyS1",
                              "fips=001", "fips=002", "group=XPL-GROUP.upstairs"}));
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_NE(set.err.find(oldName + " is now kelvora-zud.attic"), std::string::npos) << set.err;
  EXPECT_EQ(set.out,
            "newconf=attic\ninterval=10\ngroup=XPL-GROUP.upstairs\nfilter=\n"
            "device=/dev/ttyS1\nfips=001\nfips=002\nevent=\n");

  EXPECT_STREQ(xPL_getServiceInstanceID(device), "attic");
  EXPECT_EQ(xPL_getHeartbeatInterval(device), 600);
  EXPECT_TRUE(xPL_isServiceConfigured(device));
  EXPECT_TRUE(xPL_isServiceEnabled(device));
  EXPECT_EQ(changes, 1);
  std::string saved = testsupport::readFile(dir.file("zud.xpl"));
  EXPECT_NE(saved.find("newconf=attic\ninterval=10\nfilter=\ngroup=XPL-GROUP.upstairs\n"
                       "device=/dev/ttyS1\nfips=001\nfips=002\n"),
            std::string::npos)
      << saved;

  ToolRun again = runTool(toolArgs({"discover", "--seconds", "3"}));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("kelvora-zud.attic\n"), std::string::npos) << again.out;
  EXPECT_EQ(again.out.find(oldName), std::string::npos) << again.out;
}

TEST_F(XplConfigTest, UnknownDeviceTimesOut) {
  ToolRun run = runTool(toolArgs({"list", "kelvora-zud.nobody", "--timeout", "1.5"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no config.list answer from kelvora-zud.nobody within 1.5 s\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "");
}

}  // namespace
