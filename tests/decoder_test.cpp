// The SAME header decoder: the values it reads, what it rejects, and that it
// never reads past the end of a line; then the way a line goes out (echo,
// trigger, error text).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "outputs/xploutput.h"
#include "same/decoder.h"
#include "same/lifetime.h"
#include "same/national.h"
#include "same/printable.h"
#include "xPL_priv.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

const std::string kPreamble(16, '\xAB');
const std::string kSample =
    "ZCZC-WXR-RWT-016001-016003-016015-016027-016039-016045-016073-016075-016085-016087-041045"
    "+0030-2201802-KBOI/NWS-";

// The decoder's cases are heard at one fixed instant, late in a year, so
// that every day of that year reads in it whatever the machine's date.
constexpr int kYearHeard = 2026;
const std::time_t kHeardAt = static_cast<std::time_t>(daysFromCivil(kYearHeard, 12, 31) * 86400LL);

int currentYear() { return kYearHeard; }

bool isLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The year a header's day belongs to when heard now: this year, unless the
// day lies more than 180 days ahead (the parsesame cases hear at the real time).
int yearOfDayHeardNow(int day) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  return utc.tm_yday + 1 + 180 < day ? utc.tm_year + 1899 : utc.tm_year + 1900;
}

// The values of an alert as the trigger carries them, in order.
Values valuesOf(const alert &values) {
  Values body = {{"originator", values.originator}, {"event", values.event}};
  for (const std::string &location : values.locations) body.emplace_back("location", location);
  body.insert(body.end(), {{"duration", values.duration},
                           {"date", values.date},
                           {"time", values.time},
                           {"source", values.source}});
  return body;
}

// Keeps the process's time zone as it was around each test.
class ZoneTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const char *tz = std::getenv("TZ")) savedZone = tz;
    setZone("UTC0");
  }
  void TearDown() override {
    if (savedZone.empty()) {
      unsetenv("TZ");
    } else {
      setenv("TZ", savedZone.c_str(), 1);
    }
    tzset();
  }
  static void setZone(const char *zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  std::string savedZone;
};

class Decoder : public ZoneTest {
 protected:
  // Decodes `line` from a heap buffer of exactly its size and without a
  // terminator, so that a read past its end shows under AddressSanitizer.
  static decoding decode(const std::string &line, CountyNames names = CountyNames::singleWord) {
    auto buffer = std::make_unique<char[]>(std::max<std::size_t>(line.size(), 1));
    std::memcpy(buffer.get(), line.data(), line.size());
    return decodesame(std::string_view(buffer.get(), line.size()), names, kHeardAt);
  }

  // Decodes a header that must become an alert.
  static alert alertOf(const std::string &text, CountyNames names = CountyNames::singleWord) {
    const decoding decoded = decode(kPreamble + text, names);
    if (const rejection *why = std::get_if<rejection>(&decoded)) {
      ADD_FAILURE() << text << " rejected: " << why->text;
    }
    const alert *values = std::get_if<alert>(&decoded);
    EXPECT_NE(values, nullptr) << text;
    return values != nullptr ? *values : alert{};
  }

  // The rejection text of `line`, or "<not rejected>".
  static std::string rejectionOf(const std::string &line) {
    const decoding decoded = decode(line);
    const rejection *why = std::get_if<rejection>(&decoded);
    return why != nullptr ? why->text : "<not rejected>";
  }

  // Decodes a header that must be rejected with `error` and the whole line.
  static void rejects(const std::string &text, const std::string &error) {
    const std::string line = kPreamble + text;
    EXPECT_EQ(rejectionOf(line), error + ": " + line) << text;
  }

  // The sample header with its issue-time field replaced.
  static std::string withIssueTime(const std::string &jjjhhmm) {
    std::string text = kSample;
    return text.replace(text.find("2201802"), 7, jjjhhmm);
  }
};

TEST_F(Decoder, SampleHeaderBecomesOneAlert) {
  const int year = currentYear();
  const std::string date = std::to_string(year) + (isLeap(year) ? "0807" : "0808");
  const Values expected = {
      {"originator", "National Weather Service"},
      {"event", "Required Weekly Test"},
      {"location", "Ada ID"},
      {"location", "Adams ID"},
      {"location", "Boise ID"},
      {"location", "Canyon ID"},
      {"location", "Elmore ID"},
      {"location", "Gem ID"},
      {"location", "Owyhee ID"},
      {"location", "Payette ID"},
      {"location", "Valley ID"},
      {"location", "Washington ID"},
      {"location", "Malheur OR"},
      {"duration", "30"},
      {"date", date},
      {"time", "180200"},
      {"source", "KBOI/NWS"},
  };
  EXPECT_EQ(valuesOf(alertOf(kSample)), expected);
  // A 15-byte preamble is as good as 16.
  const decoding shorter = decode(kPreamble.substr(1) + kSample);
  ASSERT_TRUE(std::holds_alternative<alert>(shorter));
  EXPECT_EQ(valuesOf(std::get<alert>(shorter)), expected);
}

