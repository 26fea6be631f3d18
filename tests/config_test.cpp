// Configurable services without a network: items and values, definitions,
// the filter text form, the config.list and config.current reports, and the
// installation of a config.response with its restart, save and listeners.
// Sent datagrams are captured and parsed back; inbound messages are parsed
// from text and handed to the services' inbound handling.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <string>
#include <vector>

#include "config_helpers.h"
#include "process.h"
#include "xPL_priv.h"

using configtest::commandText;
using configtest::deliver;
using configtest::PairList;
using configtest::Pairs;
using configtest::Parsed;
using configtest::SentDatagrams;
using configtest::valuesOf;
using xpltest::debugLogOf;
using xpl::internal::formatFilter;
using xpl::internal::parseConfigDefinition;
using xpl::internal::parseFilter;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xPL_setHubConfirmed(TRUE);
    service = xPL_createConfigurableService("kelvora", "zud", NULL);
    ASSERT_NE(service, nullptr);
    xPL_setServiceInstanceID(service, "hall");
  }
  void TearDown() override {
    SentDatagrams::observer() = nullptr;
    if (service != NULL) xPL_releaseService(service);
    xPL_setDebugging(FALSE);
  }

  // The three items of the gateway: a device path, four FIPS codes, 80 events.
  void declareGatewayItems() {
    ASSERT_TRUE(xPL_addServiceConfigurable(service, "device", xPL_CONFIG_RECONF, 1));
    ASSERT_TRUE(xPL_addServiceConfigurable(service, "fips", xPL_CONFIG_RECONF, 4));
    ASSERT_TRUE(xPL_addServiceConfigurable(service, "event", xPL_CONFIG_RECONF, 80));
  }

  std::string target() const {
    return std::string("kelvora-zud.") + xPL_getServiceInstanceID(service);
  }

  // The names of the service's items, in order.
  std::vector<std::string> itemNames() const {
    std::vector<std::string> names;
    for (int i = 0; i < xPL_getServiceConfigurableCount(service); i++) {
      names.push_back(xPL_getServiceConfigurableAt(service, i)->itemName);
    }
    return names;
  }

  // The service's filters in their text form, and its groups, in order.
  std::vector<std::string> filters() const {
    std::vector<std::string> texts;
    for (int i = 0; i < xPL_getServiceFilterCount(service); i++) {
      String text = formatFilter(xPL_getServiceFilterAt(service, i));
      texts.push_back(text);
      xPL_FreeStr(text);
    }
    return texts;
  }
  std::vector<std::string> groups() const {
    std::vector<std::string> names;
    for (int i = 0; i < xPL_getServiceGroupCount(service); i++) {
      names.push_back(xPL_getServiceGroupAt(service, i));
    }
    return names;
  }

  // Installs pairs as a config.response from the network would.
  void respond(const Pairs &pairs) {
    deliver(commandText(target(), "config.response", pairs));
  }

  SentDatagrams sent;
  xPL_ServicePtr service = NULL;
};

int changedCalls = 0;
void countChange(xPL_ServicePtr, xPL_ObjectPtr) { changedCalls++; }

// ---------------------------------------------------------------------------
// Items and values

TEST_F(ConfigTest, ItemsAreFoundIgnoringCaseAndNotDeclaredTwice) {
  declareGatewayItems();
  EXPECT_FALSE(xPL_addServiceConfigurable(service, "FIPS", xPL_CONFIG_OPTIONAL, 2));
  xPL_ServiceConfigurablePtr fips = xPL_findServiceConfigurable(service, "Fips");
  ASSERT_NE(fips, nullptr);
  EXPECT_STREQ(fips->itemName, "fips");
  EXPECT_EQ(fips->itemType, xPL_CONFIG_RECONF);
  EXPECT_EQ(fips->maxValueCount, 4);
  EXPECT_EQ(xPL_findServiceConfigurable(service, "fip"), nullptr);

  ASSERT_TRUE(xPL_addServiceConfigurable(service, "zero", xPL_CONFIG_MANDATORY, 0));
  ASSERT_TRUE(xPL_addServiceConfigurable(service, "negative", xPL_CONFIG_MANDATORY, -3));
  EXPECT_EQ(xPL_findServiceConfigurable(service, "zero")->maxValueCount, 1);
  EXPECT_EQ(xPL_findServiceConfigurable(service, "negative")->maxValueCount, 1);
  EXPECT_EQ(itemNames(), (std::vector<std::string>{"device", "fips", "event", "zero", "negative"}));

  // Removal keeps the order of the rest.
  EXPECT_TRUE(xPL_removeServiceConfigurable(service, "FIPS"));
  EXPECT_FALSE(xPL_removeServiceConfigurable(service, "fips"));
  EXPECT_EQ(itemNames(), (std::vector<std::string>{"device", "event", "zero", "negative"}));
  xPL_removeAllServiceConfigurables(service);
  EXPECT_EQ(xPL_getServiceConfigurableCount(service), 0);
}

