// What zud publishes on MQTT, apart from the broker: the significance of
// every event code, an alert marked late, the alerts in force, the event
// codes that name entities, and Home Assistant's configurations.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "outputs/alertjson.h"
#include "same/lifetime.h"
#include "outputs/mqttoutput.h"

namespace {

TEST(Significance, EveryEventCodeHasTheLastWordOfItsDescription) {
  const std::vector<std::pair<const char *, std::vector<std::string>>> expected = {
      {"warning",
       {"AVW", "BHW", "BWW", "BZW", "CDW", "CFW", "CHW", "CWW", "DBW", "DEW", "DSW", "EQW", "FCW",
        "FFW", "FLW", "FRW", "FSW", "FZW", "HMW", "HUW", "HWW", "IBW", "IEW", "IFW", "LEW", "LSW",
        "NHW", "NUW", "RHW", "SMW", "SPW", "SVR", "SVW", "TOR", "TOW", "TRW", "TSW", "VOW", "WFW",
        "WSW"}},
      {"watch",
       {"AVA", "CDA", "CFA", "DBA", "EVA", "FFA", "FLA", "HUA", "HWA", "RHA", "SVA", "TOA", "TRA",
        "TSA", "VOA", "WFA", "WSA"}},
      {"emergency", {"CAE", "LAE", "TOE"}},
      {"statement", {"FFS", "FLS", "HLS", "POS", "SPS", "SVS"}},
      {"test", {"NAT", "NPT", "NST", "RMT", "RWT"}},
      {"other",
       {"ADR", "CEM", "DMO", "EAN", "EAT", "EVI", "NIC", "NMN", "TXB", "TXF", "TXO", "TXP"}},
  };
  std::set<std::string> seen;
  for (const auto &[kind, codes] : expected) {
    for (const std::string &code : codes) {
      EXPECT_STREQ(significance(code), kind) << code;
      EXPECT_TRUE(seen.insert(code).second) << code << " listed twice";
    }
  }
  // Every code of the table is listed above, so none is left unchecked.
  size_t codes = 0;
  for (const ::eventcode *entry = eventcodes; entry->ecode != nullptr; ++entry, ++codes) {
    EXPECT_EQ(seen.count(entry->ecode), 1u) << entry->ecode;
  }
  EXPECT_EQ(codes, seen.size());
  EXPECT_STREQ(significance("XYZ"), "other");
}

heardalert tornado(std::time_t issued) {
  heardalert h;
  h.values.originatorcode = "WXR";
  h.values.eventcode = "TOR";
  h.values.event = "Tornado Warning";
  h.values.locationcodes = {"016001"};
  h.values.locations = {"Ada ID"};
  h.values.purge = "0015";
  h.values.issued = issued;
  h.values.expires = expiry(issued, 15);
  h.values.source = "KBOI/NWS";
  h.received = issued + 5;
  return h;
}

TEST(AlertPayload, LateOnlyOnceItsExpiryHasCome) {
  const std::time_t issued = daysFromCivil(2026, 12, 8) * 86400LL + 10 * 3600;
  const heardalert h = tornado(issued);
  EXPECT_FALSE(alertpayload(h, h.values.expires - 1).contains("late"));
  EXPECT_EQ(alertpayload(h, h.values.expires)["late"], true);
  // Otherwise the very object of alertjson.
  jsonvalue late = alertpayload(h, h.values.expires + 3600);
  late.erase("late");
  EXPECT_EQ(late, alertjson(h));
  // Its identity first; "sample" only for the built-in sample.
  EXPECT_EQ(late.begin().key(), "id");
  EXPECT_EQ(late["id"], alertkey(h.values));
  EXPECT_FALSE(late.contains("sample"));
  heardalert sample = h;
  sample.sample = true;
  EXPECT_EQ(alertjson(sample)["sample"], true);

  const jsonvalue active = activepayload({h, tornado(issued + 60)});
  EXPECT_EQ(active["count"], 2);
  EXPECT_EQ(active["alerts"][1]["issued"], "2026-12-08T10:01:00Z");
  EXPECT_EQ(activepayload({}).dump(), R"({"count":0,"alerts":[]})");
}

TEST(EventCodes, OnlyCodesThatCanNameAnEntityOnceEach) {
  EXPECT_EQ(eventcodesof({"TOR", "???", "SVR", "TOR", "tor", "TORX", "", "RWT"}),
            (std::vector<std::string>{"TOR", "SVR", "RWT"}));
}

TEST(Discovery, EntitiesOfTheDeviceAndNoneWhenSwitchedOff) {
  mqttsettings s;
  s.topic = "zud/kitchen";
  s.discovery = "homeassistant";
  const std::vector<mqttmessage> messages = discoverymessages(s, {"TOR", "XYZ"});
  ASSERT_EQ(messages.size(), 5u);
  std::set<std::string> topics, ids;
  for (const mqttmessage &m : messages) {
    const jsonvalue config = jsonvalue::parse(m.payload);
    topics.insert(m.topic);
    ids.insert(config["unique_id"].get<std::string>());
    EXPECT_EQ(config["availability_topic"], "zud/kitchen/status") << m.topic;
    EXPECT_EQ(config["device"]["identifiers"][0], "zud_kitchen") << m.topic;
  }
  EXPECT_EQ(ids.size(), messages.size());
  EXPECT_EQ(topics.count(eventconfigtopic(s, "TOR")), 1u);
  EXPECT_EQ(eventconfigtopic(s, "TOR"), "homeassistant/binary_sensor/zud_kitchen/event_tor/config");
  // A code outside the table is named by its code.
  EXPECT_EQ(jsonvalue::parse(messages.back().payload)["name"], "XYZ");
  // Every code zud can publish: the table's, then a configured one outside it.
  const jsonvalue types = jsonvalue::parse(messages.front().payload)["event_types"];
  size_t known = 0;
  for (const ::eventcode *entry = eventcodes; entry->ecode != nullptr; ++entry) ++known;
  ASSERT_EQ(types.size(), known + 1);
  EXPECT_EQ(types.front(), eventcodes[0].ecode);
  EXPECT_EQ(types.back(), "XYZ");

  s.discovery.clear();
  EXPECT_TRUE(discoverymessages(s, {"TOR"}).empty());
}

TEST(FailureLog, ARefusalIsSaidAgainAfterAnHourAnyOtherFailureAtOnce) {
  const std::time_t hour = failurelog::refusalrepeat;
  failurelog log;
  EXPECT_TRUE(log.due("not authorised", true, 1000));
  EXPECT_FALSE(log.due("not authorised", true, 1060));
  EXPECT_FALSE(log.due("not authorised", true, 1000 + hour - 1));
  EXPECT_TRUE(log.due("not authorised", true, 1000 + hour));
  EXPECT_TRUE(log.due("Connection refused", false, 9000));
  EXPECT_TRUE(log.due("Connection refused", false, 9001));
  // Different from the failure before it: said at once.
  EXPECT_TRUE(log.due("not authorised", true, 9002));
  log.connected();
  EXPECT_TRUE(log.due("not authorised", true, 9003));
}

}  // namespace
