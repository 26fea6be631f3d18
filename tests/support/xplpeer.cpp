#include "xplpeer.h"

#include <cstdlib>
#include <stdexcept>

namespace testsupport {

namespace {

const char *typeName(xPL_MessageType type) {
  switch (type) {
    case xPL_MESSAGE_COMMAND:
      return "xpl-cmnd";
    case xPL_MESSAGE_STATUS:
      return "xpl-stat";
    case xPL_MESSAGE_TRIGGER:
      return "xpl-trig";
    default:
      return "?";
  }
}

std::string text(const char *s) { return s != nullptr ? s : ""; }

std::string targetOf(xPL_MessagePtr m) {
  if (xPL_isBroadcastMessage(m)) return "*";
  if (xPL_isGroupMessage(m)) return text(xPL_getTargetGroup(m));
  return text(xPL_getTargetVendor(m)) + "-" + text(xPL_getTargetDeviceID(m)) + "." +
         text(xPL_getTargetInstanceID(m));
}

}  // namespace

std::string Heard::value(const std::string &name) const {
  for (const auto &pair : body) {
    if (pair.first == name) return pair.second;
  }
  return "";
}

std::vector<std::string> Heard::values(const std::string &name) const {
  std::vector<std::string> all;
  for (const auto &pair : body) {
    if (pair.first == name) all.push_back(pair.second);
  }
  return all;
}

XplPeer::XplPeer(const std::string &instance) {
  if (xPL_getFD() == -1) {
    xPL_setBroadcastInterface("lo");
    if (!xPL_initialize(xcViaHub)) throw std::runtime_error("xPL library did not start on lo");
  }
  service_ = xPL_createService("kelvora", "tester", instance.c_str());
  xPL_addMessageListener(listen, this);
  xPL_setServiceEnabled(service_, TRUE);
}

XplPeer::~XplPeer() {
  xPL_removeMessageListener(listen);
  xPL_releaseService(service_);
}

void XplPeer::listen(xPL_MessagePtr m, xPL_ObjectPtr self) {
  Heard h;
  h.type = typeName(xPL_getMessageType(m));
  h.source = text(xPL_getSourceVendor(m)) + "-" + text(xPL_getSourceDeviceID(m)) + "." +
             text(xPL_getSourceInstanceID(m));
  h.target = targetOf(m);
  h.schema = text(xPL_getSchemaClass(m)) + "." + text(xPL_getSchemaType(m));
  xPL_NameValueListPtr body = xPL_getMessageBody(m);
  for (int i = 0; i < xPL_getNamedValueCount(body); i++) {
    xPL_NameValuePairPtr pair = xPL_getNamedValuePairAt(body, i);
    h.body.emplace_back(text(pair->itemName), pair->isBinary ? "" : text(pair->itemValue));
  }
  static_cast<XplPeer *>(self)->heard_.push_back(std::move(h));
}

void XplPeer::pump(int ms) { xPL_processMessages(ms); }

bool XplPeer::pumpUntil(const std::function<bool()> &condition,
                        std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    xPL_processMessages(50);
  }
  return true;
}

int XplPeer::waitFor(const std::function<bool(const Heard &)> &match,
                     std::chrono::milliseconds timeout, size_t from) {
  int found = -1;
  pumpUntil(
      [&] {
        for (size_t i = from; i < heard_.size(); i++) {
          if (match(heard_[i])) {
            found = static_cast<int>(i);
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

bool XplPeer::requestHeartbeats(std::chrono::milliseconds timeout) {
  if (!pumpUntil([] { return xPL_isHubConfirmed() == TRUE; }, timeout)) return false;
  xPL_MessagePtr m = xPL_createBroadcastMessage(service_, xPL_MESSAGE_COMMAND);
  xPL_setSchema(m, "hbeat", "request");
  xPL_addMessageNamedValue(m, "command", "request");
  bool ok = xPL_sendServiceMessage(service_, m);
  xPL_releaseMessage(m);
  return ok;
}

bool XplPeer::sendCommand(const std::string &target, const std::string &schema,
                          const std::vector<std::pair<std::string, std::string>> &body) {
  std::string vendor = target.substr(0, target.find('-'));
  std::string rest = target.substr(target.find('-') + 1);
  std::string device = rest.substr(0, rest.find('.'));
  std::string instance = rest.substr(rest.find('.') + 1);
  xPL_MessagePtr m = xPL_createTargetedMessage(service_, xPL_MESSAGE_COMMAND, vendor.c_str(),
                                               device.c_str(), instance.c_str());
  std::string schemaClass = schema.substr(0, schema.find('.'));
  std::string schemaType = schema.substr(schema.find('.') + 1);
  xPL_setSchema(m, schemaClass.c_str(), schemaType.c_str());
  for (const auto &pair : body) xPL_addMessageNamedValue(m, pair.first.c_str(), pair.second.c_str());
  bool ok = xPL_sendServiceMessage(service_, m);
  xPL_releaseMessage(m);
  return ok;
}

}  // namespace testsupport
