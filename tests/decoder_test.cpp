// The SAME header decoder: what it sends, what it rejects, and that it never
// reads past the end of a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "decoder.h"
#include "national.h"
#include "xPL_priv.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

const std::string kPreamble(16, '\xAB');
const std::string kSample =
    "ZCZC-WXR-RWT-016001-016003-016015-016027-016039-016045-016073-016075-016085-016087-041045"
    "+0030-2201802-KBOI/NWS-";

std::vector<std::string> datagrams;

Bool captureDatagram(const char *data, int length) {
  datagrams.emplace_back(data, length);
  return TRUE;
}

int currentYear() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  return utc.tm_year + 1900;
}

bool isLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The whole text of a weather.alert from the test service with this body.
std::string alertText(const Values &body) {
  std::string text = "xpl-trig\n{\nhop=1\nsource=kelvora-zud.test\ntarget=*\n}\nweather.alert\n{\n";
  for (const auto &[name, value] : body) text += name + "=" + value + "\n";
  return text + "}\n";
}

// The body of a sent alert as name/value pairs.
Values bodyOf(const std::string &datagram) {
  Values body;
  const std::string start = "weather.alert\n{\n";
  std::size_t pos = datagram.find(start);
  if (pos == std::string::npos) return body;
  pos += start.size();
  for (std::size_t end; (end = datagram.find('\n', pos)) != std::string::npos; pos = end + 1) {
    const std::string line = datagram.substr(pos, end - pos);
    if (line == "}") break;
    const std::size_t eq = line.find('=');
    body.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return body;
}

// The first value of that name in a sent alert, or "<none>".
std::string valueOf(const std::string &datagram, const std::string &name) {
  for (const auto &[n, v] : bodyOf(datagram)) {
    if (n == name) return v;
  }
  return "<none>";
}

struct Decoded {
  std::string err;
  std::vector<std::string> sent;
};

class Decoder : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    service = xPL_createService("kelvora", "zud", "test");
    zudService = service;
    xPL_setRawSender(captureDatagram);
  }
  static void TearDownTestSuite() {
    xPL_setRawSender(nullptr);
    xPL_releaseService(service);
    zudService = nullptr;
  }
  void SetUp() override {
    if (const char *tz = std::getenv("TZ")) savedZone = tz;
    setZone("UTC0");
  }
  void TearDown() override {
    countynames = CountyNames::singleWord;
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

  // Decodes `line` from a heap buffer of exactly its size, so that a read
  // past the terminator shows under AddressSanitizer; checks the echo.
  static Decoded decode(const std::string &line) {
    auto buffer = std::make_unique<unsigned char[]>(line.size() + 1);
    std::memcpy(buffer.get(), line.c_str(), line.size() + 1);
    datagrams.clear();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    parsesame(buffer.get());
    const std::string out = testing::internal::GetCapturedStdout();
    Decoded result{testing::internal::GetCapturedStderr(), datagrams};
    EXPECT_EQ(out, line + "\n");
    EXPECT_EQ(zudMessage, nullptr);
    return result;
  }

  // Decodes a header that must be sent; its one datagram, or "".
  static std::string sendsOne(const std::string &text) {
    const Decoded decoded = decode(kPreamble + text);
    EXPECT_EQ(decoded.err, "") << text;
    EXPECT_EQ(decoded.sent.size(), 1u) << text;
    return decoded.sent.empty() ? "" : decoded.sent[0];
  }

  // Decodes a header that must be rejected with `error` and the whole line.
  static void rejects(const std::string &text, const std::string &error) {
    const std::string line = kPreamble + text;
    const Decoded decoded = decode(line);
    EXPECT_EQ(decoded.err, error + ": " + line + "\n") << text;
    EXPECT_TRUE(decoded.sent.empty()) << text;
  }

  // The sample header with its issue-time field replaced.
  static std::string withIssueTime(const std::string &jjjhhmm) {
    std::string text = kSample;
    return text.replace(text.find("2201802"), 7, jjjhhmm);
  }

  static xPL_ServicePtr service;
  std::string savedZone;
};

xPL_ServicePtr Decoder::service = nullptr;

TEST_F(Decoder, SampleHeaderBecomesOneAlert) {
  const int year = currentYear();
  const std::string date = std::to_string(year) + (isLeap(year) ? "0807" : "0808");
  const std::string expected = alertText({
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
  });
  EXPECT_EQ(sendsOne(kSample), expected);
  // A 15-byte preamble is as good as 16.
  const Decoded decoded = decode(kPreamble.substr(1) + kSample);
  EXPECT_EQ(decoded.err, "");
  ASSERT_EQ(decoded.sent.size(), 1u);
  EXPECT_EQ(decoded.sent[0], expected);
}

