// The configuration file: its exact form, loading it into a fresh service,
// every reason a header is refused, and saves that never lose the previous
// file, whatever fails on the way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "config_helpers.h"
#include "process.h"
#include "xPL_priv.h"

using configtest::PairList;
using configtest::SentDatagrams;
using configtest::valuesOf;
using testsupport::readFile;
using testsupport::writeFile;
using xpltest::debugLogOf;
using xpl::internal::installNewConfig;

namespace {

const char elevenLines[] =
    "[kelvora-zud]\n"
    "reconf=newconf\n"
    "reconf=interval\n"
    "option=group[255]\n"
    "option=filter[255]\n"
    "reconf=device\n"
    "newconf=hall\n"
    "interval=5\n"
    "filter=\n"
    "group=\n"
    "device=/dev/ttyS0\n";

class ConfigFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (xPL_ServicePtr service : services) xPL_releaseService(service);
    xPL_setDebugging(FALSE);
  }

  // A configurable kelvora-zud service tied to `path` (loaded if it exists).
  xPL_ServicePtr create(const std::string &path, const char *device = "zud") {
    xPL_ServicePtr service =
        xPL_createConfigurableService("kelvora", device, path.empty() ? NULL : path.c_str());
    services.push_back(service);
    return service;
  }

  // The service of the eleven-line example.
  xPL_ServicePtr gatewayService(const std::string &path) {
    xPL_ServicePtr service = create("");
    xPL_setServiceInstanceID(service, "hall");
    xPL_addServiceConfigurable(service, "device", xPL_CONFIG_RECONF, 1);
    xPL_setServiceConfigValue(service, "device", "/dev/ttyS0");
    xPL_setServiceConfigFile(service, path.c_str());
    return service;
  }

  std::string path() const { return dir.file("zud.xpl"); }

  SentDatagrams sent;
  testsupport::TempDir dir;
  std::vector<xPL_ServicePtr> services;
};

TEST_F(ConfigFileTest, SavesTheElevenLineExampleExactly) {
  xPL_ServicePtr service = gatewayService(path());
  EXPECT_TRUE(xPL_saveServiceConfig(service));
  EXPECT_EQ(readFile(path()), elevenLines);
  EXPECT_EQ(access((path() + ".tmp").c_str(), F_OK), -1);  // no temporary left behind
  EXPECT_EQ(sent.size(), 0u);
}

TEST_F(ConfigFileTest, LoadsTheExampleIntoAFreshService) {
  std::string text = elevenLines;
  text.replace(0, 13, "[KELVORA-Zud]");
  ASSERT_TRUE(writeFile(path(), text));
  xPL_ServicePtr service = nullptr;
  std::string log = debugLogOf([&] { service = create(path()); });

  EXPECT_TRUE(xPL_isServiceConfigured(service));
  EXPECT_FALSE(xPL_isServiceEnabled(service));
  EXPECT_STREQ(xPL_getServiceInstanceID(service), "hall");
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 300);
  ASSERT_EQ(xPL_getServiceConfigurableCount(service), 1);
  EXPECT_STREQ(xPL_getServiceConfigurableAt(service, 0)->itemName, "device");
  EXPECT_EQ(xPL_getServiceConfigurableAt(service, 0)->itemType, xPL_CONFIG_RECONF);
  EXPECT_EQ(valuesOf(service, "device"), (std::vector<std::string>{"/dev/ttyS0"}));
  EXPECT_EQ(xPL_getServiceFilterCount(service), 0);
  EXPECT_EQ(xPL_getServiceGroupCount(service), 0);
  EXPECT_EQ(sent.size(), 0u);
  EXPECT_NE(log.find("xPL_DEBUG: CONFIG:: Read header [KELVORA-Zud] from config file, about to "
                     "parse\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("xPL_DEBUG: CONFIG:: Config file successfully read and installed\n"),
            std::string::npos);
  EXPECT_EQ(log.find("Got new interval"), std::string::npos);  // 5 minutes is the default

  // Loading never saves the file again.
  EXPECT_EQ(readFile(path()), text);
}

