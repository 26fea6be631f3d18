// alertstore.h -- the memory of alerts: an SQLite database of every alert
// heard, the lines that were rejected, and the receiver's answers.
//
// zud writes it (after each alert has gone out on the network); zud-alerts
// reads it, read-only, while zud runs.  WAL journal, so that readers never
// wait for the writer nor the writer for them; synchronous=NORMAL, so that an
// alert costs no disk flush (a power cut may lose the last few alerts,
// never the file); a busy timeout of 50 ms, so that a reader holding a lock
// can never hold up zud for longer.  The journal is moved into the file by
// checkpoint(), which zud calls when quiet; SQLite does it by itself only
// when the journal grows large.  The schema version lives in
// PRAGMA user_version; a store without one gets the schema on first opening.
//
// SQLite goes on writing to a file that was deleted or renamed over, so the
// store remembers which file it opened (device and inode) for its writer to
// compare with what the path names now (leftpath).
#ifndef ZUD_ALERTSTORE_H
#define ZUD_ALERTSTORE_H

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "same/heard.h"
#include "store/sqlite.h"

// An alert as the store keeps it.
struct storedalert {
  heardalert heard;
  std::time_t lastheard = 0;  // the last repeat, or when first heard
  long long repeats = 0;      // times heard again after the first
  bool expiryannounced = false;       // its expiry was announced (or it was never in force)
  std::string message;                // the file of its spoken message; empty: none kept
  double messageseconds = 0;          // that message's length
  std::vector<std::string> owedto;    // channels it is owed to; read by unfinished() only
};

// A line that could not be read as a header.
struct storedrejection {
  std::time_t received = 0;
  std::string line;    // printable text
  std::string reason;
};

// What the store knows of the receiver's health.
struct storedhealth {
  std::time_t created = 0;                 // when the store was made
  std::optional<storedalert> lastalert;    // the newest alert heard
  std::optional<std::time_t> lasttest;     // the newest Required Weekly Test heard, samples aside
  std::optional<std::time_t> lastanswer;   // the receiver's newest answer to its query
  std::optional<std::time_t> lastsilence;  // the newest time it did not answer
  std::string silentpath;                  // the port that did not answer then
  std::string silentwhy;                   // what was wrong, when not an unanswered query
  bool silent = false;                     // the newest answer kept is a silence
};

// What `alerts` lists.
struct alertquery {
  std::optional<std::time_t> since;  // received at or after
  std::string eventcode;             // empty: every event
  long long limit = 0;               // 0: no limit
};

// Rejected lines kept; older ones are dropped as new ones come.
inline constexpr long long rejectionsKept = 10000;

class alertstore {
 public:
  alertstore();
  ~alertstore();
  alertstore(const alertstore &) = delete;
  alertstore &operator=(const alertstore &) = delete;

  // Opens the store at `path` for writing, creating the file and its schema
  // when missing; false (error() says why) when it cannot.
  bool open(const std::string &path);
  // Opens an existing store for reading only; false when it cannot (a
  // missing file is not created).
  bool openreadonly(const std::string &path);
  // Closes the store; the next open starts afresh.  When its file was
  // deleted or renamed over meanwhile, the -wal and -shm files it leaves at
  // the path are removed, so that no store made there later takes them for
  // its own journal.
  void close();
  // Why the path no longer names the file open for writing: "it was deleted"
  // or "another file was put in its place"; empty while it does (or when
  // that cannot be told).  One stat(2), cheap enough for every write.
  std::string leftpath() const;
  // Open, for reading or writing.
  bool isopen() const;
  // Open for writing (open() succeeded).
  bool writable() const;
  // SQLite's text for the last failure.
  const std::string &error() const;

  // Keeps an alert: a new row, or, for an alert already kept (same key), one
  // more repeat and when it was last heard; with `owedto`, in the same
  // transaction, owed to that channel (see owe).  An alert heard at or after
  // its expiry was never in force: its expiry counts as announced.  False on
  // failure (nothing kept).
  bool addalert(const heardalert &heard, std::string_view owedto = {});
  // Keeps an alert taken from another store (unfinished) as it was kept
  // there, repeats, owed channels and announcement included; an alert
  // whose key is kept already stays as it is.  False on failure (nothing kept).
  bool adopt(const storedalert &stored);
  // Keeps a rejected line, dropping the oldest beyond rejectionsKept.
  bool addrejection(std::time_t received, std::string_view line, std::string_view reason);
  // Keeps whether the receiver at `path` answered its query at `when`.
  // `why`, when not empty, says what was wrong instead (a source of sound
  // that gives no sound).
  bool addanswer(std::time_t when, std::string_view path, bool answered,
                 std::string_view why = {});
  // The spoken message of an alert (kept already) is the file at `path`,
  // `seconds` long.  False on failure.
  bool setmessage(const alert &values, std::string_view path, double seconds);
  // Records that the alert (kept already) is owed to `channel` ("mqtt"):
  // heard while that output was on, not yet acknowledged.  False on failure.
  bool owe(const alert &values, std::string_view channel);
  // The channel has had the alert acknowledged.  False on failure.
  bool settle(const alert &values, std::string_view channel);
  // Records that the alert's expiry has been announced, so that a restart
  // does not announce it again.  False on failure.
  bool expiryannounced(const alert &values);
  // Moves what the journal holds into the database file, without waiting
  // for readers; the one step that flushes to disk, so zud runs it when
  // quiet rather than after an alert.  False on failure.
  bool checkpoint();

  // The alerts whose expiry lies after `now`, soonest expiry first; nothing on failure.
  std::optional<std::vector<storedalert>> inforce(std::time_t now);
  // The alerts whose expiry came at or before `now` without being announced
  // (zud was stopped then), soonest expiry first; nothing on failure.
  std::optional<std::vector<storedalert>> unannounced(std::time_t now);
  // What a store made in place of this one must not forget: the alerts in
  // force at `now`, those whose expiry is not announced yet and those owed
  // to a channel (with `owedto` filled), in the order kept; nothing on failure.
  std::optional<std::vector<storedalert>> unfinished(std::time_t now);
  // The alerts owed to `channel`, in the order they were first heard;
  // nothing on failure.
  std::optional<std::vector<storedalert>> owed(std::string_view channel);
  // Alerts newest first, as `query` says; nothing on failure.
  std::optional<std::vector<storedalert>> alerts(const alertquery &query);
  // Rejected lines newest first, at most `limit` (0: all); nothing on failure.
  std::optional<std::vector<storedrejection>> rejections(long long limit);
  // The receiver's health as kept; nothing on failure.
  std::optional<storedhealth> health();

 private:
  struct statements;
  bool prepare();
  // Runs `insert` (bound already) and `trim` with `kept`, dropping the
  // oldest rows beyond it, as one transaction.
  bool appendkeeping(sqlitestmt &insert, sqlitestmt &trim, long long kept);
  // The rows of `query` (alertcolumns, then owedcolumn when `withowed`).
  std::optional<std::vector<storedalert>> readalerts(sqlitestmt &query, bool withowed = false);
  // The locations of a new alert row; false on failure.
  bool addlocations(long long id, const alert &values);

  // A file as the path named it when the store was opened.
  struct fileid {
    bool known = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
  };
  static fileid identify(const std::string &path);

  sqlitedb db_;
  std::string path_;           // as opened for writing; empty for reading
  fileid file_, wal_, shm_;    // the files opened for writing
  std::unique_ptr<statements> stmts_;  // prepared once per opening
};

#endif  // ZUD_ALERTSTORE_H