TEST_F(Decoder, PreambleMustBe15Or16Bytes) {
  for (std::size_t count : {0u, 1u, 14u, 17u, 40u}) {
    const Decoded decoded = decode(std::string(count, '\xAB') + kSample);
    EXPECT_EQ(decoded.err, "bad preamble length: " + std::to_string(count) + "\n");
    EXPECT_TRUE(decoded.sent.empty());
  }
  // The end-of-message header is silent only after a valid preamble.
  for (std::size_t count : {15u, 16u}) {
    const Decoded decoded = decode(std::string(count, '\xAB') + "NNNN");
    EXPECT_EQ(decoded.err, "");
    EXPECT_TRUE(decoded.sent.empty());
  }
  EXPECT_EQ(decode(std::string(10, '\xAB') + "NNNN").err, "bad preamble length: 10\n");
  EXPECT_EQ(decode("").err, "bad preamble length: 0\n");
}

TEST_F(Decoder, TextMustStartWithZczc) {
  rejects("ZCZD-WXR-RWT-016001+0030-2201802-KBOI-", "bad text start");
  rejects("zczc-WXR-RWT-016001+0030-2201802-KBOI-", "bad text start");
  rejects("ZCZC", "bad text start");
  rejects("NNN", "bad text start");
  rejects("", "bad text start");
}

TEST_F(Decoder, UnknownCodesFallBackToTheirText) {
  const std::string sent = sendsOne("ZCZC-XYZ-QQQ-A16001-009001-116001+0030-2201802-KBOI-");
  EXPECT_EQ(valueOf(sent, "originator"), "Originator XYZ");
  EXPECT_EQ(valueOf(sent, "event"), "Event QQQ");
  const Values body = bodyOf(sent);
  ASSERT_GE(body.size(), 5u);
  EXPECT_EQ(body[2].second, "Unknown 0x41 Ada ID");
  EXPECT_EQ(body[3].second, "County 001 State 09");
  EXPECT_EQ(body[4].second, "Northwest Ada ID");

  // EAN stands in both tables; a code is matched on all three characters.
  const std::string ean = sendsOne("ZCZC-EAN-EAN-016001+0030-2201802-KBOI-");
  EXPECT_EQ(valueOf(ean, "originator"), "Emergency Action Notification");
  EXPECT_EQ(valueOf(ean, "event"), "Emergency Action Notification");
  const std::string near = sendsOne("ZCZC-WXX-TOX-016001+0030-2201802-KBOI-");
  EXPECT_EQ(valueOf(near, "originator"), "Originator WXX");
  EXPECT_EQ(valueOf(near, "event"), "Event TOX");
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
  auto locationsOf = [](const Values &body) {
    std::vector<std::string> locations;
    for (const auto &[name, value] : body) {
      if (name == "location") locations.push_back(value);
    }
    return locations;
  };
  auto withoutLocations = [](Values body) {
    body.erase(std::remove_if(body.begin(), body.end(),
                              [](const auto &pair) { return pair.first == "location"; }),
               body.end());
    return body;
  };
  for (const auto &c : cases) {
    const Values singleWord = bodyOf(sendsOne(c.header));
    countynames = CountyNames::all;
    const Values all = bodyOf(sendsOne(c.header));
    countynames = CountyNames::singleWord;
    EXPECT_EQ(locationsOf(singleWord), c.singleWord) << c.header;
    EXPECT_EQ(locationsOf(all), c.all) << c.header;
    EXPECT_EQ(withoutLocations(all), withoutLocations(singleWord)) << c.header;
    EXPECT_EQ(withoutLocations(all).size(), 6u) << c.header;
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
  EXPECT_EQ(valueOf(sendsOne("ZCZC-WXR-RWT-016001+0615-2201802-KBOI-"), "duration"), "615");
  EXPECT_EQ(valueOf(sendsOne("ZCZC-WXR-RWT-016001+0130-2201802-KBOI-"), "duration"), "130");
  EXPECT_EQ(valueOf(sendsOne("ZCZC-WXR-RWT-016001+0000-2201802-KBOI-"), "duration"), "0");
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
    const std::string sent = sendsOne(withIssueTime(c.field));
    EXPECT_EQ(valueOf(sent, "date"), y + c.date) << c.field;
    EXPECT_EQ(valueOf(sent, "time"), c.time) << c.field;
  }

  setZone("EST5");
  const std::string west = sendsOne(withIssueTime("0010200"));
  EXPECT_EQ(valueOf(west, "date"), std::to_string(year - 1) + "1231");
  EXPECT_EQ(valueOf(west, "time"), "210000");

  // Daylight saving applies: 1 July 12:00 UTC is 08:00 in New York summer time.
  setZone("EST5EDT,M3.2.0,M11.1.0");
  const std::string summer = sendsOne(withIssueTime(leap ? "1831200" : "1821200"));
  EXPECT_EQ(valueOf(summer, "date"), y + "0701");
  EXPECT_EQ(valueOf(summer, "time"), "080000");
}