TEST_F(ConfigFileTest, RefusedHeadersLoadNothing) {
  const std::string p = path();
  struct Case {
    const char *text;
    std::string error;
  } cases[] = {
      {"", "CONFIG:: Error reading config file " + p + " -- config not loaded"},
      {"[a-]\nreconf=device\n", "CONFIG:: Config file header too short -- config not loaded"},
      {"[kelvorazud]\nreconf=device\n",
       "CONFIG:: Unable to parse configuration file header (missing dash) for " + p +
           " -- config not loaded"},
      {"[kelvora-zud\nreconf=device\n",
       "CONFIG:: Unable to parse configuration file header (missing end bracket) for " + p +
           " -- config not loaded"},
      {"[kelvora-zud]\r\nreconf=device\r\ndevice=/dev/ttyS0\r\n",
       "CONFIG:: Unable to parse configuration file header (missing end bracket) for " + p +
           " -- config not loaded"},
      {"[kelvora-zud]\nreconf=device\n",  // read by a service of another device ID
       "CONFIG:: Config file header does not match this device -- config not loaded"},
      {"[acme-zud]\nreconf=device\n",
       "CONFIG:: Config file header does not match this device -- config not loaded"},
  };
  int index = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(writeFile(p, c.text));
    const char *device = index++ == 5 ? "other" : "zud";
    testing::internal::CaptureStderr();
    xPL_ServicePtr service = create(p, device);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("ERROR: " + c.error + "\n"), std::string::npos) << log;
    EXPECT_FALSE(xPL_isServiceConfigured(service));
    EXPECT_EQ(xPL_getServiceConfigurableCount(service), 0);
    EXPECT_EQ(xPL_getHeartbeatInterval(service), 300);
    EXPECT_EQ(strlen(xPL_getServiceInstanceID(service)), 16u);  // still the generated one
    testing::internal::CaptureStderr();
    EXPECT_FALSE(xPL_loadServiceConfig(service));
    testing::internal::GetCapturedStderr();
  }
}

