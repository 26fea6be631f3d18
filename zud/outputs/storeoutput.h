// storeoutput.h -- the alert store as an output: every alert, rejected line
// and receiver answer is kept, after the alert has gone out on the network.
//
// A store that cannot be written never costs an alert: each alert that
// could not be kept is one line on standard error naming the file and
// SQLite's reason, and the store is opened afresh at the next alert.
#ifndef ZUD_STOREOUTPUT_H
#define ZUD_STOREOUTPUT_H

#include <string>

#include "store/alertstore.h"
#include "outputs/output.h"

class storeoutput : public output, public deliveryledger {
 public:
  explicit storeoutput(std::string path);
  // Disarms the checkpoint timer.
  ~storeoutput() override;
  storeoutput(const storeoutput &) = delete;
  storeoutput &operator=(const storeoutput &) = delete;

  // Opens the store (at start-up); false, after one line on standard error,
  // when it cannot, in which case each write tries again.
  bool open();
  // The open store, for reading at start-up; null while it cannot be opened.
  alertstore *store();
  const std::string &path() const { return path_; }
  // Keeps a new alert now, owed to `channel` (an output that needs an
  // acknowledgement, such as MQTT) in the same write; its own alertheard
  // then finds it kept.  One line on standard error when it cannot.
  void owe(const heardalert &heard, std::string_view channel) override;
  // The channel has had the alert acknowledged; one line when it cannot be noted.
  void settle(const alert &values, std::string_view channel) override;

  void alertheard(const heardalert &heard, bool repeat) override;
  void rejected(std::time_t when, std::string_view line, std::string_view reason) override;
  void receiveranswer(std::time_t when, std::string_view path, bool answered) override;

 private:
  // Opens the store when it is not open; false when it cannot.
  bool ready();
  // One line on standard error: what could not be kept, and why; the store
  // is closed, to be opened afresh next time.
  void failed(const char *what);
  // After each write: the journal is checkpointed once writes have paused.
  void written();
  static void quiet(void *self);

  std::string path_;
  alertstore store_;
  std::string keptbyowe_;  // the key of the alert owe() kept, until its alertheard
};

#endif  // ZUD_STOREOUTPUT_H
