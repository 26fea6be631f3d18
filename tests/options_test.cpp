// zud's own command line: what is left after the library's options must be
// understood entirely, or refused with a line that names the culprit.
#include "core/options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

parsedoptions parse(std::initializer_list<const char *> args) {
  std::vector<const char *> argv{"zud"};
  argv.insert(argv.end(), args);
  return parseoptions(static_cast<int>(argv.size()), argv.data());
}

TEST(Options, KnownSwitchesAreTakenInAnyOrder) {
  parsedoptions none = parse({});
  EXPECT_EQ(none.error, "");
  EXPECT_EQ(none.options.countynames, CountyNames::singleWord);
  EXPECT_FALSE(none.options.upload);

  parsedoptions both = parse({"--upload", "--all-counties"});
  EXPECT_EQ(both.error, "");
  EXPECT_EQ(both.options.countynames, CountyNames::all);
  EXPECT_TRUE(both.options.upload);
}

TEST(Options, AnythingElseIsRefusedByName) {
  EXPECT_EQ(parse({"--all-countys"}).error, "unknown option '--all-countys'");
  // A typo of a library option is left over by the library, and lands here.
  EXPECT_EQ(parse({"--upload", "-interfce", "eth0"}).error, "unknown option '-interfce'");
  EXPECT_EQ(parse({"eth0"}).error, "unexpected argument 'eth0'");
  EXPECT_EQ(parse({"--bogus=1"}).error, "unknown option '--bogus'");
  EXPECT_EQ(parse({"--upload=yes"}).error, "option '--upload' takes no value");
  // The library's options take one dash.
  EXPECT_EQ(parse({"--interface", "lo"}).error,
            "unknown option '--interface' (did you mean -interface, with one dash?)");
}

TEST(Options, AnOptionThatDoesNothingAloneIsRefused) {
  EXPECT_EQ(parse({"--mqtt-user", "zud"}).error, "--mqtt-user has no effect without --mqtt");
  EXPECT_EQ(parse({"--mqtt-user", "zud", "--mqtt", "mqtt://localhost"}).error, "");
  EXPECT_EQ(parse({"--hook-timeout", "5"}).error,
            "--hook-timeout has no effect without --on-alert, --on-expire or --on-audio");
  EXPECT_EQ(parse({"--hook-timeout", "5", "--on-expire", "x"}).error, "");
}

TEST(Options, LineSourcesKeepTheirKindAndOrderAndTheHookTimeoutIsBounded) {
  parsedoptions parsed = parse({"--source-file", "/run/zud/eas", "--source-command",
                                "rtl_fm -f 162.550M -s 22050 - | multimon-ng -t raw -a EAS -",
                                "--source-file=-", "--on-alert", "notify", "--hook-timeout", "5"});
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(parsed.options.sources.size(), 3u);
  EXPECT_EQ(parsed.options.sources[0].what, sourceoption::kind::file);
  EXPECT_EQ(parsed.options.sources[1].what, sourceoption::kind::command);
  EXPECT_EQ(parsed.options.sources[1].text,
            "rtl_fm -f 162.550M -s 22050 - | multimon-ng -t raw -a EAS -");
  EXPECT_EQ(parsed.options.sources[2].text, "-");
  EXPECT_EQ(parsed.options.onalert, "notify");
  EXPECT_EQ(parsed.options.hooktimeout, 5);

  EXPECT_NE(parse({"--hook-timeout", "0"}).error, "");
  EXPECT_NE(parse({"--hook-timeout", "1m"}).error, "");
  EXPECT_NE(parse({"--source-command", ""}).error, "");
}

}  // namespace
