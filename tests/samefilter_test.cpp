// What of a line source's output becomes an alert: the lines decoders
// print, SAME location matching against the configured fips and events,
// the 15-second window for the same header, line assembly with the serial
// link's limit, and the environment of the programs zud runs.
#include "same/samefilter.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "sources/children.h"
#include "same/decoder.h"
#include "sources/linereader.h"
#include "sources/linesource.h"

namespace {

TEST(SourceLine, DecoderOutputsAreReadAndEverythingElseIsOther) {
  const std::string header = "ZCZC-WXR-TOR-016001+0045-3421742-KBOI/NWS-";
  for (const std::string &line :
       {"EAS: " + header, header, std::string(16, '\xab') + header,
        std::string(3, '\xab') + header, "  EAS:  " + header + " \r"}) {
    SCOPED_TRACE(line);
    const sourceline read = readsourceline(line);
    EXPECT_EQ(read.kind, linekind::header);
    EXPECT_EQ(read.header, header);
  }
  EXPECT_EQ(readsourceline("NNNN").kind, linekind::endofmessage);
  EXPECT_EQ(readsourceline("EAS: NNNN\r").kind, linekind::endofmessage);
  // A single burst is no message yet; banners and noise are nothing.
  EXPECT_EQ(readsourceline("EAS (part): " + header).kind, linekind::other);
  EXPECT_EQ(readsourceline("Enabled demodulators: EAS").kind, linekind::other);
  EXPECT_EQ(readsourceline("NNNNN").kind, linekind::other);
  EXPECT_EQ(readsourceline("").kind, linekind::other);
}

TEST(SourceLine, AHeaderWithoutPreambleDecodesOnceGivenOne) {
  // The decoder insists on the receiver's 15 or 16 preamble bytes, which
  // multimon-ng and samedec do not print.
  const sourceline read = readsourceline("EAS: ZCZC-WXR-TOR-016001+0045-3421742-KBOI/NWS-");
  EXPECT_TRUE(std::holds_alternative<rejection>(decodesame(read.header, CountyNames::singleWord)));
  const decoding decoded = decodesame(withpreamble(read.header), CountyNames::singleWord);
  ASSERT_TRUE(std::holds_alternative<alert>(decoded));
  EXPECT_EQ(std::get<alert>(decoded).event, "Tornado Warning");
}

TEST(SameFilter, LocationsMatchAsReceiversMatchThem) {
  EXPECT_TRUE(locationmatches("016001", "016001"));
  EXPECT_FALSE(locationmatches("016001", "016003"));
  EXPECT_FALSE(locationmatches("016001", "041001"));  // the same county number elsewhere
  // 000000 is the whole nation, either way round.
  EXPECT_TRUE(locationmatches("016001", "000000"));
  EXPECT_TRUE(locationmatches("000000", "041045"));
  // County 000 is the whole state, either way round.
  EXPECT_TRUE(locationmatches("016001", "016000"));
  EXPECT_TRUE(locationmatches("016000", "016087"));
  EXPECT_FALSE(locationmatches("016000", "041045"));
  // Portion digit 0 is the whole county; two portions must agree.
  EXPECT_TRUE(locationmatches("016001", "716001"));
  EXPECT_TRUE(locationmatches("216001", "016001"));
  EXPECT_TRUE(locationmatches("216001", "216001"));
  EXPECT_FALSE(locationmatches("216001", "716001"));
  // Not codes at all.
  EXPECT_FALSE(locationmatches("??????", "016001"));
  EXPECT_FALSE(locationmatches("016001", "01600"));
}

TEST(SameFilter, AHeaderPassesOnItsEventAndAnyOfItsLocations) {
  const samefilter idaho{{"016001", "041045"}, {"TOR", "SVR"}};
  EXPECT_TRUE(passes(idaho, "ZCZC-WXR-TOR-016003-016001+0045-3421742-KBOI/NWS-"));
  EXPECT_TRUE(passes(idaho, "ZCZC-WXR-SVR-041000+0045-3421742-KPDT/NWS-"));
  EXPECT_FALSE(passes(idaho, "ZCZC-WXR-FFW-016001+0045-3421742-KBOI/NWS-"));
  EXPECT_FALSE(passes(idaho, "ZCZC-WXR-TOR-016003-016027+0045-3421742-KBOI/NWS-"));
}

TEST(SameFilter, UnsetItemsPassEverythingAndEmptySlotsAreNoChoice) {
  const std::string flood = "ZCZC-WXR-FFW-053045+0045-3421742-KOTX/NWS-";
  // The defaults of a service never configured.
  EXPECT_TRUE(passes(samefilter{{"??????"}, {"???"}}, flood));
  EXPECT_TRUE(passes(samefilter{}, flood));
  // Events chosen, counties not: the event alone decides.
  EXPECT_TRUE(passes(samefilter{{"??????"}, {"FFW", "???"}}, flood));
  EXPECT_FALSE(passes(samefilter{{"??????", ""}, {"TOR"}}, flood));
  // Counties chosen, with unused slots beside them.
  EXPECT_FALSE(passes(samefilter{{"016001", "??????", "??????"}, {"???"}}, flood));
  EXPECT_TRUE(passes(samefilter{{"053045", "??????"}, {"???"}}, flood));
}

TEST(SameFilter, AHeaderItCannotReadGoesOnForTheDecoderToReject) {
  const samefilter idaho{{"016001"}, {"TOR"}};
  EXPECT_TRUE(passes(idaho, "ZCZC-WXR-TOR-0160X1+0045-3421742-KBOI/NWS-"));
  EXPECT_TRUE(passes(idaho, "ZCZC-WXR-tor-016001"));
}

TEST(RepeatWindow, TheSameHeaderWithinFifteenSecondsOfItsLastHearingIsARepeat) {
  repeatwindow window(15000);
  const std::string a = "ZCZC-WXR-TOR-016001+0045-3421742-KBOI/NWS-";
  const std::string b = "ZCZC-WXR-SVR-016001+0045-3421742-KBOI/NWS-";
  EXPECT_FALSE(window.repeat(a, 1000));
  EXPECT_FALSE(window.repeat(b, 2000));
  EXPECT_TRUE(window.repeat(a, 15999));
  // Heard again at 15999, so still a repeat 14 s after that.
  EXPECT_TRUE(window.repeat(a, 29999));
  EXPECT_FALSE(window.repeat(b, 17000));
  EXPECT_FALSE(window.repeat(a, 45000));
}

// Lines collected by a test.
void collect(std::string_view line, void *into) {
  static_cast<std::vector<std::string> *>(into)->emplace_back(line);
}

TEST(LineAssembly, LinesAreCutAtLineFeedsAcrossReadsWithTheirEndsRemoved) {
  std::vector<std::string> got;
  lineassembler lines(512, lineassembler::overlong::discard);
  EXPECT_TRUE(lines.feed("EAS: ZC", collect, &got));
  EXPECT_TRUE(lines.feed("ZC-1\r\n\nNNNN\nlast", collect, &got));
  EXPECT_EQ(got, (std::vector<std::string>{"EAS: ZCZC-1", "NNNN"}));
  lines.finish(collect, &got);
  EXPECT_EQ(got.back(), "last");
}

TEST(LineAssembly, ALineReachingTheLimitIsDiscardedAsTheSerialLinkDoes) {
  std::vector<std::string> got;
  lineassembler lines(512, lineassembler::overlong::discard);
  EXPECT_TRUE(lines.feed(std::string(511, 'a') + "\n", collect, &got));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), 511u);
  EXPECT_TRUE(lines.feed(std::string(300, 'b'), collect, &got));
  EXPECT_FALSE(lines.feed(std::string(212, 'b') + "tail\nNNNN\n", collect, &got));
  EXPECT_EQ(got, (std::vector<std::string>{std::string(511, 'a'), "tail", "NNNN"}));
}

