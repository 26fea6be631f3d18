#include "xplpeer.h"

#include <cstdlib>
#include <stdexcept>

#include "toolkit.h"

namespace testsupport {

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
  h.type = toolkit::typeName(xPL_getMessageType(m));
  h.source = toolkit::sourceText(m);
  h.target = toolkit::targetText(m);
  h.schema = toolkit::schemaText(m);
  xPL_NameValueListPtr body = xPL_getMessageBody(m);
  for (int i = 0; i < xPL_getNamedValueCount(body); i++) {
    xPL_NameValuePairPtr pair = xPL_getNamedValuePairAt(body, i);
    h.body.emplace_back(toolkit::textOr(pair->itemName),
                        pair->isBinary ? "" : toolkit::textOr(pair->itemValue));
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
  toolkit::Identity device;
  if (!toolkit::splitIdentity(target, &device)) return false;
  xPL_MessagePtr m = xPL_createTargetedMessage(service_, xPL_MESSAGE_COMMAND, device.vendor.c_str(),
                                               device.device.c_str(), device.instance.c_str());
  toolkit::Schema parts = toolkit::splitSchema(schema);
  xPL_setSchema(m, parts.schemaClass.c_str(), parts.schemaType.c_str());
  for (const auto &pair : body) xPL_addMessageNamedValue(m, pair.first.c_str(), pair.second.c_str());
  bool ok = xPL_sendServiceMessage(service_, m);
  xPL_releaseMessage(m);
  return ok;
}

}  // namespace testsupport
