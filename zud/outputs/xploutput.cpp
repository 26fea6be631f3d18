// xploutput.cpp -- a received header line out on the network.
//
// An alert must never be lost: one whose text would not fit a datagram goes
// out as several triggers, each with every other value and as many
// locations, in header order, as fit; together they carry each location once.
#include "outputs/xploutput.h"

#include <cstdio>

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

// Sends the trigger with the locations [from, to) and releases it.
void sendpart(xPL_ServicePtr service, const alert &values, std::size_t from, std::size_t to) {
  xPL_MessagePtr message = alertmessage(service, values, from, to);
  xPL_sendServiceMessage(service, message);
  xPL_releaseMessage(message);
}

}  // namespace

void sendalert(xPL_ServicePtr service, const alert &values) {
  const std::size_t count = values.locations.size();
  xPL_MessagePtr whole = alertmessage(service, values, 0, count);
  const bool fitting = xPL_formatMessage(whole) != nullptr;
  if (fitting) xPL_sendServiceMessage(service, whole);
  xPL_releaseMessage(whole);
  if (fitting) return;
  for (std::size_t from = 0; from < count;) {
    std::size_t to = from + 1;  // at least one location, so that every part moves on
    while (to < count && fits(service, values, from, to + 1)) ++to;
    sendpart(service, values, from, to);
    from = to;
  }
}

void xploutput::alertheard(const heardalert &heard, bool) {
  if (service_ != nullptr) sendalert(service_, heard.values);
}

decoding heardline(std::string_view line, CountyNames names, std::time_t received) {
  // Echoed as printable text: the preamble bytes would make journald keep
  // the whole line as a binary blob.
  std::printf("%s\n", printable(line).c_str());
  decoding decoded = decodesame(line, names, received);
  if (const rejection *why = std::get_if<rejection>(&decoded)) {
    std::fprintf(stderr, "%s\n", printable(why->text).c_str());
  }
  return decoded;
}

void parsesame(const unsigned char *same, xPL_ServicePtr service, CountyNames names) {
  const decoding decoded =
      heardline(reinterpret_cast<const char *>(same), names, std::time(nullptr));
  if (const alert *values = std::get_if<alert>(&decoded)) sendalert(service, *values);
}
