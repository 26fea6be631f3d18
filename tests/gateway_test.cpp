// The gateway's configuration items and their mapping onto the receiver's
// configuration block, and the sample alert.  No port and no network: the
// block is filled by the test, sends are diverted.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/gateway.h"
#include "xPL_priv.h"

namespace {

std::vector<std::string> sent;
Bool captureSend(const char *data, int length) {
  sent.emplace_back(data, length);
  return TRUE;
}

// The block as a receiver might report it.
void fillBlock(unsigned char *config) {
  zudconfig block;
  memset(&block, 0, sizeof block);
  memcpy(block.lastmsg, "ZCZC-WXR-RWT-016001+0030-2201802-KBOI/NWS-", 42);
  block.mainfreq = 1;
  block.altfreq = 7;
  for (auto &slot : block.fips) memcpy(slot, "000000", 6);
  block.eomresetmode = '0';
  block.altfreqmode = '0';
  for (auto &slot : block.events) memcpy(slot, "   ", 3);
  memset(config, 0, blocksize);
  memcpy(config, &block, sizeof block);
}

class MappingTest : public ::testing::Test {
 protected:
  xPL_ServicePtr service = nullptr;
  gateway zud;
  receiver &link = zud.link;
  unsigned char *const config = link.config;
  std::string out, err;

  void SetUp() override {
    service = xPL_createConfigurableService("kelvora", "zud", nullptr);
    declareconfig(service);
    zud.zudService = service;
    fillBlock(config);
    link.configread = 1;
  }
  void TearDown() override { xPL_releaseService(service); }
  unsigned char at(size_t offset) const { return config[offset]; }
  std::string slot(size_t offset, size_t length) const {
    return std::string(reinterpret_cast<const char *>(&config[offset]), length);
  }
  void set(const char *item, const char *value) { xPL_setServiceConfigValue(service, item, value); }
  void map() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    parseconfig(service, link);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
  }
  bool imagePrinted() const { return out.find("main freq = ") != std::string::npos; }
};

TEST_F(MappingTest, SevenItemsWithTheirDefaults) {
  struct Expect {
    const char *name;
    int max;
    const char *first;
  } items[] = {{"device", 1, nullptr}, {"freq", 1, "162.400"},     {"altfreq", 1, "0.0"},
               {"fips", 4, "??????"},  {"eomreset", 1, "false"},   {"usealtfreq", 1, "false"},
               {"event", 80, "???"}};
  ASSERT_EQ(xPL_getServiceConfigurableCount(service), 7);
  for (int i = 0; i < 7; i++) {
    const xPL_ServiceConfigurable &item = *xPL_getServiceConfigurableAt(service, i);
    EXPECT_STREQ(item.itemName, items[i].name);
    EXPECT_EQ(item.itemType, xPL_CONFIG_RECONF);
    EXPECT_EQ(item.maxValueCount, items[i].max);
    ASSERT_EQ(xPL_getServiceConfigValueCount(service, items[i].name), 1) << items[i].name;
    const char *first = xPL_getServiceConfigValueAt(service, items[i].name, 0);
    if (items[i].first == nullptr) {
      EXPECT_EQ(first, nullptr);
    } else {
      EXPECT_STREQ(first, items[i].first);
    }
  }
}

TEST_F(MappingTest, BeforeABlockIsReadOnlyTheTracesAppear) {
  link.configread = 0;
  unsigned char before[blocksize];
  memcpy(before, config, blocksize);
  map();
  // The device item holds no text: skipped whole, nothing opened.
  EXPECT_EQ(err, "freq=162.400\naltfreq=0.0\neomreset=false\nusealtfreq=false\n");
  EXPECT_EQ(out, "");
  EXPECT_EQ(memcmp(before, config, blocksize), 0);
}

TEST_F(MappingTest, DefaultsReachOnlyTheFirstSlotsOfABlock) {
  map();
  EXPECT_EQ(slot(offsetof(zudconfig, fips), 12), "??????000000");
  EXPECT_EQ(slot(offsetof(zudconfig, events), 6), "???   ");
  // "0.0" lies outside the window: the alternate channel stays.
  EXPECT_EQ(at(offsetof(zudconfig, altfreq)), 7);
  EXPECT_NE(err.find("fips 0=??????\n"), std::string::npos);
  EXPECT_NE(err.find("event 0=???\n"), std::string::npos);
  EXPECT_TRUE(imagePrinted());
}

TEST_F(MappingTest, FrequenciesInsideTheWindowMapToTheirChannel) {
  set("freq", "162.475");
  map();
  EXPECT_EQ(at(offsetof(zudconfig, mainfreq)), 4);
  EXPECT_NE(out.find("main freq = 162.475 alt freq = 162.550\n"), std::string::npos);

  // The single-precision value of 162.56 lies just inside the window.
  set("altfreq", "162.56");
  map();
  EXPECT_EQ(at(offsetof(zudconfig, altfreq)), 7);

  for (const char *ignored : {"162.6", "162.39", "abc", ""}) {
    set("freq", ignored);
    map();
    EXPECT_EQ(at(offsetof(zudconfig, mainfreq)), 4) << ignored;
    EXPECT_FALSE(imagePrinted()) << ignored;
    EXPECT_NE(err.find(std::string("freq=") + ignored + "\n"), std::string::npos);
  }
}