TEST_F(ConfigFileTest, MissingOrHeaderOnlyFilesLoadSuccessfullyAndLeaveTheServiceUnconfigured) {
  for (const char *text : {"[kelvora-zud]", "[kelvora-zud]\n", "[kelvora-zud]\nno pairs here\n"}) {
    ASSERT_TRUE(writeFile(path(), text));
    xPL_ServicePtr service = create(path());
    EXPECT_TRUE(xPL_loadServiceConfig(service)) << text;
    EXPECT_FALSE(xPL_isServiceConfigured(service)) << text;
  }
  unlink(path().c_str());
  xPL_ServicePtr service = nullptr;
  std::string log = debugLogOf([&] { service = create(path()); });
  EXPECT_NE(log.find("CONFIG:: File " + path() + " does not exist -- no config loaded\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(xPL_loadServiceConfig(service));
  EXPECT_FALSE(xPL_isServiceConfigured(service));
}

TEST_F(ConfigFileTest, LoadingIsOnlyForDisabledUnconfiguredServicesWithAPath) {
  ASSERT_TRUE(writeFile(path(), elevenLines));
  xPL_ServicePtr noPath = create("");
  EXPECT_FALSE(xPL_loadServiceConfig(noPath));

  xPL_ServicePtr configured = create(path());
  ASSERT_TRUE(xPL_isServiceConfigured(configured));
  EXPECT_FALSE(xPL_loadServiceConfig(configured));

  xPL_ServicePtr enabled = create("");
  xPL_setServiceConfigFile(enabled, path().c_str());
  xPL_setServiceEnabled(enabled, TRUE);
  EXPECT_FALSE(xPL_loadServiceConfig(enabled));
  EXPECT_FALSE(xPL_isServiceConfigured(enabled));
  xPL_setServiceEnabled(enabled, FALSE);
}

TEST_F(ConfigFileTest, ThePathIsSetOnlyWhileDisabled) {
  xPL_ServicePtr service = create("");
  EXPECT_FALSE(xPL_saveServiceConfig(service));  // no path
  xPL_setServiceConfigFile(service, "a.xpl");
  String first = xPL_getServiceConfigFile(service);
  xPL_setServiceConfigFile(service, "a.xpl");
  EXPECT_EQ(xPL_getServiceConfigFile(service), first);  // same text: kept as it is
  xPL_setServiceEnabled(service, TRUE);
  xPL_setServiceConfigFile(service, "b.xpl");
  EXPECT_STREQ(xPL_getServiceConfigFile(service), "a.xpl");
  xPL_setServiceEnabled(service, FALSE);
  xPL_setServiceConfigFile(service, "A.xpl");
  EXPECT_STREQ(xPL_getServiceConfigFile(service), "A.xpl");
  xPL_setServiceConfigFile(service, NULL);
  EXPECT_EQ(xPL_getServiceConfigFile(service), nullptr);
}

TEST_F(ConfigFileTest, FiltersGroupsAndValuesWithEqualsSignsRoundTrip) {
  xPL_ServicePtr service = gatewayService(path());
  xPL_addServiceConfigurable(service, "fips", xPL_CONFIG_RECONF, 4);
  xPL_addServiceConfigurable(service, "mode", xPL_CONFIG_OPTIONAL, 1);
  xPL_addServiceConfigurable(service, "event", xPL_CONFIG_MANDATORY, 80);
  xPL_addServiceConfigValue(service, "fips", "a=b=c");
  xPL_addServiceConfigValue(service, "fips", " spaced \r");
  xPL_addServiceConfigValue(service, "fips", "");
  PairList network({{"interval", "1"},
                    {"filter", "xpl-trig.*.*.*.weather.*"},
                    {"filter", "xpl-cmnd.acme.mgr.*.config.*"},
                    {"group", "XPL-GROUP.hall"},
                    {"device", "/dev/ttyS0"},
                    {"fips", "a=b=c"},
                    {"fips", " spaced \r"},
                    {"fips", ""}});
  installNewConfig(service, network.get(), FALSE);  // saves

  std::string saved = readFile(path());
  EXPECT_EQ(saved,
            "[kelvora-zud]\n"
            "reconf=newconf\n"
            "reconf=interval\n"
            "option=group[255]\n"
            "option=filter[255]\n"
            "reconf=device\n"
            "reconf=fips[4]\n"
            "option=mode\n"
            "config=event[80]\n"
            "newconf=hall\n"
            "interval=1\n"
            "filter=xpl-trig.*.*.*.weather.*\n"
            "filter=xpl-cmnd.acme.mgr.*.config.*\n"
            "group=XPL-GROUP.hall\n"
            "device=/dev/ttyS0\n"
            "fips=a=b=c\n"
            "fips= spaced \r\n"
            "fips=\n");

  xPL_ServicePtr loaded = create(path());
  ASSERT_TRUE(xPL_isServiceConfigured(loaded));
  EXPECT_EQ(xPL_getHeartbeatInterval(loaded), 60);
  EXPECT_EQ(valuesOf(loaded, "fips"), (std::vector<std::string>{"a=b=c", " spaced \r", ""}));
  EXPECT_EQ(xPL_findServiceConfigurable(loaded, "event")->itemType, xPL_CONFIG_MANDATORY);
  ASSERT_EQ(xPL_getServiceFilterCount(loaded), 2);
  String filterText = xpl::internal::formatFilter(xPL_getServiceFilterAt(loaded, 1));
  EXPECT_STREQ(filterText, "xpl-cmnd.acme.mgr.*.config.*");
  xPL_FreeStr(filterText);
  ASSERT_EQ(xPL_getServiceGroupCount(loaded), 1);

  // Saved again, the loaded service writes the same file.
  std::string copy = dir.file("copy.xpl");
  xPL_setServiceConfigFile(loaded, copy.c_str());
  ASSERT_TRUE(xPL_saveServiceConfig(loaded));
  EXPECT_EQ(readFile(copy), saved);
}

TEST_F(ConfigFileTest, LinesApplyInFileOrder) {
  ASSERT_TRUE(writeFile(path(),
                        "[kelvora-zud]\n"
                        "device=/dev/early\n"  // before its definition: dropped
                        "reconf=device\n"
                        "device=/dev/ttyS0\n"
                        "device=/dev/second\n"  // beyond the one value: dropped
                        "config=device\n"       // defined twice: refused
                        "interval=2\n"
                        "=empty name\n"));
  xPL_ServicePtr service = nullptr;
  std::string log = debugLogOf([&] { service = create(path()); });
  EXPECT_EQ(valuesOf(service, "device"), (std::vector<std::string>{"/dev/ttyS0"}));
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 120);
  EXPECT_NE(log.find("ERROR: CONFIG:: Unable to define configurable device -- item ignored\n"),
            std::string::npos);
}

TEST_F(ConfigFileTest, LongLinesAreWrittenAndReadWhole) {
  xPL_ServicePtr service = gatewayService(path());
  std::string longName(120, 'n');
  std::string longValue(3000, 'v');
  xPL_addServiceConfigurable(service, longName.c_str(), xPL_CONFIG_OPTIONAL, 80);
  xPL_addServiceConfigValue(service, longName.c_str(), longValue.c_str());
  xPL_setServiceConfigValue(service, "device", longValue.c_str());
  ASSERT_TRUE(xPL_saveServiceConfig(service));
  EXPECT_NE(readFile(path()).find("\noption=" + longName + "[80]\n"), std::string::npos);

  xPL_ServicePtr loaded = create(path());
  EXPECT_EQ(valuesOf(loaded, longName.c_str()), (std::vector<std::string>{longValue}));
  EXPECT_EQ(valuesOf(loaded, "device"), (std::vector<std::string>{longValue}));
  EXPECT_EQ(xPL_getServiceConfigurableCount(loaded), 2);
}

TEST_F(ConfigFileTest, TextsHoldingLineFeedsAreLeftOutRatherThanSplit) {
  xPL_ServicePtr service = gatewayService(path());
  xPL_addServiceConfigurable(service, "fips", xPL_CONFIG_RECONF, 4);
  xPL_addServiceConfigurable(service, "bad\nname", xPL_CONFIG_RECONF, 1);
  xPL_addServiceConfigurable(service, "a=b", xPL_CONFIG_RECONF, 1);
  xPL_addServiceConfigValue(service, "fips", "001");
  xPL_addServiceConfigValue(service, "fips", "002\nreconf=injected");
  xPL_addServiceConfigValue(service, "fips", "003");
  xPL_addServiceConfigValue(service, "bad\nname", "x");
  xPL_addServiceConfigValue(service, "a=b", "y");
  std::string log = debugLogOf([&] { EXPECT_TRUE(xPL_saveServiceConfig(service)); });
  EXPECT_NE(log.find("CONFIG:: Value 1 of fips holds a line feed -- not saved\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("CONFIG:: Item name bad\nname cannot be written to a line -- item not saved\n"),
            std::string::npos);
  EXPECT_NE(log.find("CONFIG:: Item name a=b cannot be written to a line -- item not saved\n"),
            std::string::npos);
  std::string saved = readFile(path());
  EXPECT_EQ(saved.find("injected"), std::string::npos);
  EXPECT_EQ(saved.find("name"), std::string::npos);
  EXPECT_EQ(saved.find("a=b"), std::string::npos);

  xPL_ServicePtr loaded = create(path());
  EXPECT_EQ(valuesOf(loaded, "fips"), (std::vector<std::string>{"001", "003"}));
  EXPECT_EQ(xPL_getServiceConfigurableCount(loaded), 2);
}

// ---------------------------------------------------------------------------
// Saves that fail leave the previous file as it was.

// A descriptor that closes with the object.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// What body logs with debugging on, caught through a pipe: unlike a file,
// a pipe is not bound by the file size limit that one case sets.
template <typename Body>
std::string debugLogThroughPipe(Body body) {
  int ends[2];
  if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return "(no pipe)";
  Fd readEnd{ends[0]}, writeEnd{ends[1]}, savedStderr{dup(2)};
  fflush(stderr);
  dup2(writeEnd.fd, 2);
  Bool wasDebugging = xPL_isDebugging();
  xPL_setDebugging(TRUE);
  body();
  xPL_setDebugging(wasDebugging);
  fflush(stderr);
  dup2(savedStderr.fd, 2);
  std::string log;
  char buffer[4096];
  ssize_t n;
  while ((n = read(readEnd.fd, buffer, sizeof buffer)) > 0) log.append(buffer, n);
  return log;
}

class FailedSaveTest : public ConfigFileTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(writeFile(path(), previous));
    service = gatewayService(path());
    xPL_setServiceConfigValue(service, "device", "/dev/ttyUSB9");
  }

  // Saves, expecting failure with `error` in the error line, the old file
  // intact and no temporary left.
  void expectFailedSave(const std::string &error) {
    Bool saved = TRUE;
    std::string log = debugLogThroughPipe([&] {
      sabotage(true);
      saved = xPL_saveServiceConfig(service);
      sabotage(false);
    });
    EXPECT_FALSE(saved);
    EXPECT_NE(log.find("ERROR: CONFIG:: File " + path() + " could not be opened/created -- " +
                       error + "\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(readFile(path()), previous);
    struct stat info;
    EXPECT_TRUE(stat((path() + ".tmp").c_str(), &info) != 0 || S_ISDIR(info.st_mode));
    EXPECT_STREQ(xPL_getServiceConfigValue(service, "device"), "/dev/ttyUSB9");
  }

  // Makes the next save fail (true) and undoes it (false); nothing by default.
  std::function<void(bool)> sabotage = [](bool) {};
  const std::string previous = elevenLines;
  xPL_ServicePtr service = nullptr;
};

TEST_F(FailedSaveTest, TemporaryFileCannotBeCreated) {
  ASSERT_EQ(mkdir((path() + ".tmp").c_str(), 0700), 0);
  expectFailedSave("Is a directory (21)");
  rmdir((path() + ".tmp").c_str());
  EXPECT_TRUE(xPL_saveServiceConfig(service));  // and works again afterwards
  EXPECT_NE(readFile(path()).find("device=/dev/ttyUSB9\n"), std::string::npos);
}

TEST_F(FailedSaveTest, WriteFailsPartWay) {
  // A file size limit makes writes fail like a full disk would.
  struct rlimit normal;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &normal), 0);
  sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  sabotage = [&](bool on) {
    struct rlimit limit = normal;
    if (on) limit.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &limit);
  };
  expectFailedSave("File too large (27)");
  signal(SIGXFSZ, oldHandler);
}