TEST_F(Decoder, PreambleMustBe15Or16Bytes) {
  for (std::size_t count : {0u, 1u, 14u, 17u, 40u}) {
    EXPECT_EQ(rejectionOf(std::string(count, '\xAB') + kSample),
              "bad preamble length: " + std::to_string(count));
  }
  // The end-of-message header is silent only after a valid preamble.
  for (std::size_t count : {15u, 16u}) {
    EXPECT_TRUE(std::holds_alternative<endofmessage>(decode(std::string(count, '\xAB') + "NNNN")));
  }
  EXPECT_EQ(rejectionOf(std::string(10, '\xAB') + "NNNN"), "bad preamble length: 10");
  EXPECT_EQ(rejectionOf(""), "bad preamble length: 0");
}

TEST_F(Decoder, TextMustStartWithZczc) {
  rejects("ZCZD-WXR-RWT-016001+0030-2201802-KBOI-", "bad text start");
  rejects("zczc-WXR-RWT-016001+0030-2201802-KBOI-", "bad text start");
  rejects("ZCZC", "bad text start");
  rejects("NNN", "bad text start");
  rejects("", "bad text start");
}

TEST_F(Decoder, UnknownCodesFallBackToTheirText) {
  const alert unknown = alertOf("ZCZC-XYZ-QQQ-A16001-009001-116001+0030-2201802-KBOI-");
  EXPECT_EQ(unknown.originator, "Originator XYZ");
  EXPECT_EQ(unknown.event, "Event QQQ");
  const std::vector<std::string> locations = {"Unknown 0x41 Ada ID", "County 001 State 09",
                                              "Northwest Ada ID"};
  EXPECT_EQ(unknown.locations, locations);

  // EAN stands in both tables; a code is matched on all three characters.
  const alert ean = alertOf("ZCZC-EAN-EAN-016001+0030-2201802-KBOI-");
  EXPECT_EQ(ean.originator, "Emergency Action Notification");
  EXPECT_EQ(ean.event, "Emergency Action Notification");
  const alert near = alertOf("ZCZC-WXX-TOX-016001+0030-2201802-KBOI-");
  EXPECT_EQ(near.originator, "Originator WXX");
  EXPECT_EQ(near.event, "Event TOX");
}

TEST(ParseFips, PortionCountyAndState) {
  const struct {
    const char *code, *text;
  } cases[] = {
      {"016001", "Ada ID"},
      {"116001", "Northwest Ada ID"},
      {"216001", "North Central Ada ID"},
      {"316001", "Northeast Ada ID"},
      {"416001", "West Central Ada ID"},
      {"516001", "Central Ada ID"},
      {"616001", "East Central Ada ID"},
      {"716001", "Southwest Ada ID"},
      {"816001", "South Central Ada ID"},
      {"951133", "Southeast Northumberland VA"},
      {"A16001", "Unknown 0x41 Ada ID"},
      {"\xAB" "16001", "Unknown 0xab Ada ID"},
      {"009001", "County 001 State 09"},
      {"516002", "Central County 002 State 16"},
      // Codes that are not six characters match no row and print what exists.
      {"01600", "County 00 State 16"},
      {"0160011", "County 001 State 16"},
      {"0", "County  State "},
  };
  for (const auto &c : cases) {
    char data[datasize];
    std::memset(data, 'x', sizeof data);
    parsefips(c.code, data);
    EXPECT_STREQ(data, c.text) << c.code;
  }
}

