// printable.cpp -- bytes as printable text.
#include "same/printable.h"

#include <cstdio>

std::string printable(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7e) {
      text += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "[0x%02x]", byte);
      text += escaped;
    }
  }
  return text;
}