TEST_F(ConfigTest, ValuesFillAnItemUpToItsMostValues) {
  ASSERT_TRUE(xPL_addServiceConfigurable(service, "one", xPL_CONFIG_RECONF, 1));
  ASSERT_TRUE(xPL_addServiceConfigurable(service, "three", xPL_CONFIG_RECONF, 3));
  declareGatewayItems();
  EXPECT_EQ(xPL_getServiceConfigValueCapacity(service, "fips"), 0);

  EXPECT_TRUE(xPL_addServiceConfigValue(service, "one", "a"));
  EXPECT_FALSE(xPL_addServiceConfigValue(service, "one", "b"));  // full
  for (int i = 0; i < 3; i++) EXPECT_TRUE(xPL_addServiceConfigValue(service, "three", "t"));
  EXPECT_FALSE(xPL_addServiceConfigValue(service, "three", "t"));
  for (int i = 0; i < 4; i++) EXPECT_TRUE(xPL_addServiceConfigValue(service, "fips", "f"));
  for (int i = 0; i < 80; i++) {
    EXPECT_TRUE(xPL_addServiceConfigValue(service, "event", std::to_string(i).c_str()));
  }
  EXPECT_EQ(xPL_getServiceConfigValueCount(service, "event"), 80);
  EXPECT_STREQ(xPL_getServiceConfigValueAt(service, "event", 79), "79");
  EXPECT_FALSE(xPL_addServiceConfigValue(service, "event", "80"));
  EXPECT_FALSE(xPL_addServiceConfigValue(service, "fips", "fifth"));
  EXPECT_FALSE(xPL_addServiceConfigValue(service, "unknown", "x"));

  // Clearing keeps the storage.
  const int capacity = xPL_getServiceConfigValueCapacity(service, "fips");
  EXPECT_GE(capacity, 4);
  xPL_clearServiceConfigValues(service, "fips");
  EXPECT_EQ(xPL_getServiceConfigValueCount(service, "fips"), 0);
  EXPECT_EQ(xPL_getServiceConfigValueCapacity(service, "fips"), capacity);
  xPL_clearAllServiceConfigValues(service);
  EXPECT_EQ(xPL_getServiceConfigValueCount(service, "event"), 0);
  EXPECT_EQ(xPL_getServiceConfigValueCount(service, "unknown"), 0);
}

TEST_F(ConfigTest, SetAtReplacesInPlaceOrAppendsAtTheEnd) {
  declareGatewayItems();
  xPL_setServiceConfigValue(service, "fips", "001");
  xPL_setServiceConfigValueAt(service, "fips", 3, "002");  // beyond: appended
  xPL_setServiceConfigValueAt(service, "fips", 0, "003");
  xPL_setServiceConfigValueAt(service, "fips", -1, "004");  // refused
  xPL_addServiceConfigValue(service, "fips", NULL);          // a slot without text
  EXPECT_EQ(valuesOf(service, "fips"), (std::vector<std::string>{"003", "002", "(none)"}));
  EXPECT_STREQ(xPL_getServiceConfigValue(service, "fips"), "003");
  EXPECT_EQ(xPL_getServiceConfigValueAt(service, "fips", 3), nullptr);
  EXPECT_EQ(xPL_getServiceConfigValueAt(service, "fips", -1), nullptr);
  EXPECT_EQ(xPL_getServiceConfigValue(service, "nothing"), nullptr);
}

