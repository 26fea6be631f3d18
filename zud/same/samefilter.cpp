// samefilter.cpp -- which headers heard by a line source go on.
#include "same/samefilter.h"

namespace {

bool isdigits(std::string_view text, std::size_t length) {
  if (text.size() != length) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool isevent(std::string_view text) {
  if (text.size() != 3) return false;
  for (const char c : text) {
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}

// The header's fields: event code and location codes; false when they
// cannot be read.
bool readfields(std::string_view header, std::string_view &event,
                std::vector<std::string_view> &locations) {
  constexpr std::string_view start = "ZCZC-";
  if (header.substr(0, start.size()) != start) return false;
  header.remove_prefix(start.size());
  const std::size_t plus = header.find('+');
  if (plus == std::string_view::npos) return false;
  std::string_view fields = header.substr(0, plus);  // ORG-EEE-PSSCCC[-PSSCCC...]
  std::vector<std::string_view> parts;
  while (!fields.empty()) {
    const std::size_t dash = fields.find('-');
    parts.push_back(fields.substr(0, dash));
    if (dash == std::string_view::npos) break;
    fields.remove_prefix(dash + 1);
  }
  if (parts.size() < 3 || !isevent(parts[1])) return false;
  event = parts[1];
  for (std::size_t i = 2; i < parts.size(); ++i) {
    if (!isdigits(parts[i], 6)) return false;
    locations.push_back(parts[i]);
  }
  return true;
}

}  // namespace

bool locationmatches(std::string_view wanted, std::string_view heard) {
  if (!isdigits(wanted, 6) || !isdigits(heard, 6)) return false;
  if (wanted == "000000" || heard == "000000") return true;
  if (wanted.substr(1, 2) != heard.substr(1, 2)) return false;
  const std::string_view wantedcounty = wanted.substr(3);
  const std::string_view heardcounty = heard.substr(3);
  if (wantedcounty == "000" || heardcounty == "000") return true;
  if (wantedcounty != heardcounty) return false;
  return wanted[0] == '0' || heard[0] == '0' || wanted[0] == heard[0];
}

bool passes(const samefilter &filter, std::string_view header) {
  std::string_view event;
  std::vector<std::string_view> locations;
  if (!readfields(header, event, locations)) return true;

  bool anyevent = false;
  bool eventwanted = false;
  for (const std::string &code : filter.events) {
    if (!isevent(code)) continue;
    anyevent = true;
    eventwanted = eventwanted || code == event;
  }
  if (anyevent && !eventwanted) return false;

  bool anyplace = false;
  for (const std::string &code : filter.fips) {
    if (!isdigits(code, 6)) continue;
    anyplace = true;
    for (const std::string_view heard : locations) {
      if (locationmatches(code, heard)) return true;
    }
  }
  return !anyplace;
}

bool repeatwindow::repeat(const std::string &header, std::int64_t nowms) {
  // Headers heard longer ago than the span are forgotten, so the record
  // stays as small as the last quarter minute's traffic.
  for (auto it = lastheard_.begin(); it != lastheard_.end();) {
    it = nowms - it->second >= spanms_ ? lastheard_.erase(it) : std::next(it);
  }
  auto [entry, fresh] = lastheard_.try_emplace(header, nowms);
  entry->second = nowms;
  return !fresh;
}
