// The pieces the tools share: usage errors and the standard options with
// their texts and exit statuses, identifier checks and splitting, and
// messages as text.
#include "toolkit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "messagejson.h"
#include "xpl_test_helpers.h"

namespace {

using xpltest::MessageHolder;

void printTestHelp(FILE *to) { std::fprintf(to, "usage: prog\n"); }

// Runs exitOnHelpOrVersion with standard output joined to standard error,
// which is all that a death test can match.
void helpOrVersionOnStderr(const char *arg) {
  dup2(STDERR_FILENO, STDOUT_FILENO);
  toolkit::exitOnHelpOrVersion("prog", arg, printTestHelp);
}

// argv for the words; the pointers live as long as the words.
std::vector<char *> argvOf(std::vector<std::string> &words) {
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(&word[0]);
  return argv;
}

TEST(ToolkitCommandLine, UsageErrorNamesTheProgramPointsToHelpAndExitsTwo) {
  EXPECT_EXIT(toolkit::usageError("prog", "bad thing"), testing::ExitedWithCode(2),
              "^prog: bad thing\nTry 'prog --help' for more information.\n$");
  testing::internal::CaptureStderr();
  toolkit::complain("prog", "only said");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: only said\n");
}

TEST(ToolkitCommandLine, HelpAndVersionPrintAndExitZeroOtherArgumentsReturn) {
  EXPECT_EXIT(helpOrVersionOnStderr("--help"), testing::ExitedWithCode(0), "^usage: prog\n$");
  EXPECT_EXIT(helpOrVersionOnStderr("-h"), testing::ExitedWithCode(0), "^usage: prog\n$");
  EXPECT_EXIT(helpOrVersionOnStderr("--version"), testing::ExitedWithCode(0),
              "^prog " ZUD_VERSION "\n$");
  testing::internal::CaptureStdout();
  for (const char *other : {"--helpx", "-help", "--Version", "help", "-v", "--", ""})
    toolkit::exitOnHelpOrVersion("prog", other, printTestHelp);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ToolkitCommandLine, OptionValuesAreTheNextArgumentOrAUsageError) {
  std::vector<std::string> words = {"prog", "--count", "5", "--schema"};
  std::vector<char *> argv = argvOf(words);
  int argc = static_cast<int>(argv.size());
  int i = 1;
  EXPECT_STREQ(toolkit::nextArgument(argc, argv.data(), &i), "5");
  EXPECT_EQ(i, 2);
  i = 3;
  EXPECT_EQ(toolkit::nextArgument(argc, argv.data(), &i), nullptr);
  EXPECT_EQ(i, 3);
  i = 1;
  EXPECT_STREQ(toolkit::optionValue("prog", argc, argv.data(), &i), "5");
  EXPECT_EQ(i, 2);
  i = 3;
  EXPECT_EXIT(toolkit::optionValue("prog", argc, argv.data(), &i), testing::ExitedWithCode(2),
              "^prog: --schema needs a value\nTry 'prog --help'");
  EXPECT_EQ(toolkit::missingValueText("--freq"), "--freq needs a value");
}

TEST(ToolkitCommandLine, InterfaceOptionMustNotEndTheCommandLine) {
  std::vector<std::string> fine = {"prog", "-interface", "lo", "trig"};
  std::vector<char *> fineArgv = argvOf(fine);
  toolkit::checkInterfaceArgument("prog", static_cast<int>(fineArgv.size()), fineArgv.data());
  std::vector<std::string> alone = {"prog"};
  std::vector<char *> aloneArgv = argvOf(alone);
  toolkit::checkInterfaceArgument("prog", 1, aloneArgv.data());

  std::vector<std::string> last = {"prog", "trig", "-interface"};
  std::vector<char *> lastArgv = argvOf(last);
  EXPECT_EXIT(toolkit::checkInterfaceArgument("prog", 3, lastArgv.data()),
              testing::ExitedWithCode(2), "^prog: -interface needs an interface name\n");
  EXPECT_EXIT(toolkit::checkInterfaceArgument("prog", 2, lastArgv.data() + 1),
              testing::ExitedWithCode(2), "^prog: -interface needs an interface name\n");
}

TEST(ToolkitIdentifiers, VisibleWordsAndIdentifierParts) {
  for (const char *good : {"a", "acme", "XPL-GROUP.x", "a.b", "~!", "{x}"})
    EXPECT_TRUE(toolkit::isVisibleWord(good)) << good;
  for (const std::string bad : {"", "a b", "a\tb", "a\n", "\x7f", "caf\xc3\xa9"})
    EXPECT_FALSE(toolkit::isVisibleWord(bad)) << bad;

  for (const char *good : {"a", "acme", "hall-2", "x.y", "~"})
    EXPECT_TRUE(toolkit::isValidIdentifierPart(good)) << good;
  for (const char *bad : {"", "a b", "a{", "}", "a=b", "hi!", "\x7f"})
    EXPECT_FALSE(toolkit::isValidIdentifierPart(bad)) << bad;

  for (const std::string text : {"", "plain text", "a=b {c}", "caf\xc3\xa9"})
    EXPECT_FALSE(toolkit::hasControlCharacter(text)) << text;
  for (const std::string text : {"tab\tstops", "x\ny", "\r", "del\x7f", "\x1f"})
    EXPECT_TRUE(toolkit::hasControlCharacter(text)) << text;
  EXPECT_TRUE(toolkit::hasControlCharacter(std::string(1, '\0')));
}

TEST(ToolkitIdentifiers, IdentitiesSplitAtTheFirstDashAndTheNextDot) {
  struct Case {
    const char *text, *vendor, *device, *instance;
    bool hasInstance;
  };
  for (const Case &c :
       {Case{"kelvora-zud.hall", "kelvora", "zud", "hall", true},
        Case{"a.b-c-d.e.f", "a.b", "c-d", "e.f", true},
        Case{"acme-lamp", "acme", "lamp", "", false}, Case{"-.", "", "", "", true}}) {
    toolkit::Identity id;
    ASSERT_TRUE(toolkit::splitIdentity(c.text, &id)) << c.text;
    EXPECT_EQ(id.vendor, c.vendor) << c.text;
    EXPECT_EQ(id.device, c.device) << c.text;
    EXPECT_EQ(id.instance, c.instance) << c.text;
    EXPECT_EQ(id.hasInstance, c.hasInstance) << c.text;
  }
  toolkit::Identity id;
  ASSERT_TRUE(toolkit::splitIdentity("kelvora-zud.hall", &id));
  EXPECT_EQ(id.text(), "kelvora-zud.hall");
  EXPECT_FALSE(toolkit::splitIdentity("kelvora.zud", &id));
  EXPECT_FALSE(toolkit::splitIdentity("", &id));
}

TEST(ToolkitIdentifiers, SchemasSplitAtTheFirstDot) {
  struct Case {
    const char *text, *schemaClass, *schemaType;
    bool hasType;
  };
  for (const Case &c :
       {Case{"weather.alert", "weather", "alert", true}, Case{"a.b.c", "a", "b.c", true},
        Case{"hbeat", "hbeat", "", false}, Case{".", "", "", true}}) {
    toolkit::Schema schema = toolkit::splitSchema(c.text);
    EXPECT_EQ(schema.schemaClass, c.schemaClass) << c.text;
    EXPECT_EQ(schema.schemaType, c.schemaType) << c.text;
    EXPECT_EQ(schema.hasType, c.hasType) << c.text;
  }
}

TEST(ToolkitMessages, TypeNamesBothWays) {
  EXPECT_STREQ(toolkit::typeName(xPL_MESSAGE_COMMAND), "xpl-cmnd");
  EXPECT_STREQ(toolkit::typeName(xPL_MESSAGE_STATUS), "xpl-stat");
  EXPECT_STREQ(toolkit::typeName(xPL_MESSAGE_TRIGGER), "xpl-trig");
  EXPECT_STREQ(toolkit::typeName(xPL_MESSAGE_ANY), "xpl-?");

  const std::vector<std::pair<const char *, xPL_MessageType>> good = {
      {"cmnd", xPL_MESSAGE_COMMAND},    {"STAT", xPL_MESSAGE_STATUS},
      {"Trig", xPL_MESSAGE_TRIGGER},    {"xpl-cmnd", xPL_MESSAGE_COMMAND},
      {"XPL-stat", xPL_MESSAGE_STATUS}, {"xPl-TRIG", xPL_MESSAGE_TRIGGER}};
  for (const auto &[text, wanted] : good) {
    xPL_MessageType type = xPL_MESSAGE_ANY;
    EXPECT_TRUE(toolkit::parseTypeName(text, &type)) << text;
    EXPECT_EQ(type, wanted) << text;
  }
  for (const char *bad :
       {"", "xpl-", "info", "xpl-info", "cmd", "cmnds", "xpl-xpl-cmnd", "xplcmnd", " cmnd"}) {
    xPL_MessageType type = xPL_MESSAGE_ANY;
    EXPECT_FALSE(toolkit::parseTypeName(bad, &type)) << bad;
    EXPECT_EQ(type, xPL_MESSAGE_ANY) << bad;
  }
}

TEST(ToolkitMessages, SourceTargetAndSchemaAsText) {
  MessageHolder device(
      parseMessage("xpl-cmnd\n{\nhop=1\nsource=acme-remote.den\ntarget=kelvora-zud.hall\n}\n"
                   "config.list\n{\ncommand=request\n}\n"));
  ASSERT_NE(device.get(), nullptr);
  EXPECT_EQ(toolkit::sourceText(device.get()), "acme-remote.den");
  EXPECT_EQ(toolkit::sourceText(device.get(), "?"), "acme-remote.den");
  EXPECT_EQ(toolkit::targetText(device.get()), "kelvora-zud.hall");
  EXPECT_EQ(toolkit::schemaText(device.get()), "config.list");

  MessageHolder group(
      parseMessage("xpl-trig\n{\nhop=1\nsource=acme-remote.den\ntarget=XPL-GROUP.upstairs\n}\n"
                   "control.basic\n{\n}\n"));
  ASSERT_NE(group.get(), nullptr);
  EXPECT_EQ(toolkit::targetText(group.get()), "XPL-GROUP.upstairs");

  MessageHolder broadcast(
      parseMessage("xpl-stat\n{\nhop=1\nsource=acme-remote.den\ntarget=*\n}\nhbeat.app\n{\n}\n"));
  ASSERT_NE(broadcast.get(), nullptr);
  EXPECT_EQ(toolkit::targetText(broadcast.get()), "*");

  // A created message has no source or schema until they are set.
  MessageHolder bare(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_TRIGGER));
  EXPECT_EQ(toolkit::sourceText(bare.get()), "-.");
  EXPECT_EQ(toolkit::sourceText(bare.get(), "?"), "?-?.?");
  EXPECT_EQ(toolkit::schemaText(bare.get()), ".");
  EXPECT_EQ(toolkit::schemaText(bare.get(), "?"), "?.?");
}

