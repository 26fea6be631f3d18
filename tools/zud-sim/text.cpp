// Text helpers of zud-sim.
#include "text.h"

#include "commandline.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zudsim {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string escapeText(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c <= 0x7E) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string hexByte(std::uint8_t byte) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02x", byte);
  return hex;
}

std::string showByte(std::uint8_t byte) {
  if (byte > 0x20 && byte <= 0x7E) return std::string(1, static_cast<char>(byte));
  return hexByte(byte);
}

std::optional<std::string> unescapeText(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return std::nullopt;
    switch (text[i]) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        if (i + 2 >= text.size()) return std::nullopt;
        int high = hexDigit(text[i + 1]);
        int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: return std::nullopt;
    }
  }
  return out;
}

std::vector<std::string_view> splitList(std::string_view text) {
  std::vector<std::string_view> items;
  for (;;) {
    size_t comma = text.find(',');
    items.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return items;
    text.remove_prefix(comma + 1);
  }
}

std::optional<unsigned long> parseNumber(std::string_view text, unsigned long max) {
  return commandline::wholenumber(text, 0UL, max, 0);
}

std::optional<double> parseDouble(std::string_view text) {
  std::string copy(text);
  if (copy.empty()) return std::nullopt;
  char *end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (*end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace zudsim