TEST_F(ConfigTest, EnabledServiceKeepsItsItemsAndValues) {
  declareGatewayItems();
  xPL_setServiceConfigValue(service, "device", "/dev/ttyS0");
  xPL_setServiceEnabled(service, TRUE);

  EXPECT_FALSE(xPL_addServiceConfigurable(service, "more", xPL_CONFIG_OPTIONAL, 1));
  EXPECT_FALSE(xPL_removeServiceConfigurable(service, "device"));
  xPL_removeAllServiceConfigurables(service);
  xPL_setServiceConfigValue(service, "device", "/dev/ttyS1");
  EXPECT_FALSE(xPL_addServiceConfigValue(service, "fips", "001"));
  xPL_clearServiceConfigValues(service, "device");
  xPL_clearAllServiceConfigValues(service);
  xPL_releaseServiceConfigurables(service);

  EXPECT_EQ(itemNames(), (std::vector<std::string>{"device", "fips", "event"}));
  EXPECT_EQ(valuesOf(service, "device"), (std::vector<std::string>{"/dev/ttyS0"}));
  EXPECT_EQ(xPL_getServiceConfigValueCount(service, "fips"), 0);
}

TEST_F(ConfigTest, LongItemNamesAreCutAt127AndFoundByTheirFullName) {
  std::string longName(200, 'n');
  std::string log = debugLogOf([&] {
    EXPECT_TRUE(xPL_addServiceConfigurable(service, longName.c_str(), xPL_CONFIG_OPTIONAL, 1));
  });
  EXPECT_EQ(itemNames(), (std::vector<std::string>{longName.substr(0, 127)}));
  EXPECT_NE(log.find("CONFIG:: Added configurable [" + longName.substr(0, 127) + "] (" + longName +
                     "), TYPE=0, MAX_VALUES=1\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(xPL_addServiceConfigValue(service, longName.c_str(), "v"));
  EXPECT_STREQ(xPL_getServiceConfigValue(service, longName.substr(0, 127).c_str()), "v");
  EXPECT_FALSE(xPL_addServiceConfigurable(service, (longName + "x").c_str(), xPL_CONFIG_OPTIONAL, 1));

  // A definition of the same long name refers to the same item.
  std::string defLog = debugLogOf([&] {
    EXPECT_FALSE(parseConfigDefinition(service, (longName + "[2]").c_str(), xPL_CONFIG_RECONF));
  });
  EXPECT_NE(defLog.find("CONFIG:: Unable to define configurable " + longName + "[2] -- item ignored"),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// Definitions

TEST_F(ConfigTest, DefinitionsTakeNamesAndCountsAndSkipTheLibrarysOwnItems) {
  std::string log = debugLogOf([&] {
    EXPECT_FALSE(parseConfigDefinition(service, "fips[4", xPL_CONFIG_RECONF));
    EXPECT_FALSE(parseConfigDefinition(service, "fips[4x]", xPL_CONFIG_RECONF));
    EXPECT_TRUE(parseConfigDefinition(service, "fips[0]", xPL_CONFIG_RECONF));
    EXPECT_TRUE(parseConfigDefinition(service, "event[ +80]trailing", xPL_CONFIG_MANDATORY));
    EXPECT_TRUE(parseConfigDefinition(service, "grp", xPL_CONFIG_OPTIONAL));
    EXPECT_TRUE(parseConfigDefinition(service, "groups", xPL_CONFIG_OPTIONAL));
    EXPECT_TRUE(parseConfigDefinition(service, "neg[-2]", xPL_CONFIG_OPTIONAL));
    for (const char *reserved : {"gr", "GROUP", "newconf[3]", "Inter", "filter[255]", "", "[4]"}) {
      EXPECT_TRUE(parseConfigDefinition(service, reserved, xPL_CONFIG_OPTIONAL)) << reserved;
    }
    EXPECT_FALSE(parseConfigDefinition(service, "GRP[2]", xPL_CONFIG_OPTIONAL));
  });
  EXPECT_NE(log.find("ERROR: CONFIG:: Bad defintion for config=fips[4[4 -- item ignored\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ERROR: CONFIG:: Bad defintion for config=fips[4x][4x] -- item ignored\n"),
            std::string::npos);
  EXPECT_NE(log.find("xPL_DEBUG: CONFIG:: Added new configurable item fips[0]\n"),
            std::string::npos);
  EXPECT_NE(log.find("ERROR: CONFIG:: Unable to define configurable GRP[2] -- item ignored\n"),
            std::string::npos);

  EXPECT_EQ(itemNames(), (std::vector<std::string>{"fips", "event", "grp", "groups", "neg"}));
  const char *names[] = {"fips", "event", "grp", "groups", "neg"};
  const int counts[] = {1, 80, 1, 1, 1};
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(xPL_findServiceConfigurable(service, names[i])->maxValueCount, counts[i]) << names[i];
  }
  EXPECT_EQ(xPL_findServiceConfigurable(service, "event")->itemType, xPL_CONFIG_MANDATORY);
}

// ---------------------------------------------------------------------------
// Filter text form

struct FilterRecord {
  xPL_ServiceFilter filter{};
  ~FilterRecord() {
    xPL_FreeStr(filter.matchOnVendor);
    xPL_FreeStr(filter.matchOnDeviceID);
    xPL_FreeStr(filter.matchOnInstanceID);
    xPL_FreeStr(filter.matchOnSchemaClass);
    xPL_FreeStr(filter.matchOnSchemaType);
  }
  std::string text() {
    String formatted = formatFilter(&filter);
    std::string result = formatted;
    xPL_FreeStr(formatted);
    return result;
  }
};

TEST(FilterText, ParsesAndFormatsBackTheSameText) {
  FilterRecord record;
  ASSERT_TRUE(parseFilter("xpl-trig.*.*.*.weather.*", &record.filter));
  EXPECT_EQ(record.text(), "xpl-trig.*.*.*.weather.*");

  // Type keywords in any case; the schema type keeps further dots; an empty
  // field stays empty; a field starting with "*" is "any".
  ASSERT_TRUE(parseFilter("XPL-CMND.kelvora..*x.config.a.b", &record.filter));
  EXPECT_EQ(record.text(), "xpl-cmnd.kelvora..*.config.a.b");

  ASSERT_TRUE(parseFilter("xpl-stat.v.d.i.c.t", &record.filter));
  EXPECT_EQ(record.text(), "xpl-stat.v.d.i.c.t");
  ASSERT_TRUE(parseFilter("*anything.v.d.i.c.", &record.filter));
  EXPECT_EQ(record.text(), "*.v.d.i.c.");
}

TEST(FilterText, RejectsFewDotsAndUnknownTypesLeavingTheRecordAlone) {
  FilterRecord record;
  ASSERT_TRUE(parseFilter("xpl-stat.v.d.i.c.t", &record.filter));
  for (const char *bad : {"xpl-trig.weather.alert", "xpl-trig.a.b.c.d", "abc.*.*.*.weather.*",
                          "xpl-cmd.*.*.*.weather.*", "", ".....x"}) {
    EXPECT_FALSE(parseFilter(bad, &record.filter)) << bad;
  }
  EXPECT_EQ(record.text(), "xpl-stat.v.d.i.c.t");
}

// ---------------------------------------------------------------------------
// Reports

TEST_F(ConfigTest, ListRequestIsAnsweredWithEveryItemInOrder) {
  declareGatewayItems();
  ASSERT_TRUE(xPL_addServiceConfigurable(service, "mode", xPL_CONFIG_OPTIONAL, 1));
  ASSERT_TRUE(xPL_addServiceConfigurable(service, "path", xPL_CONFIG_MANDATORY, 2));
  deliver(commandText(target(), "config.list", {{"command", "REQUEST"}}));

  ASSERT_EQ(sent.size(), 1u);
  Parsed reply(sent.at(0));
  ASSERT_TRUE(reply);
  EXPECT_EQ(xPL_getMessageType(reply.get()), xPL_MESSAGE_STATUS);
  EXPECT_TRUE(xPL_isBroadcastMessage(reply.get()));
  EXPECT_EQ(reply.schema(), "config.list");
  EXPECT_EQ(reply.source(), "kelvora-zud.hall");
  EXPECT_EQ(reply.body(), (Pairs{{"reconf", "newconf"},
                                 {"reconf", "interval"},
                                 {"option", "group[255]"},
                                 {"option", "filter[255]"},
                                 {"reconf", "device"},
                                 {"reconf", "fips[4]"},
                                 {"reconf", "event[80]"},
                                 {"option", "mode"},
                                 {"config", "path[2]"}}));
}

TEST_F(ConfigTest, CurrentReportOfAnEmptyServiceNamesEverythingWithoutValues) {
  declareGatewayItems();
  deliver(commandText(target(), "config.current", {{"command", "request"}}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent.at(0).find("\ngroup=\nfilter=\ndevice=\nfips=\nevent=\n}\n"), std::string::npos)
      << sent.at(0);
  Parsed reply(sent.at(0));
  EXPECT_EQ(reply.schema(), "config.current");
  EXPECT_EQ(reply.body(), (Pairs{{"newconf", "hall"},
                                 {"interval", "5"},
                                 {"group", ""},
                                 {"filter", ""},
                                 {"device", ""},
                                 {"fips", ""},
                                 {"event", ""}}));
}

TEST_F(ConfigTest, CurrentReportCarriesGroupsFiltersAndValuesInOrder) {
  declareGatewayItems();
  xPL_setServiceConfigValue(service, "device", "/dev/ttyS0");
  xPL_addServiceConfigValue(service, "fips", "001");
  xPL_addServiceConfigValue(service, "fips", NULL);  // a slot without text is not reported
  xPL_addServiceConfigValue(service, "fips", "");    // an empty text is
  xPL_addServiceConfigValue(service, "event", NULL);
  const Pairs installed = {{"newconf", "hall"},
                           {"interval", "1"},
                           {"group", "XPL-GROUP.upstairs"},
                           {"group", "XPL-GROUP.all"},
                           {"filter", "xpl-trig.*.*.*.weather.*"},
                           {"filter", "xpl-cmnd.acme.mgr.*.config.*"},
                           {"device", "/dev/ttyS0"},
                           {"fips", "001"},
                           {"fips", "002"}};
  respond(installed);
  xPL_setServiceConfigValueAt(service, "fips", 2, NULL);
  sent.clear();
  deliver(commandText(target(), "config.current", {{"command", "request"}}));
  ASSERT_EQ(sent.size(), 1u);
  // Every installed pair comes back in its order, then the item left without values.
  Pairs reported = installed;
  reported.emplace_back("event", "");
  EXPECT_EQ(Parsed(sent.at(0)).body(), reported);
}

TEST_F(ConfigTest, OnlyRequestCommandsAreAnswered) {
  declareGatewayItems();
  deliver(commandText(target(), "config.list", {}));
  deliver(commandText(target(), "config.list", {{"command", "requests"}}));
  deliver(commandText(target(), "config.current", {{"cmd", "request"}}));
  deliver(commandText(target(), "config.other", {{"command", "request"}}));
  deliver(commandText("kelvora-zud.other", "config.list", {{"command", "request"}}));
  std::string status = commandText(target(), "config.list", {{"command", "request"}});
  status.replace(0, 8, "xpl-stat");
  deliver(status);
  std::string response = commandText(target(), "config.response", {{"device", "x"}});
  response.replace(0, 8, "xpl-trig");
  deliver(response);
  EXPECT_EQ(sent.size(), 0u);
  EXPECT_FALSE(xPL_isServiceConfigured(service));

  // Schema type in another case is still understood.
  deliver(commandText(target(), "CONFIG.LIST", {{"command", "request"}}));
  EXPECT_EQ(sent.size(), 1u);
}

// ---------------------------------------------------------------------------
// Installation

TEST_F(ConfigTest, ResponseReplacesAllItemValuesAndIgnoresDefinitions) {
  declareGatewayItems();
  xPL_setServiceConfigValue(service, "device", "/dev/ttyS0");
  xPL_addServiceConfigValue(service, "event", "TOR");
  std::string log = debugLogOf([&] {
    respond({{"fips", "001"},
             {"reconf", "extra[2]"},
             {"FIPS", "002"},
             {"fips", "003"},
             {"fips", "004"},
             {"fips", "005"},
             {"colour", "red"},
             {"device", ""}});
  });
  EXPECT_TRUE(xPL_isServiceConfigured(service));
  EXPECT_EQ(xPL_findServiceConfigurable(service, "extra"), nullptr);
  EXPECT_EQ(valuesOf(service, "fips"), (std::vector<std::string>{"001", "002", "003", "004"}));
  EXPECT_EQ(valuesOf(service, "device"), (std::vector<std::string>{""}));
  EXPECT_EQ(xPL_getServiceConfigValueCount(service, "event"), 0);
  EXPECT_NE(log.find("CONFIG:: About to update configurable fips with value 005\n\n"),
            std::string::npos)
      << log;
  size_t fifth = log.find("with value 005");
  EXPECT_NE(log.find("CONFIG::    UNABLE to add/set that configuration value!\n\n", fifth),
            std::string::npos);
  size_t colour = log.find("CONFIG:: About to update configurable colour with value red\n\n");
  ASSERT_NE(colour, std::string::npos);
  EXPECT_NE(log.find("UNABLE to add/set", colour), std::string::npos);
  EXPECT_NE(log.find("CONFIG:: Restarted service with new parameters\n"), std::string::npos);
  EXPECT_EQ(log.find("configurable [extra]"), std::string::npos);  // not even tried
  EXPECT_EQ(log.find("configurable item extra"), std::string::npos);
}

TEST_F(ConfigTest, IntervalOfTheSameMinutesNeitherChangesNorRestarts) {
  xPL_setServiceEnabled(service, TRUE);
  sent.clear();
  std::string log = debugLogOf([&] { respond({{"interval", "5"}}); });
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 300);
  EXPECT_EQ(sent.size(), 0u);
  EXPECT_EQ(log.find("will restart"), std::string::npos);
  EXPECT_EQ(log.find("Stopping service"), std::string::npos);
  EXPECT_TRUE(xPL_isServiceConfigured(service));
}

TEST_F(ConfigTest, NewIntervalRestartsTheService) {
  xPL_setServiceEnabled(service, TRUE);
  sent.clear();
  std::string log = debugLogOf([&] { respond({{"interval", "10"}}); });
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 600);
  EXPECT_TRUE(xPL_isServiceEnabled(service));
  EXPECT_NE(log.find("CONFIG:: Got new interval of 600 for service -- will restart service\n\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("CONFIG:: Stopping service to restart later for new instance/interval "
                     "change\n\n"),
            std::string::npos);
  ASSERT_EQ(sent.size(), 2u);
  Parsed goodbye(sent.at(0)), hello(sent.at(1));
  EXPECT_EQ(goodbye.schema(), "config.end");
  EXPECT_EQ(hello.schema(), "hbeat.app");
  EXPECT_STREQ(xPL_getMessageNamedValue(hello.get(), "interval"), "10");
}

TEST_F(ConfigTest, IntervalEdgeValues) {
  respond({{"interval", ""}});
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 0);
  respond({{"interval", "2880"}, {"interval", "x5"}});
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 172800);
  // Minutes whose seconds do not fit an int are ignored like non-numbers.
  for (const char *tooLarge : {"35791395", "-35791395", "2147483647", "99999999999"}) {
    respond({{"interval", tooLarge}});
    EXPECT_EQ(xPL_getHeartbeatInterval(service), 172800) << tooLarge;
  }
  respond({{"interval", "35791394"}});
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 35791394 * 60);
  // A later pair equal to the current interval forgets an earlier change.
  respond({{"interval", "7"}, {"interval", "35791394"}});
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 35791394 * 60);
}