TEST(ToolkitMessages, JsonKeepsRepeatedNamesInOrderAndEscapesWhatJsonNeeds) {
  // Built rather than parsed: parsing turns bytes above 'z' and controls into "|".  Well-formed
  // UTF-8 passes; a Latin-1 byte, a stray continuation byte, a cut-off sequence and each byte of
  // an encoded surrogate become U+FFFD, so that the line stays JSON and the logger runs on.
  xPL_ServicePtr service = xPL_createService("kelvora", "zud", "hall");
  MessageHolder alert(xPL_createBroadcastMessage(service, xPL_MESSAGE_TRIGGER));
  xPL_setSchema(alert.get(), "weather", "alert");
  const std::pair<const char *, const char *> pairs[] = {
      {"location", "Ada ID"},
      {"location", "Canyon ID"},
      {"quote", "say \"hi\""},
      {"path", "C:\\dir\\"},
      {"utf8", "Ni\xc3\xb1o \xe2\x9c\x93 \xf0\x9f\x8c\x80"},
      {"latin1", "caf\xe9 \xff"},
      {"broken", "\xc3(\x80\xed\xa0\x80\xe2\x9c"},
      {"control", "a\tb\n\x01\x7f"},
  };
  for (const auto &pair : pairs) xPL_addMessageNamedValue(alert.get(), pair.first, pair.second);
  EXPECT_EQ(toolkit::messageJson(alert.get()),
            "{\"type\":\"xpl-trig\",\"hop\":1,\"source\":\"kelvora-zud.hall\",\"target\":\"*\","
            "\"schema\":\"weather.alert\",\"body\":["
            "[\"location\",\"Ada ID\"],[\"location\",\"Canyon ID\"],"
            "[\"quote\",\"say \\\"hi\\\"\"],[\"path\",\"C:\\\\dir\\\\\"],"
            "[\"utf8\",\"Ni\xc3\xb1o \xe2\x9c\x93 \xf0\x9f\x8c\x80\"],"
            "[\"latin1\",\"caf\xef\xbf\xbd \xef\xbf\xbd\"],"
            "[\"broken\",\"\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
            "\xef\xbf\xbd\"],"
            "[\"control\",\"a\\tb\\n\\u0001\x7f\"]]}");
  alert.reset();
  xPL_releaseService(service);
}

TEST(ToolkitMessages, TextsAndComparisons) {
  EXPECT_EQ(toolkit::textOr("x"), "x");
  EXPECT_EQ(toolkit::textOr(nullptr), "");
  EXPECT_EQ(toolkit::textOr(nullptr, "?"), "?");
  EXPECT_TRUE(toolkit::equalsIgnoringCase("HBeat", "hbeat"));
  EXPECT_FALSE(toolkit::equalsIgnoringCase("hbeats", "hbeat"));
  EXPECT_FALSE(toolkit::equalsIgnoringCase(nullptr, ""));

  std::string stamp = toolkit::timestamp();
  ASSERT_EQ(stamp.size(), 19u) << stamp;
  for (size_t i : {4u, 7u}) EXPECT_EQ(stamp[i], '-') << stamp;
  EXPECT_EQ(stamp[10], ' ') << stamp;
  for (size_t i : {13u, 16u}) EXPECT_EQ(stamp[i], ':') << stamp;
}

}  // namespace
