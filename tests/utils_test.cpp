// Logging, text helpers, name/value lists, common arguments and the clock
// hook.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "xpl_test_helpers.h"

namespace {

using xpltest::DebugMode;
using xpltest::StderrCapture;

// ---------------------------------------------------------------------------
// Logging
// ---------------------------------------------------------------------------

int clockReads = 0;
time_t fixedTime = 0;
time_t countingClock() {
  clockReads++;
  return fixedTime;
}

// Pins the log stamp: UTC and a fixed clock, both restored afterwards.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    const char *tz = getenv("TZ");
    hadTZ_ = tz != nullptr;
    if (hadTZ_) savedTZ_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
    struct tm when {};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 5;
    when.tm_hour = 19;
    when.tm_min = 41;
    when.tm_sec = 36;
    fixedTime = timegm(&when);
    clockReads = 0;
    xPL_setClock(countingClock);
  }
  void TearDown() override {
    xPL_setClock(nullptr);
    if (hadTZ_) {
      setenv("TZ", savedTZ_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool hadTZ_ = false;
  std::string savedTZ_;
};

TEST_F(LogTest, DebugLineHasStampTagTextAndLineFeed) {
  DebugMode debug;
  StderrCapture capture;
  xPL_Debug("Hub detected and confirmed existing");
  EXPECT_EQ(capture.text(), "26/12/05 19:41:36 xPL_DEBUG: Hub detected and confirmed existing\n");
}

TEST_F(LogTest, DebugOffPrintsNothingAndReadsNoTimeWhileErrorsAlwaysPrint) {
  DebugMode debugOff(FALSE);
  StderrCapture capture;
  xPL_Debug("hidden %d", 1);
  EXPECT_EQ(clockReads, 0);
  xPL_Error("shown %d", 2);
  EXPECT_EQ(capture.text(), "26/12/05 19:41:36 ERROR: shown 2\n");
  EXPECT_EQ(clockReads, 1);
}

TEST_F(LogTest, PercentSignsInArgumentsAreNotFormattedAgain) {
  StderrCapture capture;
  xPL_Error("value [%s]", "100%s %d%%");
  EXPECT_EQ(capture.text(), "26/12/05 19:41:36 ERROR: value [100%s %d%%]\n");
}

TEST_F(LogTest, TextEndingInLineFeedIsFollowedByAnEmptyLine) {
  StderrCapture capture;
  xPL_Error("done\n");
  EXPECT_EQ(capture.text(), "26/12/05 19:41:36 ERROR: done\n\n");
}

TEST_F(LogTest, OverlongLineIsCutToItsBufferAndKeepsItsLineFeed) {
  const std::string longText(2000, 'x');
  StderrCapture capture;
  xPL_Error("%s", longText.c_str());
  const std::string &line = capture.text();
  // 512 bytes of buffer: 510 characters, the line feed and the terminator.
  ASSERT_EQ(line.size(), 511u);
  EXPECT_EQ(line.back(), '\n');
  const std::string prefix = "26/12/05 19:41:36 ERROR: ";
  EXPECT_EQ(line.substr(0, prefix.size()), prefix);
  EXPECT_EQ(line.substr(prefix.size(), 510 - prefix.size()), std::string(510 - prefix.size(), 'x'));

  // A text that just fits is not cut.
  const std::string fits(510 - prefix.size(), 'y');
  StderrCapture again;
  xPL_Error("%s", fits.c_str());
  EXPECT_EQ(again.text(), prefix + fits + "\n");
}

TEST(Debugging, SwitchReadsBack) {
  DebugMode debug(FALSE);
  EXPECT_FALSE(xPL_isDebugging());
  xPL_setDebugging(TRUE);
  EXPECT_TRUE(xPL_isDebugging());
  EXPECT_TRUE(xPL_DebugMode);
}

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

TEST(TextHelpers, UpcaseFoldsOnlyAsciiLetters) {
  char text[] = "abz-AZ{~\xe9q";
  xPL_Upcase(text);
  EXPECT_STREQ(text, "ABZ-AZ{~\xe9Q");
}

TEST(TextHelpers, CompareIgnoringCaseOrdersByLengthFirst) {
  EXPECT_EQ(xPL_strcmpIgnoreCase("abc", "ABC"), 0);
  EXPECT_EQ(xPL_strcmpIgnoreCase("b", "aa"), -1);
  EXPECT_EQ(xPL_strcmpIgnoreCase("zz", "a"), 1);
  EXPECT_EQ(xPL_strcmpIgnoreCase("ab", "AC"), -1);
  EXPECT_EQ(xPL_strcmpIgnoreCase("AC", "ab"), 1);
  EXPECT_EQ(xPL_strcmpIgnoreCase("", ""), 0);
  // Only a-z fold: '{' and '[' stay different from each other.
  EXPECT_NE(xPL_strcmpIgnoreCase("{", "["), 0);
  // High bytes are negative and order before every ASCII character.
  EXPECT_EQ(xPL_strcmpIgnoreCase("\xc3", "A"), -1);
  EXPECT_EQ(xPL_strcmpIgnoreCase("A", "\xc3"), 1);
}

TEST(TextHelpers, LimitedCompareCutsEachLength) {
  EXPECT_EQ(xPL_strncmpIgnoreCase("XPL-GROUP.x", "xpl-group.y", 10), 0);
  EXPECT_EQ(xPL_strncmpIgnoreCase("GROUPX", "group", 5), 0);
  EXPECT_EQ(xPL_strncmpIgnoreCase("GRO", "group", 5), -1);
  EXPECT_EQ(xPL_strncmpIgnoreCase("abc", "abd", 0), 0);
}

TEST(TextHelpers, HexConversions) {
  EXPECT_STREQ(xPL_intToHex(255), "FF");
  EXPECT_STREQ(xPL_intToHex(10), "0A");
  EXPECT_STREQ(xPL_intToHex(0), "00");
  EXPECT_STREQ(xPL_intToHex(0x1AB), "AB");  // the two lowest digits

  int value = -7;
  EXPECT_TRUE(xPL_hexToInt("0A", &value));
  EXPECT_EQ(value, 10);
  EXPECT_TRUE(xPL_hexToInt("FF7", &value));  // the third character is not read
  EXPECT_EQ(value, 255);
  value = -7;
  EXPECT_FALSE(xPL_hexToInt("0a", &value));
  EXPECT_FALSE(xPL_hexToInt("A", &value));
  EXPECT_FALSE(xPL_hexToInt("", &value));
  EXPECT_FALSE(xPL_hexToInt("G0", &value));
  EXPECT_EQ(value, -7);
}

TEST(TextHelpers, DecimalConversions) {
  int value = -7;
  EXPECT_FALSE(xPL_strToInt("12x", &value));
  EXPECT_FALSE(xPL_strToInt("7 ", &value));
  EXPECT_FALSE(xPL_strToInt("-", &value));
  EXPECT_EQ(value, -7);
  EXPECT_TRUE(xPL_strToInt("", &value));
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(xPL_strToInt(" 7", &value));
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(xPL_strToInt("-42", &value));
  EXPECT_EQ(value, -42);
  EXPECT_TRUE(xPL_strToInt("99999999999", &value));
  EXPECT_EQ(value, INT_MAX);
  EXPECT_TRUE(xPL_strToInt("-99999999999", &value));
  EXPECT_EQ(value, INT_MIN);

  EXPECT_STREQ(xPL_intToStr(-3865), "-3865");
  // Both conversions share one buffer.
  EXPECT_EQ(xPL_intToStr(1), xPL_intToHex(1));
}

// ---------------------------------------------------------------------------
// Name/value lists
// ---------------------------------------------------------------------------

class ListTest : public testing::Test {
 protected:
  void SetUp() override { list_ = xPL_newNamedValueList(); }
  void TearDown() override { xPL_freeNamedValueList(list_); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (int i = 0; i < xPL_getNamedValueCount(list_); i++) {
      out.push_back(xPL_getNamedValuePairAt(list_, i)->itemName);
    }
    return out;
  }
  xPL_NameValueListPtr list_ = nullptr;
};

TEST_F(ListTest, NamesRepeatMatchIgnoringCaseAndFirstWins) {
  xPL_addNamedValue(list_, "a", "1");
  xPL_addNamedValue(list_, "A", "2");
  EXPECT_EQ(xPL_getNamedValueCount(list_), 2);
  EXPECT_STREQ(xPL_getNamedValue(list_, "a"), "1");
  EXPECT_STREQ(xPL_getNamedValue(list_, "A"), "1");
  EXPECT_EQ(xPL_getNamedValueIndex(list_, "A"), 0);

  xPL_setNamedValue(list_, "A", "3");
  EXPECT_STREQ(xPL_getNamedValuePairAt(list_, 0)->itemName, "a");
  EXPECT_STREQ(xPL_getNamedValuePairAt(list_, 0)->itemValue, "3");
  EXPECT_STREQ(xPL_getNamedValuePairAt(list_, 1)->itemValue, "2");

  xPL_clearNamedValue(list_, "a");
  EXPECT_EQ(xPL_getNamedValueCount(list_), 0);
  EXPECT_FALSE(xPL_doesNamedValueExist(list_, "a"));
}

TEST_F(ListTest, AbsentValueKeepsThePair) {
  xPL_setNamedValue(list_, "name", "v");
  xPL_setNamedValue(list_, "name", nullptr);
  EXPECT_TRUE(xPL_doesNamedValueExist(list_, "name"));
  EXPECT_EQ(xPL_getNamedValue(list_, "name"), nullptr);
  xPL_addNamedValue(list_, "other", nullptr);
  EXPECT_TRUE(xPL_doesNamedValueExist(list_, "other"));
  EXPECT_EQ(xPL_getNamedValueCount(list_), 2);
}

TEST_F(ListTest, GrowsAsNeededEmptyingKeepsTheArrayAndRemovalKeepsOrder) {
  for (int i = 0; i < 20; i++) xPL_addNamedValue(list_, std::to_string(i).c_str(), "v");
  EXPECT_EQ(xPL_getNamedValueCount(list_), 20);
  EXPECT_STREQ(xPL_getNamedValuePairAt(list_, 19)->itemName, "19");
  const int capacity = xPL_getNamedValueCapacity(list_);
  EXPECT_GE(capacity, 20);

  xPL_clearAllNamedValues(list_);
  EXPECT_EQ(xPL_getNamedValueCapacity(list_), capacity);
  for (const char *name : {"p", "q", "r", "s", "t"}) xPL_addNamedValue(list_, name, "v");
  xPL_clearNamedValueAt(list_, 2);
  EXPECT_EQ(names(), (std::vector<std::string>{"p", "q", "s", "t"}));

  // Out of range removals and lookups change nothing.
  xPL_clearNamedValueAt(list_, 4);
  xPL_clearNamedValueAt(list_, -1);
  EXPECT_EQ(xPL_getNamedValueCount(list_), 4);
  EXPECT_EQ(xPL_getNamedValuePairAt(list_, 4), nullptr);
  EXPECT_EQ(xPL_getNamedValuePairAt(list_, -1), nullptr);
}

TEST_F(ListTest, SetNamedValuesStopsAtTheFirstAbsentName) {
  xPL_setNamedValues(list_, "x", "1", "y", "2", nullptr, "z", "3");
  EXPECT_EQ(names(), (std::vector<std::string>{"x", "y"}));
  xPL_setNamedValues(list_, "X", "9", nullptr);
  EXPECT_STREQ(xPL_getNamedValue(list_, "x"), "9");
  EXPECT_EQ(xPL_getNamedValueCount(list_), 2);
}

TEST(Lists, BinaryPairIsNotReadAsTextAndIsReplacedCleanly) {
  xpltest::MessageHolder m(
      parseMessage("xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\ns.t\n{\nblob!0A0B\n}\n"));
  ASSERT_TRUE(m);
  xPL_NameValueListPtr body = xPL_getMessageBody(m.get());
  EXPECT_TRUE(xPL_doesNamedValueExist(body, "blob"));
  EXPECT_EQ(xPL_getNamedValue(body, "blob"), nullptr);

  // The block goes back to the general allocator, not the string pool.
  xPL_setNamedValue(body, "blob", "text");
  EXPECT_STREQ(xPL_getNamedValue(body, "blob"), "text");
}

TEST(Lists, AbsentListIsHarmless) {
  EXPECT_EQ(xPL_getNamedValueCount(nullptr), 0);
  EXPECT_EQ(xPL_getNamedValueIndex(nullptr, "a"), -1);
  EXPECT_EQ(xPL_getNamedValuePair(nullptr, "a"), nullptr);
  EXPECT_EQ(xPL_getNamedValue(nullptr, "a"), nullptr);
  EXPECT_FALSE(xPL_doesNamedValueExist(nullptr, "a"));
  EXPECT_EQ(xPL_getNamedValuePairAt(nullptr, 0), nullptr);
  xPL_clearNamedValueAt(nullptr, 0);
  xPL_clearNamedValue(nullptr, "a");
  xPL_clearAllNamedValues(nullptr);
  xPL_freeNamedValueList(nullptr);
}

// ---------------------------------------------------------------------------
// Common arguments
// ---------------------------------------------------------------------------

// An argument vector with its terminating null, as main() receives it.
class Args {
 public:
  explicit Args(std::vector<std::string> args) : storage_(std::move(args)) {
    for (auto &arg : storage_) pointers_.push_back(arg.data());
    pointers_.push_back(nullptr);
    argc = static_cast<int>(storage_.size());
  }
  char **argv() { return pointers_.data(); }
  std::vector<std::string> kept() const {
    std::vector<std::string> out;
    for (int i = 0; i < argc; i++) out.push_back(pointers_[i]);
    return out;
  }
  int argc;

 private:
  std::vector<std::string> storage_;
  std::vector<char *> pointers_;
};

TEST(CommonArgs, LibraryOptionsAreTakenOutAndTheRestKeepsItsOrder) {
  DebugMode debug(FALSE);
  Args args({"prog", "-xpldebug", "foo", "-interface", "lo", "-x", "-Interface"});
  StderrCapture capture;
  EXPECT_TRUE(xPL_parseCommonArgs(&args.argc, args.argv(), FALSE));
  EXPECT_EQ(args.kept(), (std::vector<std::string>{"prog", "foo", "-x", "-Interface"}));
  EXPECT_TRUE(xPL_isDebugging());
  EXPECT_NE(capture.text().find("xPL_DEBUG: xPL library debugging enabled\n"), std::string::npos);
  EXPECT_STREQ(xPL_getBroadcastInterface(), "lo");
}

TEST(CommonArgs, RepeatedInterfaceOptionLastOneWins) {
  Args args({"prog", "-interface", "dummy0", "-interface", "lo"});
  xPL_parseCommonArgs(&args.argc, args.argv(), TRUE);
  EXPECT_EQ(args.argc, 1);
  EXPECT_STREQ(xPL_getBroadcastInterface(), "lo");
}

TEST(CommonArgs, SilentErrorsSuppressTheDebugNotice) {
  DebugMode debug(FALSE);
  Args args({"prog", "-xpldebug"});
  StderrCapture capture;
  EXPECT_TRUE(xPL_parseCommonArgs(&args.argc, args.argv(), TRUE));
  EXPECT_EQ(args.argc, 1);
  EXPECT_TRUE(xPL_isDebugging());
  EXPECT_EQ(capture.text(), "");
}

TEST(CommonArgs, TrailingInterfaceWithoutValueIsDropped) {
  Args named({"prog", "-interface", "lo"});
  xPL_parseCommonArgs(&named.argc, named.argv(), TRUE);
  Args args({"prog", "keep", "-interface"});
  EXPECT_TRUE(xPL_parseCommonArgs(&args.argc, args.argv(), TRUE));
  EXPECT_EQ(args.kept(), (std::vector<std::string>{"prog", "keep"}));
  EXPECT_STREQ(xPL_getBroadcastInterface(), "lo");  // unchanged
}

TEST(CommonArgs, ConnectionTypeIsAlwaysViaHub) {
  Args args({"prog", "standalone", "-xcStandAlone"});
  xPL_parseCommonArgs(&args.argc, args.argv(), TRUE);
  EXPECT_EQ(xPL_getParsedConnectionType(), xcViaHub);
}

// ---------------------------------------------------------------------------
// Clock hook
// ---------------------------------------------------------------------------

TEST(Hooks, ClockCanBeReplacedAndRestored) {
  xPL_setClock([]() -> time_t { return 1234; });
  EXPECT_EQ(xPL_now(), 1234);
  xPL_setClock(nullptr);
  EXPECT_GT(xPL_now(), 1000000000);
}

}  // namespace