TEST_F(FailedSaveTest, TargetCannotBeReplaced) {
  std::string target = dir.file("target-dir");
  ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
  xPL_setServiceConfigFile(service, target.c_str());
  std::string log = debugLogOf([&] { EXPECT_FALSE(xPL_saveServiceConfig(service)); });
  EXPECT_NE(log.find("CONFIG:: File " + target + " could not be opened/created -- Is a directory (21)"),
            std::string::npos)
      << log;
  EXPECT_EQ(access((target + ".tmp").c_str(), F_OK), -1);
}

TEST_F(ConfigFileTest, SavesKeepPermissionsLinksAndReplaceStaleTemporaries) {
  xPL_ServicePtr service = gatewayService(path());
  mode_t oldMask = umask(022);
  ASSERT_TRUE(xPL_saveServiceConfig(service));
  struct stat info;
  ASSERT_EQ(stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);  // as a new file gets it

  ASSERT_EQ(chmod(path().c_str(), 0600), 0);
  ASSERT_TRUE(writeFile(path() + ".tmp", "left over from a crash\n"));
  ASSERT_TRUE(xPL_saveServiceConfig(service));
  ASSERT_EQ(stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);  // the old file's
  EXPECT_EQ(readFile(path()), elevenLines);
  EXPECT_EQ(access((path() + ".tmp").c_str(), F_OK), -1);

  // A link to the file stays a link; the file it points to is replaced.
  std::string real = dir.file("real.xpl");
  std::string link = dir.file("link.xpl");
  ASSERT_TRUE(writeFile(real, "old\n"));
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  xPL_setServiceConfigFile(service, link.c_str());
  ASSERT_TRUE(xPL_saveServiceConfig(service));
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(readFile(real), elevenLines);
  umask(oldMask);
}

}  // namespace
