// zud-alerts against stores built here through the store's own writes: the
// filters and order of list, the alerts still in force, the health verdict
// and its exit status, stores that cannot be read, and a reader that may not
// write the store's directory.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "store/alertstore.h"
#include "process.h"
#include "store/sqlite.h"
#include "same/timetext.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::binPath;
using testsupport::Process;
using testsupport::TempDir;

constexpr std::time_t kHour = 3600;
constexpr std::time_t kDay = 86400;

using Places = std::vector<std::pair<std::string, std::string>>;

// An alert as the decoder would make it, heard at `received`, issued a minute
// before and lasting `minutes`.
heardalert makeAlert(const std::string &code, const std::string &event, const Places &places,
                     std::time_t received, int minutes, const std::string &station = "KBOI/NWS") {
  heardalert heard;
  alert &a = heard.values;
  a.originatorcode = "WXR";
  a.originator = "National Weather Service";
  a.eventcode = code;
  a.event = event;
  for (const auto &place : places) {
    a.locationcodes.push_back(place.first);
    a.locations.push_back(place.second);
  }
  char purge[16];
  std::snprintf(purge, sizeof purge, "%02d%02d", minutes / 60, minutes % 60);
  a.purge = purge;
  a.issued = received - 60;
  a.expires = a.issued + minutes * 60;
  a.source = station;
  a.header = "ZCZC-WXR-" + code + "-" + places.front().first + "+" + a.purge + "-3411742-" +
             station + "-";
  heard.received = received;
  heard.origin = "/dev/ttyUSB0";
  return heard;
}

const Places kAda = {{"016001", "Ada ID"}};
const Places kAdaCanyon = {{"016001", "Ada ID"}, {"016027", "Canyon ID"}};

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs a program to its end (10 s at most); what it printed and its status.
Result runProgram(const std::string &program, const std::vector<std::string> &args) {
  Process process;
  Process::Options options;
  options.extraEnv = {"TZ=UTC"};
  Result result;
  if (!process.start(program, args, options)) return result;
  result.status = Process::exitCode(process.wait(10s));
  result.out = process.out();
  result.err = process.err();
  return result;
}

Result runAlerts(const std::string &store, std::vector<std::string> args) {
  args.insert(args.begin(), {"--store", store});
  return runProgram(binPath("zud-alerts"), args);
}

// The JSON zud-alerts printed; a failure (and null) when it is not JSON.
json parsed(const Result &result) {
  json value = json::parse(result.out, nullptr, false);
  EXPECT_FALSE(value.is_discarded()) << result.out << result.err;
  return value;
}

std::vector<std::string> events(const json &list) {
  std::vector<std::string> found;
  for (const json &item : list) found.push_back(item.value("event_type", "?"));
  return found;
}

// Makes the store look as if it had been created at `when`.
void setCreated(const std::string &path, std::time_t when) {
  sqlitedb db;
  ASSERT_TRUE(db.open(path, sqlitedb::mode::readwrite)) << db.error();
  const std::string sql =
      "UPDATE meta SET value = '" + std::to_string(when) + "' WHERE key = 'created'";
  ASSERT_TRUE(db.exec(sql.c_str())) << db.error();
}

class ZudAlerts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.made());
    path_ = dir_.file("alerts.db");
    ASSERT_TRUE(store_.open(path_)) << store_.error();
  }

  void add(const heardalert &heard) { ASSERT_TRUE(store_.addalert(heard)) << store_.error(); }

  TempDir dir_;
  std::string path_;
  alertstore store_;
  const std::time_t now_ = std::time(nullptr);
};

