// What passes on zud-sim's line besides the configuration block: the lines
// it sends and its answers to the gateway's commands.
#ifndef ZUD_SIM_PROTOCOL_H
#define ZUD_SIM_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zudsim {

constexpr std::size_t kPreambleLen = 16;
constexpr char kPreambleByte = '\xAB';
constexpr std::string_view kSampleHeader =
    "ZCZC-WXR-RWT-016001-016003-016015-016027-016039-016045-016073-016075-016085-016087-"
    "041045+0030-2201802-KBOI/NWS-";
constexpr char kReady = '!';     // answer to "p": send the block now
constexpr char kAccepted = '*';  // answer to a complete upload
constexpr std::uint8_t kExtraByte = 0xEE;

}  // namespace zudsim

#endif  // ZUD_SIM_PROTOCOL_H