TEST_F(ConfigTest, NewInstanceIdsIncludingCaseChangesAndEmptyOnes) {
  xPL_setServiceEnabled(service, TRUE);
  sent.clear();
  respond({{"newconf", "hall"}});
  EXPECT_EQ(sent.size(), 0u);

  std::string log = debugLogOf([&] { respond({{"newconf", "HALL"}}); });
  EXPECT_STREQ(xPL_getServiceInstanceID(service), "HALL");
  EXPECT_NE(log.find("CONFIG:: Got new instanceID HALL for service -- will restart service\n\n"),
            std::string::npos);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Parsed(sent.at(0)).source(), "kelvora-zud.hall");
  EXPECT_EQ(Parsed(sent.at(1)).source(), "kelvora-zud.HALL");

  xPL_setServiceEnabled(service, FALSE);
  respond({{"newconf", ""}});
  EXPECT_STREQ(xPL_getServiceInstanceID(service), "");
}

TEST_F(ConfigTest, FiltersAndGroupsAreReplacedOnlyWhenMentioned) {
  std::string log = debugLogOf([&] {
    respond({{"filter", "xpl-trig.*.*.*.weather.*"},
             {"filter", "not a filter"},
             {"filter", ""},
             {"filter", "xpl-stat.a.b.c.d.e"},
             {"group", "XPL-GROUP.hall"}});
  });
  EXPECT_EQ(filters(),
            (std::vector<std::string>{"xpl-trig.*.*.*.weather.*", "xpl-stat.a.b.c.d.e"}));
  EXPECT_EQ(groups(), (std::vector<std::string>{"XPL-GROUP.hall"}));
  EXPECT_NE(log.find("CONFIG:: Added new filter xpl-trig.*.*.*.weather.* to service\n\n"),
            std::string::npos);
  EXPECT_EQ(log.find("Added new filter not a filter"), std::string::npos);
  EXPECT_NE(log.find("CONFIG:: Added new group XPL-GROUP.hall to service\n\n"), std::string::npos);

  respond({{"interval", "5"}});
  EXPECT_EQ(filters().size(), 2u);
  EXPECT_EQ(groups().size(), 1u);

  // Every filter and group of a long list is kept, in order.
  respond({{"filter", "*.a.*.*.*.*"}, {"filter", "*.b.*.*.*.*"}, {"filter", "*.c.*.*.*.*"},
           {"filter", "*.d.*.*.*.*"}, {"filter", "*.e.*.*.*.*"}, {"group", "g1"},
           {"group", "g2"}, {"group", "g3"}, {"group", "g4"}, {"group", "g5"}});
  EXPECT_EQ(filters(), (std::vector<std::string>{"*.a.*.*.*.*", "*.b.*.*.*.*", "*.c.*.*.*.*",
                                                 "*.d.*.*.*.*", "*.e.*.*.*.*"}));
  EXPECT_EQ(groups(), (std::vector<std::string>{"g1", "g2", "g3", "g4", "g5"}));

  respond({{"filter", ""}, {"group", ""}});
  EXPECT_TRUE(filters().empty());
  EXPECT_TRUE(groups().empty());
}