TEST(ParseFips, EveryCountyByNameOnRequest) {
  const struct {
    const char *code, *singleWord, *all;
  } cases[] = {
      {"006037", "County 037 State 06", "Los Angeles CA"},
      {"024033", "County 033 State 24", "Prince George's MD"},
      {"012086", "County 086 State 12", "Miami-Dade FL"},
      {"024510", "County 510 State 24", "Baltimore city MD"},
      {"024005", "Baltimore MD", "Baltimore MD"},
      {"048000", "County 000 State 48", "All of Texas"},
      {"348000", "Northeast County 000 State 48", "Northeast Texas"},
      {"000000", "County 000 State 00", "United States"},
      {"500000", "Central County 000 State 00", "Central United States"},
      // Unknown county of a known state; unknown state; no code at all.
      {"909110", "Southeast County 110 State 09", "Southeast County 110 CT"},
      {"A06037", "Unknown 0x41 County 037 State 06", "Unknown 0x41 Los Angeles CA"},
      {"099000", "County 000 State 99", "County 000 State 99"},
      {"00603", "County 03 State 06", "County 03 State 06"},
  };
  for (const auto &c : cases) {
    char data[datasize];
    parsefips(c.code, data);
    EXPECT_STREQ(data, c.singleWord) << c.code;
    parsefips(c.code, data, CountyNames::all);
    EXPECT_STREQ(data, c.all) << c.code;
  }
}

// Asking for every county adds names; it never renames one users know.
TEST(ParseFips, SingleWordCountiesReadTheSameInBothModes) {
  for (const fips_name &row : fips) {
    for (char portion : std::string("0123456789")) {
      const std::string code = portion + std::string(row.fips_code);
      char singleWord[datasize], all[datasize];
      parsefips(code.c_str(), singleWord);
      parsefips(code.c_str(), all, CountyNames::all);
      ASSERT_STREQ(singleWord, all) << code;
    }
  }
}

TEST_F(Decoder, EveryCountyByNameOnlyWhenAsked) {
  const struct {
    std::string header;
    std::vector<std::string> singleWord, all;
  } cases[] = {
      {"ZCZC-WXR-TOR-006037-006059+0045-2201802-KLOX/NWS-",
       {"County 037 State 06", "Orange CA"},
       {"Los Angeles CA", "Orange CA"}},
      {"ZCZC-CIV-CAE-048000+0800-2201802-TXDPS   -", {"County 000 State 48"}, {"All of Texas"}},
      {"ZCZC-PEP-NPT-000000+0030-2201802-WHITEHSE-", {"County 000 State 00"}, {"United States"}},
      {"ZCZC-WXR-SVR-009110-009003+0045-2201802-KOKX/NWS-",
       {"County 110 State 09", "County 003 State 09"},
       {"County 110 CT", "Hartford CT"}},
  };
  for (const auto &c : cases) {
    alert singleWord = alertOf(c.header);
    alert all = alertOf(c.header, CountyNames::all);
    EXPECT_EQ(singleWord.locations, c.singleWord) << c.header;
    EXPECT_EQ(all.locations, c.all) << c.header;
    // Only the locations differ.
    singleWord.locations.clear();
    all.locations.clear();
    EXPECT_EQ(valuesOf(all), valuesOf(singleWord)) << c.header;
  }
}

TEST_F(Decoder, LocationListMustEndInPlus) {
  rejects("ZCZC-WXR-RWT-016001-041045*0030-2201802-KBOI-", "missing time period separator");
  // Without the "+", the purge time is read as one more location code.
  rejects("ZCZC-WXR-RWT-016001-041045-0030-2201802-KBOI-", "missing time period separator");
  rejects("ZCZC-WXR-RWT-016001-   +0030-2201802-KBOI-", "missing time period separator");
  rejects("ZCZC-WXR-RWT-016001- ", "Cannot read location code");
}

TEST_F(Decoder, PurgeTimeIsFourDigitsAndADash) {
  EXPECT_EQ(alertOf("ZCZC-WXR-RWT-016001+0615-2201802-KBOI-").duration, "615");
  EXPECT_EQ(alertOf("ZCZC-WXR-RWT-016001+0130-2201802-KBOI-").duration, "130");
  EXPECT_EQ(alertOf("ZCZC-WXR-RWT-016001+0000-2201802-KBOI-").duration, "0");
  rejects("ZCZC-WXR-RWT-016001+ABCD-2201802-KBOI-", "cannot read time duration");
  rejects("ZCZC-WXR-RWT-016001+-", "cannot read time duration");
  // A real damaged reception: one digit lost would shift the issue time and
  // the station ("AZM/FM ") if the purge time were read as a number.
  rejects("ZCZC-WXR-TOR-048001+010-2101800-KAZM/FM -", "cannot read time duration");
  rejects("ZCZC-WXR-TOR-048001+00300-2101800-KAZM/FM-", "cannot read time duration");
  rejects("ZCZC-WXR-TOR-048001+ 030-2101800-KAZM/FM-", "cannot read time duration");
  rejects("ZCZC-WXR-TOR-048001+-030-2101800-KAZM/FM-", "cannot read time duration");
}