TEST_F(ZudAlerts, ListHonoursItsFiltersNewestFirst) {
  const heardalert oldTornado = makeAlert("TOR", "Tornado Warning", kAda, now_ - 3 * kDay, 45);
  const heardalert storm =
      makeAlert("SVR", "Severe Thunderstorm Warning", kAdaCanyon, now_ - 2 * kDay, 60);
  const heardalert test = makeAlert("RWT", "Required Weekly Test", kAda, now_ - 5 * kHour, 15);
  heardalert tornado = makeAlert("TOR", "Tornado Warning", kAdaCanyon, now_ - kHour, 45);
  // Heard out of order: the list follows the time of reception, not of writing.
  add(storm);
  add(tornado);
  add(oldTornado);
  add(test);
  tornado.received = now_ - kHour + 20;  // the same alert again
  add(tornado);

  Result all = runAlerts(path_, {"--json"});
  ASSERT_EQ(all.status, 0) << all.err;
  const json list = parsed(all);
  ASSERT_EQ(events(list), (std::vector<std::string>{"TOR", "RWT", "SVR", "TOR"}));
  EXPECT_EQ(list[0]["received"], isotime(now_ - kHour));
  EXPECT_EQ(list[0]["repeats"], 1);
  EXPECT_EQ(list[0]["last_heard"], isotime(now_ - kHour + 20));
  EXPECT_EQ(list[0]["expires"], isotime(now_ - kHour - 60 + 45 * 60));
  EXPECT_EQ(list[0]["locations"],
            json::parse(R"([{"code":"016001","name":"Ada ID"},{"code":"016027","name":"Canyon ID"}])"));
  EXPECT_EQ(list[2]["repeats"], 0);

  // The code in any case; --since takes its instant as the first included.
  EXPECT_EQ(events(parsed(runAlerts(path_, {"list", "--json", "--event", "tor"}))),
            (std::vector<std::string>{"TOR", "TOR"}));
  EXPECT_EQ(events(parsed(runAlerts(path_, {"--since", isotime(now_ - 2 * kDay), "--json"}))),
            (std::vector<std::string>{"TOR", "RWT", "SVR"}));
  EXPECT_EQ(events(parsed(runAlerts(path_, {"--json", "--limit", "2"}))),
            (std::vector<std::string>{"TOR", "RWT"}));
  const json newestOld = parsed(runAlerts(
      path_, {"--json", "--event", "TOR", "--since", isotime(now_ - 4 * kDay), "--limit", "1"}));
  ASSERT_EQ(newestOld.size(), 1u);
  EXPECT_EQ(newestOld[0]["received"], isotime(now_ - kHour));
  EXPECT_EQ(parsed(runAlerts(path_, {"--json", "--event", "FFW"})), json::array());
  // A day the calendar does not have is no time to list from.
  const Result impossible = runAlerts(path_, {"list", "--since", "2026-02-30"});
  EXPECT_EQ(impossible.status, 2);
  EXPECT_NE(impossible.err.find("2026-02-30"), std::string::npos) << impossible.err;
}

