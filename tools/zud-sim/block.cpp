// The receiver's configuration block as zud-sim holds it.
#include "block.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "text.h"

namespace zudsim {

namespace {

constexpr std::string_view kDefaultLastMsg =
    "ZCZC-WXR-TOR-016001-016027+0045-3051720-KBOI/NWS-";
constexpr std::array<std::string_view, 1> kDefaultFips = {"016001"};
constexpr std::array<std::string_view, 8> kDefaultEvents = {"TOR", "SVR", "FFW", "WSW",
                                                            "BZW", "EVI", "RWT", "RMT"};
constexpr std::uint8_t kDefaultX10House = 'A';
constexpr std::uint8_t kDefaultX10Unit = 0x01;
constexpr std::array<std::uint8_t, kFmLen> kDefaultFm = {0x12, 0x34, 0x56, 0x78};
constexpr std::uint8_t kDefaultCarried = 0xA5;
constexpr double kDefaultMainMHz = 162.400;
constexpr double kDefaultAltMHz = 162.475;

void putSlot(Block &block, size_t offset, size_t width, std::string_view text) {
  for (size_t i = 0; i < width; ++i)
    block[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
}

std::string slotText(const Block &block, size_t offset, size_t width) {
  return std::string(reinterpret_cast<const char *>(block.data()) + offset, width);
}

void dumpFields(const Block &block) {
  std::string last = slotText(block, kLastMsg, kLastMsgLen);
  last.erase(last.find_last_not_of('\0') + 1);
  std::printf("dump lastmsg \"%s\"\n", escapeText(last).c_str());
  std::printf("dump main freq %.3f MHz (channel %d)\n", channelMHz(block[kMainFreq]),
              block[kMainFreq]);
  std::printf("dump alt freq %.3f MHz (channel %d)\n", channelMHz(block[kAltFreq]),
              block[kAltFreq]);
  for (size_t slot = 0; slot < kFipsSlots; ++slot)
    std::printf("dump fips %zu \"%s\"\n", slot + 1,
                escapeText(slotText(block, kFips + slot * kFipsLen, kFipsLen)).c_str());
  std::printf("dump x10 house 0x%02x unit 0x%02x unused 0x%02x\n", block[kX10House],
              block[kX10Unit], block[kUnused]);
  std::printf("dump fm 0x%02x 0x%02x 0x%02x 0x%02x\n", block[kFm], block[kFm + 1],
              block[kFm + 2], block[kFm + 3]);
  std::printf("dump eom reset mode \"%s\"\n", escapeText(slotText(block, kEomReset, 1)).c_str());
  std::printf("dump alt freq mode \"%s\"\n", escapeText(slotText(block, kAltFreqMode, 1)).c_str());
}

void dumpEvents(const Block &block) {
  constexpr size_t kPerLine = 20;
  for (size_t first = 0; first < kEventSlots; first += kPerLine) {
    std::string line;
    for (size_t slot = first; slot < first + kPerLine; ++slot)
      line += " \"" + escapeText(slotText(block, kEvents + slot * kEventLen, kEventLen)) + "\"";
    std::printf("dump events %zu-%zu%s\n", first + 1, first + kPerLine, line.c_str());
  }
  std::printf("dump byte 511 0x%02x\n", block[kCarried]);
}

void dumpHex(const Block &block) {
  constexpr size_t kPerLine = 16;
  for (size_t row = 0; row < kBlockSize; row += kPerLine) {
    std::string hex;
    std::string text;
    for (size_t i = row; i < row + kPerLine; ++i) {
      char byte[4];
      std::snprintf(byte, sizeof byte, " %02x", block[i]);
      hex += byte;
      text += (block[i] >= 0x20 && block[i] <= 0x7E) ? static_cast<char>(block[i]) : '.';
    }
    std::printf("dump hex %04zx%s  |%s|\n", row, hex.c_str(), text.c_str());
  }
}

}  // namespace

int channelIndex(double mhz) { return static_cast<int>((mhz - kBaseMHz) / kStepMHz + 1.5); }

double channelMHz(int index) { return (index - 1) * kStepMHz + kBaseMHz; }

void putFipsSlots(Block &block, const std::vector<std::string_view> &codes) {
  for (size_t slot = 0; slot < kFipsSlots; ++slot)
    putSlot(block, kFips + slot * kFipsLen, kFipsLen, slot < codes.size() ? codes[slot] : "");
}

void putEventSlots(Block &block, const std::vector<std::string_view> &codes) {
  for (size_t slot = 0; slot < kEventSlots; ++slot)
    putSlot(block, kEvents + slot * kEventLen, kEventLen, slot < codes.size() ? codes[slot] : "");
}

void putLastMsg(Block &block, std::string_view text) {
  for (size_t i = 0; i < kLastMsgLen; ++i)
    block[kLastMsg + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : '\0');
}

Block defaultBlock() {
  Block block{};
  putLastMsg(block, kDefaultLastMsg);
  block[kMainFreq] = static_cast<std::uint8_t>(channelIndex(kDefaultMainMHz));
  block[kAltFreq] = static_cast<std::uint8_t>(channelIndex(kDefaultAltMHz));
  putFipsSlots(block, {kDefaultFips.begin(), kDefaultFips.end()});
  block[kX10House] = kDefaultX10House;
  block[kX10Unit] = kDefaultX10Unit;
  block[kUnused] = 0x00;
  std::copy(kDefaultFm.begin(), kDefaultFm.end(), block.begin() + kFm);
  block[kEomReset] = '0';
  block[kAltFreqMode] = '0';
  putEventSlots(block, {kDefaultEvents.begin(), kDefaultEvents.end()});
  block[kCarried] = kDefaultCarried;
  return block;
}

void dumpBlock(const Block &block) {
  dumpFields(block);
  dumpEvents(block);
  dumpHex(block);
}

}  // namespace zudsim
