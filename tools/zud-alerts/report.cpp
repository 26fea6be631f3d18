// zud-alerts' tables, JSON and health judgement.
#include "report.h"

#include <algorithm>
#include <cstdio>

#include "same/timetext.h"
#include "outputs/watchdog.h"

namespace zudalerts {

namespace {

constexpr long long kDay = 86400;

// An expiry beside its reception: the time alone on the same local day, the
// day and time otherwise, so that the column stays narrow.
std::string expiryText(std::time_t expires, std::time_t received) {
  const bool sameDay = localtext(expires, "%Y-%m-%d") == localtext(received, "%Y-%m-%d");
  return localtext(expires, sameDay ? "%H:%M" : "%m-%d %H:%M");
}

std::string padded(const std::string &text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string rightAligned(const std::string &text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// The names joined with ", ", broken between names into lines that start
// `indent` columns in and end by column `width` (a name too long for any
// line has one to itself).
std::string wrappedNames(const std::vector<std::string> &names, std::size_t indent,
                         std::size_t width) {
  const std::size_t room = width > indent + 20 ? width - indent : 20;
  std::string out, line;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string piece = names[i] + (i + 1 < names.size() ? "," : "");
    if (!line.empty() && line.size() + 1 + piece.size() > room) {
      out += std::string(indent, ' ') + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + piece;
  }
  if (!line.empty()) out += std::string(indent, ' ') + line + "\n";
  return out;
}

// Whole days from `then` to `now`, in words.
std::string ago(std::time_t then, std::time_t now) {
  const long long days = (now - then) / kDay;
  if (days < 1) return "less than a day ago";
  return std::to_string(days) + (days == 1 ? " day ago" : " days ago");
}

jsonvalue optionalTime(const std::optional<std::time_t> &instant) {
  return instant ? jsonvalue(isotime(*instant)) : jsonvalue(nullptr);
}

}  // namespace

std::string alertTable(const std::vector<storedalert> &alerts, int width, const char *empty) {
  if (alerts.empty()) return std::string(empty) + "\n";
  struct Row {
    std::string received, event, expires, station, repeats;
    std::vector<std::string> places;
    std::string message;  // "spoken message: PATH (93 s)", or empty
  };
  std::vector<Row> rows;
  Row header{"RECEIVED", "EVENT", "EXPIRES", "STATION", "REPEATS", {}, {}};
  std::size_t widths[4] = {header.received.size(), header.event.size(), header.expires.size(),
                           header.station.size()};
  for (const storedalert &stored : alerts) {
    const alert &a = stored.heard.values;
    Row row;
    row.received = localtext(stored.heard.received);
    row.event = a.event.empty() ? a.eventcode : a.event;
    row.expires = expiryText(a.expires, stored.heard.received);
    row.station = a.source;
    row.repeats = std::to_string(stored.repeats);
    if (!stored.message.empty()) {
      row.message = "spoken message: " + stored.message + " (" +
                    std::to_string(static_cast<long>(stored.messageseconds + 0.5)) + " s)";
    }
    for (std::size_t i = 0; i < a.locationcodes.size(); ++i) {
      const bool named = i < a.locations.size() && !a.locations[i].empty();
      row.places.push_back(named ? a.locations[i] : a.locationcodes[i]);
    }
    widths[0] = std::max(widths[0], row.received.size());
    widths[1] = std::max(widths[1], row.event.size());
    widths[2] = std::max(widths[2], row.expires.size());
    widths[3] = std::max(widths[3], row.station.size());
    rows.push_back(std::move(row));
  }
  // The repeats are right-aligned numbers under their heading, so one space
  // before the column is enough.
  auto line = [&](const Row &row) {
    return padded(row.received, widths[0]) + "  " + padded(row.event, widths[1]) + "  " +
           padded(row.expires, widths[2]) + "  " + padded(row.station, widths[3]) + " " +
           rightAligned(row.repeats, header.repeats.size()) + "\n";
  };
  std::string out = line(header);
  for (const Row &row : rows) {
    out += line(row);
    out += wrappedNames(row.places, widths[0] + 2, static_cast<std::size_t>(std::max(width, 40)));
    if (!row.message.empty()) out += std::string(widths[0] + 2, ' ') + row.message + "\n";
  }
  return out;
}

std::string rejectionTable(const std::vector<storedrejection> &rejections, const char *empty) {
  if (rejections.empty()) return std::string(empty) + "\n";
  std::vector<std::string> times;
  std::size_t width = std::string("RECEIVED").size();
  for (const storedrejection &rejection : rejections) {
    times.push_back(localtext(rejection.received));
    width = std::max(width, times.back().size());
  }
  std::string out = padded("RECEIVED", width) + "  REASON, then the line\n";
  for (std::size_t i = 0; i < rejections.size(); ++i) {
    out += padded(times[i], width) + "  " + rejections[i].reason + "\n";
    out += std::string(width + 2, ' ') + rejections[i].line + "\n";
  }
  return out;
}

jsonvalue storedAlertJson(const storedalert &stored) {
  jsonvalue object = alertjson(stored.heard);
  object["repeats"] = stored.repeats;
  object["last_heard"] = isotime(stored.lastheard);
  if (!stored.message.empty()) {
    object["message"] = {{"path", stored.message}, {"seconds", stored.messageseconds}};
  }
  return object;
}

jsonvalue rejectionJson(const storedrejection &rejection) {
  return {{"received", isotime(rejection.received)},
          {"reason", rejection.reason},
          {"line", rejection.line}};
}

HealthReport judgeHealth(const storedhealth &kept, const std::string &store, std::time_t now,
                         int overdueDays) {
  HealthReport report;
  report.kept = kept;
  report.store = store;
  report.now = now;
  report.overdueDays = overdueDays;
  // zud's watchdog's rule and words: tests are expected from the store's making on.
  report.testReference = testreference(kept.lasttest, kept.created);
  report.testOverdue = testoverdue(kept.lasttest, kept.created, now, overdueDays);
  report.receiverSilent = kept.silent;
  if (report.testOverdue) report.problems.push_back(overduetext(kept.lasttest, kept.created, now));
  if (report.receiverSilent && kept.lastsilence) {
    report.problems.push_back(
        silencetext(kept.silentpath, *kept.lastsilence, kept.lastanswer, kept.silentwhy));
  }
  return report;
}

std::string healthText(const HealthReport &report) {
  const storedhealth &kept = report.kept;
  auto field = [](const char *name, const std::string &value) {
    return padded(name, 13) + value + "\n";
  };
  std::string out = field("store", report.store + ", made " + localtext(kept.created));

  if (kept.lastalert) {
    const alert &a = kept.lastalert->heard.values;
    out += field("last alert", localtext(kept.lastalert->heard.received) + "  " +
                                   (a.event.empty() ? a.eventcode : a.event) + "  " + a.source);
  } else {
    out += field("last alert", "none heard");
  }

  std::string test = kept.lasttest ? localtext(*kept.lasttest) + ", " +
                                         ago(*kept.lasttest, report.now)
                                   : std::string("none heard");
  test += report.overdueDays > 0
              ? " (overdue after " + std::to_string(report.overdueDays) + " days)"
              : std::string(" (not checked)");
  out += field("weekly test", test);

  std::string receiver;
  if (report.receiverSilent && kept.lastsilence) {
    receiver = "did not answer on " + kept.silentpath + " at " + localtext(*kept.lastsilence);
  } else if (kept.lastanswer) {
    receiver = "answered at " + localtext(*kept.lastanswer);
  } else {
    receiver = "no answer kept yet";
  }
  out += field("receiver", receiver);

  if (report.problems.empty()) out += field("status", "ok");
  for (const std::string &problem : report.problems) out += field("problem", problem);
  return out;
}

jsonvalue healthJson(const HealthReport &report) {
  const storedhealth &kept = report.kept;
  jsonvalue problems = jsonvalue::array();
  for (const std::string &problem : report.problems) problems.push_back(problem);
  return {{"store", report.store},
          {"created", isotime(kept.created)},
          {"last_alert", kept.lastalert ? storedAlertJson(*kept.lastalert) : jsonvalue(nullptr)},
          {"last_test", optionalTime(kept.lasttest)},
          {"last_answer", optionalTime(kept.lastanswer)},
          {"last_silence", optionalTime(kept.lastsilence)},
          {"silent_port", kept.lastsilence ? jsonvalue(kept.silentpath) : jsonvalue(nullptr)},
          {"receiver_silent", report.receiverSilent},
          {"test_overdue_days", report.overdueDays},
          {"test_overdue", report.testOverdue},
          {"problems", std::move(problems)},
          {"ok", report.problems.empty()}};
}

}  // namespace zudalerts
