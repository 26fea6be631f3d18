// Helpers for the configuration tests: sent datagrams captured instead of
// broadcast, commands delivered from text, parsed messages read back as
// pairs, and the values of configuration items.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "xPL_priv.h"
#include "xpl_test_helpers.h"

namespace configtest {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Everything the library broadcast since the last clear().
class SentDatagrams {
 public:
  SentDatagrams() {
    texts().clear();
    xPL_setRawSender(&SentDatagrams::capture);
  }
  ~SentDatagrams() { xPL_setRawSender(NULL); }
  SentDatagrams(const SentDatagrams &) = delete;
  SentDatagrams &operator=(const SentDatagrams &) = delete;

  static std::vector<std::string> &texts() {
    static std::vector<std::string> sent;
    return sent;
  }
  // Called with each datagram before it is recorded (for ordering checks).
  static std::function<void(const std::string &)> &observer() {
    static std::function<void(const std::string &)> watch;
    return watch;
  }
  size_t size() const { return texts().size(); }
  const std::string &at(size_t i) const { return texts().at(i); }
  void clear() { texts().clear(); }

 private:
  static Bool capture(const char *data, int length) {
    std::string text(data, length);
    if (observer()) observer()(text);
    texts().push_back(text);
    return TRUE;
  }
};

// A parsed message that releases itself, with its parts as text.
class Parsed : public xpltest::MessageHolder {
 public:
  explicit Parsed(const std::string &text) : MessageHolder(parseMessage(text.c_str())) {}

  std::string schema() const {
    return std::string(xPL_getSchemaClass(get())) + "." + xPL_getSchemaType(get());
  }
  std::string source() const {
    return std::string(xPL_getSourceVendor(get())) + "-" + xPL_getSourceDeviceID(get()) + "." +
           xPL_getSourceInstanceID(get());
  }
  Pairs body() const {
    Pairs pairs;
    xPL_NameValueListPtr theBody = xPL_getMessageBody(get());
    for (int i = 0; i < xPL_getNamedValueCount(theBody); i++) {
      xPL_NameValuePairPtr pair = xPL_getNamedValuePairAt(theBody, i);
      pairs.emplace_back(pair->itemName, pair->itemValue != NULL ? pair->itemValue : "");
    }
    return pairs;
  }
};

// The text of a command from a manager (acme-mgr.one) to `target`.
inline std::string commandText(const std::string &target, const std::string &schema,
                               const Pairs &body) {
  std::string text = "xpl-cmnd\n{\nhop=1\nsource=acme-mgr.one\ntarget=" + target + "\n}\n" +
                     schema + "\n{\n";
  for (const auto &pair : body) text += pair.first + "=" + pair.second + "\n";
  return text + "}\n";
}

// Parses `text` and hands it to the services as the receive path would.
inline void deliver(const std::string &text) {
  xPL_MessagePtr message = parseMessage(text.c_str());
  ASSERT_NE(message, nullptr) << text;
  xPL_handleServiceMessage(message, NULL);
  xPL_releaseMessage(message);
}

// A name/value list that releases itself.
class PairList {
 public:
  explicit PairList(const Pairs &pairs) : list_(xPL_newNamedValueList()) {
    for (const auto &pair : pairs) xPL_addNamedValue(list_, pair.first.c_str(), pair.second.c_str());
  }
  ~PairList() { xPL_freeNamedValueList(list_); }
  PairList(const PairList &) = delete;
  PairList &operator=(const PairList &) = delete;
  xPL_NameValueListPtr get() const { return list_; }

 private:
  xPL_NameValueListPtr list_;
};

// The values of an item, in order ("(none)" for a slot without text).
inline std::vector<std::string> valuesOf(xPL_ServicePtr service, const char *item) {
  std::vector<std::string> values;
  for (int i = 0; i < xPL_getServiceConfigValueCount(service, item); i++) {
    String value = xPL_getServiceConfigValueAt(service, item, i);
    values.push_back(value != NULL ? value : "(none)");
  }
  return values;
}

}  // namespace configtest
