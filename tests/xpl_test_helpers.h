// Helpers shared by the xPL library's unit tests: captured logs, debug
// switching, messages that release themselves and a search in logged text.
#ifndef XPL_TEST_HELPERS_H
#define XPL_TEST_HELPERS_H

#include <gtest/gtest.h>

#include <string>

#include "xPL_priv.h"

namespace xpltest {

// Turns debug logging on (or off) for one scope and restores it afterwards.
class DebugMode {
 public:
  explicit DebugMode(Bool on = TRUE) : saved_(xPL_isDebugging()) { xPL_setDebugging(on); }
  ~DebugMode() { xPL_setDebugging(saved_); }
  DebugMode(const DebugMode &) = delete;
  DebugMode &operator=(const DebugMode &) = delete;

 private:
  Bool saved_;
};

// Captures standard error for one scope; text() ends the capture.
class StderrCapture {
 public:
  StderrCapture() { testing::internal::CaptureStderr(); }
  ~StderrCapture() {
    if (!done_) testing::internal::GetCapturedStderr();
  }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;

  const std::string &text() {
    if (!done_) {
      text_ = testing::internal::GetCapturedStderr();
      done_ = true;
    }
    return text_;
  }

 private:
  bool done_ = false;
  std::string text_;
};

// Runs body with debugging on and returns everything it logged.
template <typename Body>
std::string debugLogOf(Body body) {
  DebugMode debug;
  StderrCapture capture;
  body();
  return capture.text();
}

// Owns a message and releases it at the end of the scope.
class MessageHolder {
 public:
  explicit MessageHolder(xPL_MessagePtr message = nullptr) : message_(message) {}
  ~MessageHolder() { reset(); }
  MessageHolder(const MessageHolder &) = delete;
  MessageHolder &operator=(const MessageHolder &) = delete;

  void reset(xPL_MessagePtr message = nullptr) {
    if (message_ != nullptr) xPL_releaseMessage(message_);
    message_ = message;
  }
  xPL_MessagePtr get() const { return message_; }
  xPL_MessagePtr operator->() const { return message_; }
  explicit operator bool() const { return message_ != nullptr; }

 private:
  xPL_MessagePtr message_;
};

// Whether needle occurs in haystack.
inline bool contains(const std::string &haystack, const std::string &needle) {
  return haystack.find(needle) != std::string::npos;
}

// A message to send whose source borrows fixed texts, the way a service's
// identity would be borrowed.
inline xPL_MessagePtr sendableMessage(xPL_MessageType type, const char *vendor,
                                      const char *device, const char *instance) {
  return xpl::internal::createSendableMessage(type, vendor, device, instance);
}

}  // namespace xpltest

#endif  // XPL_TEST_HELPERS_H
