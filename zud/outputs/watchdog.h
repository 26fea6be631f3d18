// watchdog.h -- is the receiver still working?  A dead antenna looks just
// like a quiet week, so the Required Weekly Test (RWT) is the receiver's
// sign of life: when the receiver is set to pass it and none has come for
// more than the allowed days, the watchdog says so on standard error, once a
// day until one arrives.  A receiver that does not answer its query when
// its port is opened is reported the same way.
#ifndef ZUD_WATCHDOG_H
#define ZUD_WATCHDOG_H

#include <ctime>
#include <optional>
#include <string>

#include "outputs/output.h"

// The instant the weekly test is counted from: the last one heard, or
// `since` (when tests began to be expected) if that is later or none came.
std::time_t testreference(std::optional<std::time_t> lasttest, std::time_t since);

// Whether the weekly test is overdue at `now`: more than `days` days after
// its reference (0 days: never).
bool testoverdue(std::optional<std::time_t> lasttest, std::time_t since, std::time_t now,
                 int days);

// "no Required Weekly Test heard for N days (last one TIME)", or "(none
// since TIME)", in local time.
std::string overduetext(std::optional<std::time_t> lasttest, std::time_t since, std::time_t now);

// "the receiver on PATH did not answer its query at TIME (last answer TIME)",
// or "(never answered)"; or, for a source of sound, "WHY since TIME".
std::string silencetext(const std::string &path, std::time_t when,
                        std::optional<std::time_t> lastanswer, const std::string &why = {});

class watchdog : public output {
 public:
  // Called with each new conclusion, for the outputs that show it.
  using changehandler = void (*)(const receiverhealth &health, void *owner);

  // `overduedays` 0 switches the test check off.
  watchdog(int overduedays, changehandler changed, void *owner);
  // Disarms the timer.
  ~watchdog() override;
  watchdog(const watchdog &) = delete;
  watchdog &operator=(const watchdog &) = delete;

  // Starts watching at `now`: the last test heard, if any, and since when
  // tests have been expected (the store's creation, or now without a store).
  void start(std::optional<std::time_t> lasttest, std::time_t since, std::time_t now);
  // Whether the receiver is set to pass the weekly test ("RWT" among its events).
  void settestexpected(bool expected, std::time_t now);
  // The current conclusion.
  const receiverhealth &health() const { return health_; }

  std::string alertheard(const heardalert &heard, bool repeat) override;
  void receiveranswer(std::time_t when, std::string_view path, bool answered,
                      std::string_view why) override;

  // Looks again at `now`: reports what is wrong (at most once a day) and
  // arms the timer for the next look.
  void check(std::time_t now);

 private:
  static void timerfired(void *self);

  int overduedays_;
  changehandler changed_;
  void *owner_;
  bool started_ = false;
  bool testexpected_ = false;
  std::optional<std::time_t> lasttest_;
  std::time_t since_ = 0;
  std::optional<std::time_t> lastanswer_;
  std::string silentpath_;        // a port that did not answer; empty when all is well
  std::time_t silentsince_ = 0;
  std::string silentwhy_;         // what is wrong with a source of sound; empty: a query
  std::optional<std::time_t> lastreport_;
  bool wasoverdue_ = false;
  bool wassilent_ = false;
  receiverhealth health_;
};

#endif  // ZUD_WATCHDOG_H
