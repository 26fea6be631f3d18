// What zud-alerts writes: tables for people, JSON for scripts, and the
// judgement of the receiver's health that decides the exit status.
#ifndef ZUD_ALERTS_REPORT_H
#define ZUD_ALERTS_REPORT_H

#include <ctime>
#include <string>
#include <vector>

#include "outputs/alertjson.h"
#include "store/alertstore.h"

namespace zudalerts {

// The alerts as a table, one row each (received, event, expiry, station,
// repeats) with the location names wrapped below the event, lines at most
// `width` characters where the names allow; `empty` when there are none.
std::string alertTable(const std::vector<storedalert> &alerts, int width, const char *empty);

// The rejected lines: when and why, with the line itself below.
std::string rejectionTable(const std::vector<storedrejection> &rejections, const char *empty);

// An alert as kept: its alert object, then how often and when it was last heard.
jsonvalue storedAlertJson(const storedalert &stored);
jsonvalue rejectionJson(const storedrejection &rejection);

// The receiver's health as judged at `now`, the way zud's watchdog judges it.
struct HealthReport {
  storedhealth kept;
  std::string store;
  std::time_t now = 0;
  int overdueDays = 0;     // 0: the weekly test is not judged
  bool testOverdue = false;
  std::time_t testReference = 0;  // the later of the last test and the store's making
  bool receiverSilent = false;    // the newest answer kept is a silence
  std::vector<std::string> problems;  // one line each; none when all is well
};

HealthReport judgeHealth(const storedhealth &kept, const std::string &store, std::time_t now,
                         int overdueDays);
std::string healthText(const HealthReport &report);
jsonvalue healthJson(const HealthReport &report);

}  // namespace zudalerts

#endif  // ZUD_ALERTS_REPORT_H