TEST_F(Decoder, IssueTimeBecomesLocalDateAndTime) {
  const int year = currentYear();
  const bool leap = isLeap(year);
  const std::string y = std::to_string(year);
  const struct {
    const char *field, *date, *time;
  } cases[] = {
      {"0010200", "0101", "020000"},
      {"0320000", "0201", "000000"},
      {"0591200", "0228", "120000"},
      {"0600000", leap ? "0229" : "0301", "000000"},
      {"3652359", leap ? "1230" : "1231", "235900"},
  };
  for (const auto &c : cases) {
    const alert values = alertOf(withIssueTime(c.field));
    EXPECT_EQ(values.date, y + c.date) << c.field;
    EXPECT_EQ(values.time, c.time) << c.field;
  }

  setZone("EST5");
  const alert west = alertOf(withIssueTime("0010200"));
  EXPECT_EQ(west.date, std::to_string(year - 1) + "1231");
  EXPECT_EQ(west.time, "210000");

  // Daylight saving applies: 1 July 12:00 UTC is 08:00 in New York summer time.
  setZone("EST5EDT,M3.2.0,M11.1.0");
  const alert summer = alertOf(withIssueTime(leap ? "1831200" : "1821200"));
  EXPECT_EQ(summer.date, y + "0701");
  EXPECT_EQ(summer.time, "080000");
}

TEST_F(Decoder, IssueTimeIsSevenDigitsOfADayAndTimeThatExist) {
  const bool leap = isLeap(currentYear());
  rejects(withIssueTime("0001802"), "cannot read date/time");
  rejects(withIssueTime("3671802"), "cannot read date/time");
  rejects(withIssueTime("9991802"), "cannot read date/time");
  if (leap) {
    EXPECT_EQ(alertOf(withIssueTime("3661802")).date, std::to_string(currentYear()) + "1231");
  } else {
    rejects(withIssueTime("3661802"), "cannot read date/time");
  }
  rejects(withIssueTime("22A1802"), "cannot read date/time");
  rejects(withIssueTime("-011802"), "cannot read date/time");
  // Hours and minutes beyond the clock are damage, not a carry-over.
  rejects(withIssueTime("0012500"), "cannot read date/time");
  rejects(withIssueTime("0010075"), "cannot read date/time");
  rejects(withIssueTime("0012400"), "cannot read date/time");
  rejects(withIssueTime("0010060"), "cannot read date/time");
  rejects(withIssueTime("22 1802"), "cannot read date/time");
  rejects(withIssueTime("22018021"), "cannot read date/time");
}

TEST_F(Decoder, StationRunsToDashOrEndOfLine) {
  EXPECT_EQ(alertOf("ZCZC-WXR-RWT-016001+0030-2201802-KBOI/NWS").source, "KBOI/NWS");
  EXPECT_EQ(alertOf("ZCZC-WXR-RWT-016001+0030-2201802-KB-OI-").source, "KB");
  EXPECT_EQ(alertOf("ZCZC-WXR-RWT-016001+0030-2201802--").source, "");
  EXPECT_EQ(alertOf("ZCZC-WXR-RWT-016001+0030-2201802").source, "");

  // A station longer than a value is cut to 127 characters.
  const std::string station(300, 'S');
  EXPECT_EQ(alertOf("ZCZC-WXR-RWT-016001+0030-2201802-" + station + "-").source,
            station.substr(0, 127));
  // Stations are not always eight characters; any printable text is one.
  EXPECT_EQ(alertOf("ZCZC-WXR-TOR-012057+0030-2201802-WTSP/TV-").source, "WTSP/TV");
}

TEST_F(Decoder, ByteOutsidePrintableAsciiRejectsTheHeader) {
  // What comes over the air must never drive a terminal or a command.
  rejects("ZCZC-WXR-TOR-016001+0030-2201802-KB\x1b[2JI/N-", "byte outside printable ASCII");
  rejects("ZCZC-WXR-TOR-0160\xb1" "01+0030-2201802-KBOI/NWS-", "byte outside printable ASCII");
  rejects("ZCZC-WXR-TOR-016001+0030-2201802-KBOI/NWS-\x7f", "byte outside printable ASCII");
}

