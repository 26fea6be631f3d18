// heard.cpp -- the identity of an alert.
#include "same/heard.h"

std::string alertkey(const alert &values) {
  std::string key = values.originatorcode + "-" + values.eventcode;
  for (const std::string &code : values.locationcodes) key += "-" + code;
  key += "+" + std::to_string(static_cast<long long>(values.issued)) + "-" + values.source;
  return key;
}