TEST(LineAssembly, PassedThroughMessagesKeepEveryByteInPieces) {
  std::vector<std::string> got;
  lineassembler lines(8, lineassembler::overlong::pass);
  EXPECT_TRUE(lines.feed("0123456789abcdefXY\n", collect, &got));
  EXPECT_EQ(got, (std::vector<std::string>{"01234567", "89abcdef", "XY"}));
}

TEST(ChildEnvironment, SecretsNeverReachAChildAndGivenValuesReplaceInheritedOnes) {
  setenv("ZUD_MQTT_PASSWORD", "hunter2", 1);
  setenv("ZUD_EVENT", "stale", 1);
  setenv("ZUD_TEST_KEPT", "kept", 1);
  const std::vector<std::string> env =
      childenvironment({"ZUD_EVENT=Tornado Warning", "ZUD_MQTT_PASSWORD=given anyway"});
  unsetenv("ZUD_MQTT_PASSWORD");
  unsetenv("ZUD_EVENT");
  unsetenv("ZUD_TEST_KEPT");
  auto has = [&](const std::string &entry) {
    return std::find(env.begin(), env.end(), entry) != env.end();
  };
  EXPECT_TRUE(has("ZUD_TEST_KEPT=kept"));
  EXPECT_TRUE(has("ZUD_EVENT=Tornado Warning"));
  EXPECT_FALSE(has("ZUD_EVENT=stale"));
  for (const std::string &entry : env) {
    EXPECT_NE(entry.rfind("ZUD_MQTT_PASSWORD=", 0), 0u) << entry;
  }
}

}  // namespace
