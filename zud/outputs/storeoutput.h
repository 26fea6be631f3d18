// storeoutput.h -- the alert store as an output: every alert, rejected line
// and receiver answer is kept, after the alert has gone out on the network.
//
// A store that cannot be written never costs an alert on the network, and
// heals by itself:
//   - each write first checks that the path still names the file open
//     (SQLite would go on writing to a deleted or renamed-over file); when
//     it does not, the store at the path is opened (made when missing), and
//     what the old file held that a restart needs (the alerts in force, the
//     expiries not yet announced, the deliveries owed) is carried over;
//   - an alert, a delivery settled or an expiry announced that cannot be
//     written (a lock held past the busy timeout, a full disk, a file that
//     is not a database) waits in memory, in order, with one line on
//     standard error per alert naming the file and why; the waiting writes
//     go in before anything new at the next write, or at a retry every
//     5 s, and a line says when the store is written again.
// At most `waitingmost` wait: beyond, the oldest is dropped with one line.
#ifndef ZUD_STOREOUTPUT_H
#define ZUD_STOREOUTPUT_H

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "store/alertstore.h"
#include "outputs/output.h"

class storeoutput : public output, public deliveryledger {
 public:
  // Writes kept in memory while the store cannot be written: days of alerts
  // for a receiver, and some 3 KiB each at most (31 locations).
  static constexpr std::size_t waitingmost = 256;
  // Between tries while writes wait and nothing new comes.
  static constexpr int retryms = 5000;

  explicit storeoutput(std::string path);
  // Disarms the checkpoint and retry timers.
  ~storeoutput() override;
  storeoutput(const storeoutput &) = delete;
  storeoutput &operator=(const storeoutput &) = delete;

  // Opens the store (at start-up); false, after one line on standard error,
  // when it cannot, in which case each write tries again.
  bool open();
  // The open store, for reading at start-up; null while it cannot be opened.
  alertstore *store();
  const std::string &path() const { return path_; }
  // Writes waiting in memory for the store.
  std::size_t waiting() const { return waiting_.size(); }

  // Keeps a new alert now, owed to `channel` (an output that needs an
  // acknowledgement, such as MQTT) in the same write; its own alertheard
  // then finds it kept.  When it cannot, the alert waits in memory with its
  // channel, after one line on standard error.
  void owe(const heardalert &heard, std::string_view channel) override;
  // The channel has had the alert acknowledged; waits in memory, after one
  // line, when it cannot be noted.
  void settle(const alert &values, std::string_view channel) override;

  std::string alertheard(const heardalert &heard, bool repeat) override;
  void rejected(std::time_t when, std::string_view line, std::string_view reason) override;
  // Notes that the alert's expiry has been announced, live or late, so that
  // a restart does not announce it again.
  void expired(const heardalert &heard, bool late) override;
  void receiveranswer(std::time_t when, std::string_view path, bool answered,
                      std::string_view why) override;
  void messagekept(const heardalert &heard, const std::string &path, double seconds) override;
  // A last try for what waits in memory; one line for what is lost.
  void stopping() override;

 private:
  // A write that waits for the store.
  struct pending {
    enum class kind { alert, settled, announced } what;
    heardalert heard;
    std::string channel;  // owed to (alert) or settled for (settled); empty: none
  };

  // The store open on the file the path names now, with what waits in
  // memory written; false when it cannot be written yet.
  bool ready();
  // The file open left the path: one line, what a restart needs taken
  // along for the store at the path, the old file closed.
  void moveon(const std::string &why);
  // Writes what waits, in order; false at the first failure.
  bool catchup();
  bool write(const pending &entry);
  // Writes `entry` now (true), or puts it in memory after its line (the
  // oldest dropped, with its own line, beyond waitingmost).
  bool keep(pending entry);
  void wait(pending entry);
  // A waiting write as the lines name it ("the alert").
  static const char *described(pending::kind what);
  // One line on standard error: what could not be kept, and why.  The store
  // stays open: a lock or a full disk passes, and a file that left its path
  // is noticed at the next write all the same.
  void failed(const char *what);
  // After each write: the journal is checkpointed once writes have paused.
  void written();
  static void quiet(void *self);
  static void retry(void *self);

  std::string path_;
  alertstore store_;
  std::string keptbyowe_;  // the key of the alert owe() kept, until its alertheard
  bool owekept_ = false;   // whether owe() wrote it, or it waits
  std::deque<pending> waiting_;
  std::optional<std::vector<storedalert>> carried_;  // from a file that left the path
};

#endif  // ZUD_STOREOUTPUT_H