TEST_F(ZudAlerts, ActiveListsOnlyAlertsWhoseExpiryIsAhead) {
  add(makeAlert("TOR", "Tornado Warning", kAda, now_ - 2 * kHour, 30));    // over an hour ago
  add(makeAlert("SVR", "Severe Thunderstorm Warning", kAda, now_ - 600, 120));
  add(makeAlert("FFW", "Flash Flood Warning", kAda, now_ - 300, 30));
  add(makeAlert("WSW", "Winter Storm Warning", kAda, now_ - 5 * kDay, 99 * 60));  // over

  Result active = runAlerts(path_, {"active", "--json"});
  ASSERT_EQ(active.status, 0) << active.err;
  // Soonest expiry first.
  EXPECT_EQ(events(parsed(active)), (std::vector<std::string>{"FFW", "SVR"}));

  Result table = runAlerts(path_, {"active"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("Flash Flood Warning"), std::string::npos) << table.out;
  EXPECT_EQ(table.out.find("Tornado Warning"), std::string::npos) << table.out;
}

TEST_F(ZudAlerts, RejectedLinesNewestFirst) {
  ASSERT_TRUE(store_.addrejection(now_ - 60, "ZCZC-WXR-TOR-0160", "cannot read location code"));
  ASSERT_TRUE(store_.addrejection(now_ - 30, "ZCZC-WXR-TOR-016001+0045-99", "cannot read date/time"));
  const json rejected = parsed(runAlerts(path_, {"rejected", "--json", "--limit", "1"}));
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_EQ(rejected[0]["received"], isotime(now_ - 30));
  EXPECT_EQ(rejected[0]["reason"], "cannot read date/time");
  EXPECT_EQ(rejected[0]["line"], "ZCZC-WXR-TOR-016001+0045-99");
}

TEST_F(ZudAlerts, HealthExitsOneWhileTheTestIsOverdueOrTheReceiverSilent) {
  // A store just made: the first test is not due yet.
  Result fresh = runAlerts(path_, {"health", "--json"});
  EXPECT_EQ(fresh.status, 0) << fresh.out << fresh.err;
  EXPECT_EQ(parsed(fresh)["last_test"], nullptr);

  setCreated(path_, now_ - 20 * kDay);
  Result none = runAlerts(path_, {"health", "--json"});
  EXPECT_EQ(none.status, 1) << none.out;
  EXPECT_EQ(parsed(none)["test_overdue"], true);
  Result noneText = runAlerts(path_, {"health"});
  EXPECT_EQ(noneText.status, 1) << noneText.out;
  EXPECT_NE(noneText.out.find("no Required Weekly Test heard for 20 days"), std::string::npos)
      << noneText.out;

  // Counted from the last test, once there is one.
  add(makeAlert("RWT", "Required Weekly Test", kAda, now_ - 10 * kDay, 15));
  EXPECT_EQ(runAlerts(path_, {"health"}).status, 1);
  EXPECT_EQ(runAlerts(path_, {"health", "--test-overdue", "12"}).status, 0);
  EXPECT_EQ(runAlerts(path_, {"health", "--test-overdue", "0"}).status, 0);

  add(makeAlert("RWT", "Required Weekly Test", kAda, now_ - 2 * kDay, 15));
  add(makeAlert("TOR", "Tornado Warning", kAda, now_ - kDay, 45));
  Result recent = runAlerts(path_, {"health", "--json"});
  EXPECT_EQ(recent.status, 0) << recent.out;
  const json ok = parsed(recent);
  EXPECT_EQ(ok["last_test"], isotime(now_ - 2 * kDay));
  EXPECT_EQ(ok["last_alert"]["event_type"], "TOR");
  EXPECT_EQ(ok["ok"], true);

  // The receiver's newest record decides, even within one second.
  ASSERT_TRUE(store_.addanswer(now_, "/dev/ttyUSB0", true));
  ASSERT_TRUE(store_.addanswer(now_, "/dev/ttyUSB0", false));
  Result silent = runAlerts(path_, {"health", "--json"});
  EXPECT_EQ(silent.status, 1) << silent.out;
  EXPECT_EQ(parsed(silent)["receiver_silent"], true);
  EXPECT_EQ(parsed(silent)["silent_port"], "/dev/ttyUSB0");
  ASSERT_TRUE(store_.addanswer(now_, "/dev/ttyUSB0", true));
  Result answered = runAlerts(path_, {"health", "--json"});
  EXPECT_EQ(answered.status, 0) << answered.out;
  EXPECT_EQ(parsed(answered)["receiver_silent"], false);
}

TEST_F(ZudAlerts, TableKeepsLongLocationListsWithinTheTerminal) {
  Places many;
  for (int county = 1; county <= 31; ++county) {
    char code[16];
    std::snprintf(code, sizeof code, "0480%02d", county);
    many.emplace_back(code, "Northwest County Number " + std::to_string(county) + " TX");
  }
  add(makeAlert("SVR", "Severe Thunderstorm Warning", many, now_ - kHour, 60));

  Result table = runAlerts(path_, {"list"});
  ASSERT_EQ(table.status, 0) << table.err;
  std::size_t start = 0;
  while (start < table.out.size()) {
    const std::size_t end = table.out.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unterminated last line";
    EXPECT_LE(end - start, 80u) << table.out.substr(start, end - start);
    start = end + 1;
  }
  // Lines break between names, never inside one.
  for (const auto &place : many) EXPECT_NE(table.out.find(place.second), std::string::npos);
}

// Each unreadable store: status 2 and one line on standard error that names it.
void expectOneLineNaming(const Result &result, const std::string &path) {
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
  ASSERT_FALSE(result.err.empty());
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
  EXPECT_NE(result.err.find(path), std::string::npos) << result.err;
}

TEST(ZudAlertsStore, UnreadableStoresExitTwoWithOneLineNamingTheFile) {
  TempDir dir;
  ASSERT_TRUE(dir.made());
  const std::string missing = dir.file("none.db");
  expectOneLineNaming(runAlerts(missing, {"health"}), missing);
  struct stat status {};
  EXPECT_NE(stat(missing.c_str(), &status), 0) << "a reader must not create the store";

  const std::string text = dir.file("notes.txt");
  ASSERT_TRUE(testsupport::writeFile(text, std::string(4096, 'x')));
  expectOneLineNaming(runAlerts(text, {"list"}), text);

  // A database, but not one that zud made.
  const std::string other = dir.file("other.db");
  {
    sqlitedb db;
    ASSERT_TRUE(db.open(other, sqlitedb::mode::readwrite));
    ASSERT_TRUE(db.exec("CREATE TABLE notes(text TEXT)"));
  }
  expectOneLineNaming(runAlerts(other, {"active", "--json"}), other);
  expectOneLineNaming(runAlerts(dir.path(), {"list"}), dir.path());
}

// The packaged zud writes its store as one user; people read it as others,
// who may read the files but not write the directory.
TEST(ZudAlertsStore, ReaderThatCannotWriteTheDirectoryReadsTheStore) {
  const char *runuser = "/usr/sbin/runuser";
  if (geteuid() != 0 || access(runuser, X_OK) != 0 || getpwnam("nobody") == nullptr) {
    GTEST_SKIP() << "needs root, runuser and the user nobody";
  }
  // A build tree in a private directory (under /root, say) is out of nobody's reach.
  if (runProgram(runuser, {"-u", "nobody", "--", binPath("zud-alerts"), "--version"}).status != 0) {
    GTEST_SKIP() << "nobody cannot run " << binPath("zud-alerts");
  }
  TempDir dir;
  ASSERT_TRUE(dir.made());
  const std::string path = dir.file("alerts.db");
  const std::time_t now = std::time(nullptr);
  {
    alertstore writer;
    ASSERT_TRUE(writer.open(path)) << writer.error();
    ASSERT_TRUE(writer.addalert(makeAlert("TOR", "Tornado Warning", kAda, now - 60, 45)));
  }
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  for (const char *suffix : {"", "-wal", "-shm"}) {
    ASSERT_EQ(chmod((path + suffix).c_str(), 0644), 0) << suffix;
  }
  const std::vector<std::string> asNobody = {"-u",     "nobody", "--",     binPath("zud-alerts"),
                                             "--store", path,    "--json", "active"};
  Result closed = runProgram(runuser, asNobody);
  ASSERT_EQ(closed.status, 0) << closed.err;
  EXPECT_EQ(events(parsed(closed)), (std::vector<std::string>{"TOR"}));

  // And while the writer has it open, with a newer alert only in its journal.
  alertstore writer;
  ASSERT_TRUE(writer.open(path)) << writer.error();
  ASSERT_TRUE(writer.addalert(makeAlert("SVR", "Severe Thunderstorm Warning", kAda, now, 60)));
  Result open = runProgram(runuser, asNobody);
  ASSERT_EQ(open.status, 0) << open.err;
  EXPECT_EQ(events(parsed(open)), (std::vector<std::string>{"TOR", "SVR"}));
}

}  // namespace