TEST_F(ConfigTest, FiltersFromAResponseFilterLaterBroadcasts) {
  declareGatewayItems();
  respond({{"filter", "xpl-cmnd.acme.mgr.*.config.*"}});
  // A broadcast list request from another source is now filtered out.
  std::string fromOther = commandText("*", "config.list", {{"command", "request"}});
  fromOther.replace(fromOther.find("acme-mgr"), 8, "acme-cli");
  deliver(fromOther);
  EXPECT_EQ(sent.size(), 0u);
  deliver(commandText("*", "config.list", {{"command", "request"}}));
  EXPECT_EQ(sent.size(), 1u);
}

TEST_F(ConfigTest, RestartSaysGoodbyeSavesAnnouncesThenNotifies) {
  testsupport::TempDir dir;
  std::string path = dir.file("zud.xpl");
  xPL_setServiceConfigFile(service, path.c_str());
  declareGatewayItems();
  xPL_addServiceConfigurable(service, "mode", xPL_CONFIG_OPTIONAL, 1);
  xPL_addServiceConfigValue(service, "mode", "loud");
  xPL_setServiceEnabled(service, TRUE);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Parsed(sent.at(0)).schema(), "config.app");
  sent.clear();

  std::vector<std::string> events;
  SentDatagrams::observer() = [&](const std::string &text) {
    Parsed message(text);
    events.push_back(message.schema() + " " + message.source() +
                     (testsupport::readFile(path).empty() ? " (no file)" : " (file)"));
  };
  struct Recorder {
    static void changed(xPL_ServicePtr theService, xPL_ObjectPtr userValue) {
      static_cast<std::vector<std::string> *>(userValue)->push_back(
          std::string("changed ") + xPL_getServiceInstanceID(theService));
    }
  };
  xPL_addServiceConfigChangedListener(service, Recorder::changed, &events);

  respond({{"newconf", "attic"}, {"device", "/dev/ttyS1"}});
  EXPECT_EQ(events, (std::vector<std::string>{"config.end kelvora-zud.hall (no file)",
                                              "hbeat.app kelvora-zud.attic (file)",
                                              "changed attic"}));
  EXPECT_NE(testsupport::readFile(path).find("newconf=attic\n"), std::string::npos);
  EXPECT_EQ(xPL_getServiceConfigValueCount(service, "mode"), 0);  // not mentioned: cleared

  // Without a change of identity or interval: saved and notified, no restart.
  events.clear();
  respond({{"device", "/dev/ttyS2"}});
  EXPECT_EQ(events, (std::vector<std::string>{"changed attic"}));
  EXPECT_NE(testsupport::readFile(path).find("device=/dev/ttyS2\n"), std::string::npos);
}