TEST_F(MappingTest, ModesAreOneOnlyForTrueInAnyLetterCase) {
  set("eomreset", "TRUE");
  set("usealtfreq", "True ");
  map();
  EXPECT_EQ(at(offsetof(zudconfig, eomresetmode)), '1');
  EXPECT_EQ(at(offsetof(zudconfig, altfreqmode)), '0');
  set("eomreset", "");
  map();
  EXPECT_EQ(at(offsetof(zudconfig, eomresetmode)), '0');
}

TEST_F(MappingTest, LocationAndEventCodesNeedTheirExactLength) {
  xPL_setServiceConfigValueAt(service, "fips", 0, "16001");
  xPL_setServiceConfigValueAt(service, "fips", 1, "016001");
  xPL_setServiceConfigValueAt(service, "fips", 2, nullptr);
  xPL_setServiceConfigValueAt(service, "event", 0, "TOR");
  xPL_setServiceConfigValueAt(service, "event", 1, "TORX");
  map();
  EXPECT_EQ(slot(offsetof(zudconfig, fips), 24), "000000016001000000000000");
  EXPECT_EQ(slot(offsetof(zudconfig, events), 6), "TOR   ");
  EXPECT_NE(err.find("fips 0=16001\nfips 1=016001\nfips 2=\n"), std::string::npos);
  EXPECT_NE(err.find("event 1=TORX\n"), std::string::npos);
}

TEST_F(MappingTest, UnchangedConfigurationEditsNothingAndPrintsNoImage) {
  set("freq", "162.525");
  map();
  ASSERT_TRUE(imagePrinted());
  unsigned char mapped[blocksize];
  memcpy(mapped, config, blocksize);
  map();
  EXPECT_FALSE(imagePrinted());
  EXPECT_EQ(memcmp(mapped, config, blocksize), 0);
}

TEST_F(MappingTest, MoreValuesThanSlotsNeverWritePastTheField) {
  // A definition edited by hand in the file may allow more values than the
  // block has slots.
  xPL_removeServiceConfigurable(service, "fips");
  xPL_addServiceConfigurable(service, "fips", xPL_CONFIG_RECONF, 6);
  for (int i = 0; i < 6; i++) xPL_setServiceConfigValueAt(service, "fips", i, "041045");
  map();
  EXPECT_EQ(slot(offsetof(zudconfig, fips), 24), "041045041045041045041045");
  EXPECT_EQ(at(offsetof(zudconfig, x10hc)), 0);
  EXPECT_EQ(err.find("fips 4="), std::string::npos);
}

TEST_F(MappingTest, ConfigurationChangedListenerRemaps) {
  set("freq", "162.500");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  configChangedHandler(service, &zud);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(at(offsetof(zudconfig, mainfreq)), 5);
}

TEST(UploadImage, ZeroBytesBecomeOnesAndTheRestIsCopied) {
  unsigned char block[blocksize];
  for (int i = 0; i < blocksize; i++) block[i] = static_cast<unsigned char>(i);
  block[264] = 0x00;
  unsigned char image[blocksize];
  uploadimage(block, image);
  EXPECT_EQ(image[264], 0x01);
  EXPECT_EQ(image[0], 0x01);
  EXPECT_EQ(image[256], 0x01);
  for (int i = 1; i < 256; i++) EXPECT_EQ(image[i], block[i]);
  EXPECT_EQ(image[511], block[511]);
}

TEST(SampleAlert, DecodesIntoElevenLocations) {
  setenv("TZ", "UTC", 1);
  sent.clear();
  xPL_setRawSender(captureSend);
  gateway zud;
  zud.zudService = xPL_createService("kelvora", "zud", "sample");
  zudoptions nothingkept;
  nothingkept.store.clear();
  startoutputs(zud, nothingkept);
  testing::internal::CaptureStdout();
  test2(zud);
  std::string out = testing::internal::GetCapturedStdout();
  xPL_releaseService(zud.zudService);
  xPL_setRawSender(nullptr);
  ASSERT_EQ(sent.size(), 1u);
  size_t count = 0;
  for (size_t at = sent[0].find("\nlocation="); at != std::string::npos;
       at = sent[0].find("\nlocation=", at + 1)) {
    count++;
  }
  EXPECT_EQ(count, 11u);
  EXPECT_NE(sent[0].find("source=kelvora-zud.sample\ntarget=*\n}\nweather.alert\n"),
            std::string::npos);
  EXPECT_EQ(out.substr(0, 12), "[0xab][0xab]");
}

}  // namespace