// Every prefix of the sample line is decoded from a buffer that ends with it:
// each is rejected with the error of the first step that finds nothing to
// read, until the issue time is complete.
TEST_F(Decoder, CutLinesStopAtTheStepThatCannotBeRead) {
  const std::string line = kPreamble + kSample;
  const std::size_t firstCode = kPreamble.size() + std::strlen("ZCZC-WXR-RWT-");
  const std::size_t plus = line.find('+');
  const std::size_t issue = plus + 1 + 5;
  const std::size_t station = issue + 8;
  for (std::size_t n = 0; n < line.size(); ++n) {
    const std::string cut = line.substr(0, n);
    const decoding decoded = decode(cut);
    std::string expected;
    if (n < 15) {
      expected = "bad preamble length: " + std::to_string(n);
    } else if (n < kPreamble.size() + 5) {
      expected = "bad text start: " + cut;
    } else if (n <= firstCode || (n < plus && cut.back() == '-')) {
      expected = "Cannot read location code: " + cut;
    } else if (n <= plus) {
      expected = "missing time period separator: " + cut;
    } else if (n <= plus + 5) {
      expected = "cannot read time duration: " + cut;
    } else if (n < issue + 7) {
      expected = "cannot read date/time: " + cut;
    }
    if (!expected.empty()) {
      ASSERT_TRUE(std::holds_alternative<rejection>(decoded)) << "cut after " << n << " bytes";
      EXPECT_EQ(std::get<rejection>(decoded).text, expected) << "cut after " << n << " bytes";
    } else {
      ASSERT_TRUE(std::holds_alternative<alert>(decoded)) << "cut after " << n << " bytes";
      const std::string partial = n > station ? line.substr(station, n - station) : "";
      EXPECT_EQ(std::get<alert>(decoded).source, partial) << "cut after " << n << " bytes";
    }
  }
}

// The way a line goes out: echoed, then sent as one trigger of the service,
// or its rejection written, or (the end-of-message header) nothing more.
class SendPath : public ZoneTest {
 protected:
  static void SetUpTestSuite() {
    service = xPL_createService("kelvora", "zud", "test");
    xPL_setRawSender(captureDatagram);
  }
  static void TearDownTestSuite() {
    xPL_setRawSender(nullptr);
    xPL_releaseService(service);
  }
  static Bool captureDatagram(const char *data, int length) {
    datagrams.emplace_back(data, length);
    return TRUE;
  }
  // Hands `line` to parsesame; what it printed on stderr.
  static std::string pass(const std::string &line) {
    datagrams.clear();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    parsesame(reinterpret_cast<const unsigned char *>(line.c_str()), service,
              CountyNames::singleWord);
    // The echo is printable text, the preamble bytes written as [0xab].
    EXPECT_EQ(testing::internal::GetCapturedStdout(), printable(line) + "\n");
    return testing::internal::GetCapturedStderr();
  }

  static xPL_ServicePtr service;
  static std::vector<std::string> datagrams;
};

xPL_ServicePtr SendPath::service = nullptr;
std::vector<std::string> SendPath::datagrams;

TEST_F(SendPath, AlertIsOneTriggerOfTheServiceAndRejectionsOneErrorLine) {
  EXPECT_EQ(pass(kPreamble + "ZCZC-CIV-TOR-041045+0100-2201802-KBOI-"), "");
  ASSERT_EQ(datagrams.size(), 1u);
  const int year = yearOfDayHeardNow(220);
  EXPECT_EQ(datagrams[0],
            "xpl-trig\n{\nhop=1\nsource=kelvora-zud.test\ntarget=*\n}\nweather.alert\n{\n"
            "originator=Civil Authorities\nevent=Tornado Warning\nlocation=Malheur OR\n"
            "duration=100\ndate=" + std::to_string(year) + (isLeap(year) ? "0807" : "0808") +
            "\ntime=180200\nsource=KBOI\n}\n");

  const std::string bad = kPreamble + "ZCZC-WXR-RWT-016001*0030-2201802-KBOI-";
  EXPECT_EQ(pass(bad), "missing time period separator: " + printable(bad) + "\n");
  EXPECT_TRUE(datagrams.empty());
  EXPECT_EQ(pass(std::string(14, '\xAB') + kSample), "bad preamble length: 14\n");
  EXPECT_TRUE(datagrams.empty());
  EXPECT_EQ(pass(kPreamble + "NNNN"), "");
  EXPECT_TRUE(datagrams.empty());
}

}  // namespace
