// The receiver's 512-byte configuration block as zud-sim holds it: its
// layout, its contents as the command line sets them, and a readable dump.
#ifndef ZUD_SIM_BLOCK_H
#define ZUD_SIM_BLOCK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zudsim {

using std::size_t;

// Offsets and widths of the fields, as the receiver transfers the block.
constexpr size_t kBlockSize = 512;
constexpr size_t kLastMsg = 0;
constexpr size_t kLastMsgLen = 236;
constexpr size_t kMainFreq = 236;
constexpr size_t kAltFreq = 237;
constexpr size_t kFips = 238;
constexpr size_t kFipsSlots = 4;
constexpr size_t kFipsLen = 6;
constexpr size_t kX10House = 262;
constexpr size_t kX10Unit = 263;
constexpr size_t kUnused = 264;
constexpr size_t kFm = 265;  // four bytes: primary 0 and 1, alternate 0 and 1
constexpr size_t kFmLen = 4;
constexpr size_t kEomReset = 269;
constexpr size_t kAltFreqMode = 270;
constexpr size_t kEvents = 271;
constexpr size_t kEventSlots = 80;
constexpr size_t kEventLen = 3;
constexpr size_t kCarried = 511;  // outside the record, carried unchanged

static_assert(kLastMsg + kLastMsgLen == kMainFreq, "lastmsg runs up to mainfreq");
static_assert(kFips + kFipsSlots * kFipsLen == kX10House, "fips slots run up to the x10 codes");
static_assert(kFm + kFmLen == kEomReset, "fm bytes run up to the mode bytes");
static_assert(kEvents + kEventSlots * kEventLen == kCarried, "event slots end the record");
static_assert(kCarried + 1 == kBlockSize, "the carried byte ends the block");

using Block = std::array<std::uint8_t, kBlockSize>;

// Channel 1 is 162.400 MHz; each further channel adds 25 kHz.
constexpr double kBaseMHz = 162.4;
constexpr double kStepMHz = 0.025;

// The channel index of a frequency: the nearest channel, halves going up.
int channelIndex(double mhz);

// The frequency in MHz of a channel index.
double channelMHz(int index);

// Fills the four location slots with `codes`; slots not given are blank (spaces).
void putFipsSlots(Block &block, const std::vector<std::string_view> &codes);

// Fills the 80 event slots with `codes`; slots not given are blank (spaces).
void putEventSlots(Block &block, const std::vector<std::string_view> &codes);

// Sets the last message, padded with NUL bytes.
void putLastMsg(Block &block, std::string_view text);

// A block as a receiver might hold it after some use.
Block defaultBlock();

// Prints a block in readable form followed by a hex dump.
void dumpBlock(const Block &block);

}  // namespace zudsim

#endif  // ZUD_SIM_BLOCK_H
