// xploutput.cpp -- a received header line out on the network.
//
// An alert must never be lost: one whose text would not fit a datagram goes
// out as several triggers, each with every other value and as many
// locations, in header order, as fit; together they carry each location once.
#include "outputs/xploutput.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "same/printable.h"

namespace {

// A weather.alert trigger of `service` with the values and, of the
// locations, those in [from, to).
xPL_MessagePtr alertmessage(xPL_ServicePtr service, const alert &values, std::size_t from,
                            std::size_t to) {
  xPL_MessagePtr message = xPL_createBroadcastMessage(service, xPL_MESSAGE_TRIGGER);
  xPL_setSchema(message, "weather", "alert");
  xPL_addMessageNamedValue(message, "originator", values.originator.c_str());
  xPL_addMessageNamedValue(message, "event", values.event.c_str());
  for (std::size_t i = from; i < to; ++i) {
    xPL_addMessageNamedValue(message, "location", values.locations[i].c_str());
  }
  xPL_addMessageNamedValue(message, "duration", values.duration.c_str());
  xPL_addMessageNamedValue(message, "date", values.date.c_str());
  xPL_addMessageNamedValue(message, "time", values.time.c_str());
  xPL_addMessageNamedValue(message, "source", values.source.c_str());
  return message;
}

// True when the trigger with the locations [from, to) fits one datagram.
bool fits(xPL_ServicePtr service, const alert &values, std::size_t from, std::size_t to) {
  xPL_MessagePtr message = alertmessage(service, values, from, to);
  const bool fitting = xPL_formatMessage(message) != nullptr;
  xPL_releaseMessage(message);
  return fitting;
}

// Sends the trigger with the locations [from, to) and releases it; false,
// with errno set, when it could not be sent.
bool sendpart(xPL_ServicePtr service, const alert &values, std::size_t from, std::size_t to) {
  xPL_MessagePtr message = alertmessage(service, values, from, to);
  const bool sent = xPL_sendServiceMessage(service, message) == TRUE;
  const int error = errno;
  xPL_releaseMessage(message);
  errno = error;
  return sent;
}

// Failures of the same kind are reported at most this often.
constexpr long long reportEveryMs = 60000;

}  // namespace

bool sendalert(xPL_ServicePtr service, const alert &values) {
  const std::size_t count = values.locations.size();
  // The whole alert is made once and sent as it is when it fits, as nearly
  // every alert does: nothing more before the trigger leaves.
  xPL_MessagePtr whole = alertmessage(service, values, 0, count);
  if (xPL_formatMessage(whole) != nullptr) {
    const bool sent = xPL_sendServiceMessage(service, whole) == TRUE;
    const int error = errno;
    xPL_releaseMessage(whole);
    errno = error;
    return sent;
  }
  xPL_releaseMessage(whole);
  bool sent = true;
  int error = 0;
  for (std::size_t from = 0; from < count;) {
    std::size_t to = from + 1;  // at least one location, so that every part moves on
    while (to < count && fits(service, values, from, to + 1)) ++to;
    if (!sendpart(service, values, from, to)) {
      sent = false;
      error = errno;
    }
    from = to;
  }
  errno = error;
  return sent;
}

std::string xploutput::alertheard(const heardalert &heard, bool) {
  if (service_ == nullptr) return {};
  if (sendalert(service_, heard.values)) return "sent on xPL";
  const int error = errno;
  const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  if (lastreport_ != 0 && now - lastreport_ < reportEveryMs) {
    ++unreported_;
    return "NOT sent on xPL";
  }
  std::string since;
  if (unreported_ > 0) {
    since = ", and " + std::to_string(unreported_) + " more since the last report";
  }
  std::fprintf(stderr, "zud: cannot send %s on xPL (%s)%s -- said at most once a minute\n",
               heard.values.event.c_str(), std::strerror(error), since.c_str());
  lastreport_ = now;
  unreported_ = 0;
  return "NOT sent on xPL";
}

decoding heardline(std::string_view line, CountyNames names, std::time_t received,
                   std::optional<std::string_view> heardas) {
  // Echoed as printable text: the preamble bytes would make journald keep
  // the whole line as a binary blob.
  if (heardas) std::printf("%s\n", printable(*heardas).c_str());
  decoding decoded = decodesame(line, names, received);
  if (const rejection *why = std::get_if<rejection>(&decoded)) {
    std::fprintf(stderr, "%s\n", printable(why->text).c_str());
  }
  return decoded;
}

void parsesame(const unsigned char *same, xPL_ServicePtr service, CountyNames names) {
  const decoding decoded =
      heardline(reinterpret_cast<const char *>(same), names, std::time(nullptr),
                reinterpret_cast<const char *>(same));
  if (const alert *values = std::get_if<alert>(&decoded)) sendalert(service, *values);
}