TEST_F(Decoder, IssueTimeIsSevenDigitsOfADayAndTimeThatExist) {
  const bool leap = isLeap(currentYear());
  rejects(withIssueTime("0001802"), "cannot read date/time");
  rejects(withIssueTime("3671802"), "cannot read date/time");
  rejects(withIssueTime("9991802"), "cannot read date/time");
  if (leap) {
    EXPECT_EQ(valueOf(sendsOne(withIssueTime("3661802")), "date"),
              std::to_string(currentYear()) + "1231");
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
  EXPECT_EQ(valueOf(sendsOne("ZCZC-WXR-RWT-016001+0030-2201802-KBOI/NWS"), "source"), "KBOI/NWS");
  EXPECT_EQ(valueOf(sendsOne("ZCZC-WXR-RWT-016001+0030-2201802-KB-OI-"), "source"), "KB");
  EXPECT_EQ(valueOf(sendsOne("ZCZC-WXR-RWT-016001+0030-2201802--"), "source"), "");
  EXPECT_EQ(valueOf(sendsOne("ZCZC-WXR-RWT-016001+0030-2201802"), "source"), "");

  // A station longer than a value is cut to 127 characters.
  const std::string station(300, 'S');
  EXPECT_EQ(valueOf(sendsOne("ZCZC-WXR-RWT-016001+0030-2201802-" + station + "-"), "source"),
            station.substr(0, 127));
}

// Every prefix of the sample line is decoded from a buffer that ends with it:
// each stops with the error of the first step that finds nothing to read,
// and nothing is sent until the issue time is complete.
TEST_F(Decoder, CutLinesStopAtTheStepThatCannotBeRead) {
  const std::string line = kPreamble + kSample;
  const std::size_t firstCode = kPreamble.size() + std::strlen("ZCZC-WXR-RWT-");
  const std::size_t plus = line.find('+');
  const std::size_t issue = plus + 1 + 5;
  const std::size_t station = issue + 8;
  for (std::size_t n = 0; n < line.size(); ++n) {
    const std::string cut = line.substr(0, n);
    const Decoded decoded = decode(cut);
    std::string expected;
    if (n < 15) {
      expected = "bad preamble length: " + std::to_string(n) + "\n";
    } else if (n < kPreamble.size() + 5) {
      expected = "bad text start: " + cut + "\n";
    } else if (n <= firstCode || (n < plus && cut.back() == '-')) {
      expected = "Cannot read location code: " + cut + "\n";
    } else if (n <= plus) {
      expected = "missing time period separator: " + cut + "\n";
    } else if (n <= plus + 5) {
      expected = "cannot read time duration: " + cut + "\n";
    } else if (n < issue + 7) {
      expected = "cannot read date/time: " + cut + "\n";
    }
    EXPECT_EQ(decoded.err, expected) << "cut after " << n << " bytes";
    if (!expected.empty()) {
      EXPECT_TRUE(decoded.sent.empty()) << "cut after " << n << " bytes";
    } else {
      ASSERT_EQ(decoded.sent.size(), 1u) << "cut after " << n << " bytes";
      const std::string partial = n > station ? line.substr(station, n - station) : "";
      EXPECT_EQ(valueOf(decoded.sent[0], "source"), partial) << "cut after " << n << " bytes";
    }
  }
}

TEST_F(Decoder, EachLineIsDecodedAfresh) {
  rejects("ZCZC-WXR-RWT-016001*0030-2201802-KBOI-", "missing time period separator");
  const std::string sent = sendsOne("ZCZC-CIV-TOR-041045+0100-2201802-KBOI-");
  EXPECT_EQ(bodyOf(sent), (Values{{"originator", "Civil Authorities"},
                                  {"event", "Tornado Warning"},
                                  {"location", "Malheur OR"},
                                  {"duration", "100"},
                                  {"date", valueOf(sent, "date")},
                                  {"time", "180200"},
                                  {"source", "KBOI"}}));
}

}  // namespace