TEST_F(ConfigTest, DisabledServiceInstallsAndSavesWithoutNotifying) {
  testsupport::TempDir dir;
  std::string path = dir.file("zud.xpl");
  xPL_setServiceConfigFile(service, path.c_str());
  declareGatewayItems();
  changedCalls = 0;
  xPL_addServiceConfigChangedListener(service, countChange, NULL);
  respond({{"newconf", "attic"}, {"interval", "10"}, {"device", "/dev/ttyS1"}});
  EXPECT_EQ(changedCalls, 0);
  EXPECT_EQ(sent.size(), 0u);
  EXPECT_FALSE(xPL_isServiceEnabled(service));
  EXPECT_STREQ(xPL_getServiceInstanceID(service), "attic");
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 600);
  EXPECT_STREQ(xPL_getServiceConfigValue(service, "device"), "/dev/ttyS1");
  EXPECT_NE(testsupport::readFile(path).find("device=/dev/ttyS1\n"), std::string::npos);

  xPL_setServiceEnabled(service, TRUE);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Parsed(sent.at(0)).schema(), "hbeat.app");  // configured now
  respond({{"device", "/dev/ttyS2"}});
  EXPECT_EQ(changedCalls, 1);
}

TEST_F(ConfigTest, FailedSaveKeepsTheConfigurationAndStillNotifies) {
  xPL_setServiceConfigFile(service, "/nonexistent-directory/zud.xpl");
  declareGatewayItems();
  xPL_setServiceEnabled(service, TRUE);
  changedCalls = 0;
  xPL_addServiceConfigChangedListener(service, countChange, NULL);
  std::string log = debugLogOf([&] { respond({{"device", "/dev/ttyS1"}}); });
  EXPECT_NE(log.find("CONFIG:: File /nonexistent-directory/zud.xpl could not be opened/created -- "
                     "No such file or directory (2)\n"),
            std::string::npos)
      << log;
  EXPECT_STREQ(xPL_getServiceConfigValue(service, "device"), "/dev/ttyS1");
  EXPECT_EQ(changedCalls, 1);
}

TEST_F(ConfigTest, BinaryValuesAreNotTakenAsText) {
  declareGatewayItems();
  std::string text = commandText(target(), "config.response", {{"device", "/dev/ttyS1"}});
  text.insert(text.find("device="), "fips!0A0B\n");
  deliver(text);
  EXPECT_EQ(xPL_getServiceConfigValueCount(service, "fips"), 0);
  EXPECT_STREQ(xPL_getServiceConfigValue(service, "device"), "/dev/ttyS1");
}

}  // namespace
