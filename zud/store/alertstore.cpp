// alertstore.cpp -- the alert store's schema, writes and reads.
#include "store/alertstore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>

#include "same/printable.h"

namespace {

// Each step brings a store from the version before it to its own (index + 1).
// A store made by a newer zud is left alone: its schema is not ours to guess.
const char *const schemasteps[] = {
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE alerts("
    "  id INTEGER PRIMARY KEY,"
    "  key TEXT NOT NULL UNIQUE,"  // originator, event, locations, issue time, station
    "  received INTEGER NOT NULL,"  // Unix seconds (UTC), as every time here
    "  last_heard INTEGER NOT NULL,"
    "  repeats INTEGER NOT NULL DEFAULT 0,"
    "  header TEXT NOT NULL,"
    "  originator_code TEXT NOT NULL,"
    "  originator TEXT NOT NULL,"
    "  event_code TEXT NOT NULL,"
    "  event TEXT NOT NULL,"
    "  purge TEXT NOT NULL,"
    "  issued INTEGER NOT NULL,"
    "  expires INTEGER NOT NULL,"
    "  station TEXT NOT NULL,"
    "  origin TEXT NOT NULL);"
    "CREATE INDEX alerts_received ON alerts(received);"
    "CREATE INDEX alerts_expires ON alerts(expires);"
    "CREATE INDEX alerts_event ON alerts(event_code, last_heard);"
    "CREATE TABLE locations("
    "  alert INTEGER NOT NULL REFERENCES alerts(id) ON DELETE CASCADE,"
    "  position INTEGER NOT NULL,"
    "  code TEXT NOT NULL,"
    "  name TEXT NOT NULL,"
    "  PRIMARY KEY(alert, position)) WITHOUT ROWID;"
    "CREATE TABLE rejected("
    "  id INTEGER PRIMARY KEY,"
    "  received INTEGER NOT NULL,"
    "  line TEXT NOT NULL,"
    "  reason TEXT NOT NULL);"
    "CREATE TABLE answers("
    "  id INTEGER PRIMARY KEY,"
    "  time INTEGER NOT NULL,"
    "  path TEXT NOT NULL,"
    "  answered INTEGER NOT NULL);",
    // Deliveries owed: an alert heard while an output (such as MQTT) was on,
    // that its channel has not had acknowledged yet.
    "CREATE TABLE outbox("
    "  alert INTEGER NOT NULL REFERENCES alerts(id) ON DELETE CASCADE,"
    "  channel TEXT NOT NULL,"
    "  PRIMARY KEY(alert, channel)) WITHOUT ROWID;",
    // Whether each alert's expiry has been announced, so that one that came
    // while zud was stopped is announced once at the next start; and the
    // built-in sample, which must never pass for the receiver's weekly test.
    // An older store cannot tell which of its expired alerts expired while
    // zud was stopped: every alert expired at the upgrade counts as
    // announced, rather than a flood of old expiries at the first start.
    // The sample was told by its origin, as the gateway names it.
    "ALTER TABLE alerts ADD COLUMN expiry_announced INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE alerts ADD COLUMN sample INTEGER NOT NULL DEFAULT 0;"
    "UPDATE alerts SET expiry_announced = 1"
    "  WHERE expires <= CAST(strftime('%s', 'now') AS INTEGER);"
    "UPDATE alerts SET sample = 1 WHERE origin = 'built-in sample (SIGUSR2)';"
    "CREATE INDEX alerts_unannounced ON alerts(expires) WHERE expiry_announced = 0;",
    // The spoken message of an alert heard in sound, kept as a file; and
    // why a source did not answer, when it is not a query left unanswered
    // (a source of sound that went silent, or clips).
    "ALTER TABLE alerts ADD COLUMN message TEXT;"
    "ALTER TABLE alerts ADD COLUMN message_seconds REAL;"
    "ALTER TABLE answers ADD COLUMN why TEXT NOT NULL DEFAULT '';",
};
constexpr long long schemaversion = static_cast<long long>(std::size(schemasteps));

// Receiver answers kept; one comes with each opening of the port.
constexpr long long answersKept = 10000;

constexpr const char *alertcolumns =
    "id, received, last_heard, repeats, header, originator_code, originator, event_code, "
    "event, purge, issued, expires, station, origin, sample, expiry_announced, message, "
    "message_seconds";

// The channels an alert is owed to, one per line, as one more column.
constexpr const char *owedcolumn =
    ", (SELECT group_concat(channel, char(10)) FROM outbox WHERE alert = alerts.id)";

// PRAGMA user_version of an open database; nothing when it cannot be read
// (the file is not a database, say).
std::optional<long long> userversion(sqlitedb &db) {
  sqlitestmt version(db, "PRAGMA user_version");
  if (version.next() != sqlitestmt::step::row) return std::nullopt;
  return version.integer(0);
}

// Brings the schema up to date; false with db.error() set.
bool migrate(sqlitedb &db) {
  const std::optional<long long> version = userversion(db);
  if (!version) return false;
  if (*version == schemaversion) return true;
  if (*version > schemaversion) {
    db.noteerror("the store has schema version " + std::to_string(*version) +
                 ", newer than this zud knows (" + std::to_string(schemaversion) + ")");
    return false;
  }
  sqlitetransaction change(db);
  if (!change.ok()) return false;
  for (long long step = *version; step < schemaversion; ++step) {
    if (!db.exec(schemasteps[step])) return false;
  }
  if (*version == 0) {
    sqlitestmt created(db, "INSERT INTO meta(key, value) VALUES('created', ?)");
    if (!created.bind(1, static_cast<long long>(std::time(nullptr))).run()) return false;
  }
  const std::string setversion = "PRAGMA user_version = " + std::to_string(schemaversion);
  return db.exec(setversion.c_str()) && change.commit();
}

// Binds an alert's columns as the statements that write one number them
// (1 to 13: key, received, header, codes and texts, purge, instants,
// station, origin, sample).
sqlitestmt &bindalert(sqlitestmt &statement, const heardalert &heard) {
  const alert &a = heard.values;
  return statement.bind(1, alertkey(a))
         .bind(2, static_cast<long long>(heard.received))
         .bind(3, a.header)
         .bind(4, a.originatorcode)
         .bind(5, a.originator)
         .bind(6, a.eventcode)
         .bind(7, a.event)
         .bind(8, a.purge)
         .bind(9, static_cast<long long>(a.issued))
         .bind(10, static_cast<long long>(a.expires))
         .bind(11, a.source)
         .bind(12, heard.origin)
         .bind(13, heard.sample ? 1LL : 0LL);
}

// The four digits of a purge time as the trigger writes them ("0045" -> "45").
std::string durationtext(const std::string &purge) {
  const std::size_t first = purge.find_first_not_of('0');
  return first == std::string::npos ? "0" : purge.substr(first);
}

}  // namespace

struct alertstore::statements {
  explicit statements(sqlitedb &db)
      : upsert(db,
               "INSERT INTO alerts(key, received, last_heard, header, originator_code, "
               "originator, event_code, event, purge, issued, expires, station, origin, "
               "sample, expiry_announced) "
               "VALUES(?1, ?2, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?10 <= ?2) "
               "ON CONFLICT(key) DO UPDATE SET repeats = repeats + 1, "
               "last_heard = excluded.last_heard RETURNING id, repeats"),
        adopt(db,
              "INSERT INTO alerts(key, received, last_heard, header, originator_code, "
              "originator, event_code, event, purge, issued, expires, station, origin, "
              "sample, expiry_announced, repeats) "
              "VALUES(?1, ?2, ?14, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?15, ?16) "
              "ON CONFLICT(key) DO NOTHING RETURNING id"),
        location(db, "INSERT INTO locations(alert, position, code, name) VALUES(?, ?, ?, ?)"),
        rejection(db, "INSERT INTO rejected(received, line, reason) VALUES(?, ?, ?)"),
        trimrejections(db, "DELETE FROM rejected WHERE id <= (SELECT max(id) FROM rejected) - ?"),
        answer(db, "INSERT INTO answers(time, path, answered, why) VALUES(?, ?, ?, ?)"),
        trimanswers(db, "DELETE FROM answers WHERE id <= (SELECT max(id) FROM answers) - ?"),
        owe(db,
            "INSERT OR IGNORE INTO outbox(alert, channel) SELECT id, ?2 FROM alerts WHERE key = ?1"),
        settle(db,
               "DELETE FROM outbox WHERE channel = ?2 AND alert = "
               "(SELECT id FROM alerts WHERE key = ?1)"),
        announced(db, "UPDATE alerts SET expiry_announced = 1 WHERE key = ?1") {}

  bool ok() const {
    return upsert.ok() && adopt.ok() && location.ok() && rejection.ok() && trimrejections.ok() &&
           answer.ok() && trimanswers.ok() && owe.ok() && settle.ok() && announced.ok();
  }

  sqlitestmt upsert;
  sqlitestmt adopt;
  sqlitestmt location;
  sqlitestmt rejection;
  sqlitestmt trimrejections;
  sqlitestmt answer;
  sqlitestmt trimanswers;
  sqlitestmt owe;
  sqlitestmt settle;
  sqlitestmt announced;
};

alertstore::alertstore() = default;

alertstore::~alertstore() { close(); }

bool alertstore::open(const std::string &path) {
  close();
  // The busy timeout comes first: creating the schema may meet a reader.
  if (!db_.open(path, sqlitedb::mode::readwrite) || !db_.exec("PRAGMA busy_timeout = 50") ||
      !migrate(db_) ||
      !db_.exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
                "PRAGMA foreign_keys = ON; PRAGMA wal_autocheckpoint = 10000") ||
      !prepare()) {
    close();
    return false;
  }
  // Readers that may not write the directory (zud-alerts as another user)
  // can open the store only while its -wal and -shm files exist.
  db_.keepwalfiles();
  // A first read in WAL mode makes the -wal and -shm files, so that they
  // are there for such readers, and known (close) from the start.
  if (!userversion(db_)) {
    close();
    return false;
  }
  path_ = path;
  file_ = identify(path);
  wal_ = identify(path + "-wal");
  shm_ = identify(path + "-shm");
  return true;
}

alertstore::fileid alertstore::identify(const std::string &path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return {};
  return {true, static_cast<unsigned long long>(status.st_dev),
          static_cast<unsigned long long>(status.st_ino)};
}

std::string alertstore::leftpath() const {
  if (path_.empty() || !file_.known) return std::string();
  struct stat status {};
  if (stat(path_.c_str(), &status) != 0) {
    return errno == ENOENT ? "it was deleted" : std::string();
  }
  if (static_cast<unsigned long long>(status.st_dev) != file_.device ||
      static_cast<unsigned long long>(status.st_ino) != file_.inode) {
    return "another file was put in its place";
  }
  return std::string();
}

bool alertstore::openreadonly(const std::string &path) {
  close();
  if (!db_.open(path, sqlitedb::mode::readonly) || !db_.exec("PRAGMA busy_timeout = 50")) {
    close();
    return false;
  }
  const std::optional<long long> version = userversion(db_);
  if (!version || *version != schemaversion) {
    if (version) {
      // An older store is brought up to date by zud itself, at its next start.
      db_.noteerror(*version == 0 ? std::string("not an alert store (no schema)")
                    : *version < schemaversion
                        ? "schema version " + std::to_string(*version) + ", older than " +
                              std::to_string(schemaversion) +
                              ", which zud brings it to when it next starts"
                        : "schema version " + std::to_string(*version) +
                              ", this program knows " + std::to_string(schemaversion));
    }
    close();
    return false;
  }
  return true;
}

bool alertstore::prepare() {
  stmts_ = std::make_unique<statements>(db_);
  return stmts_->ok();
}

void alertstore::close() {
  const bool left = !leftpath().empty();
  stmts_.reset();  // statements go before their database
  db_.close();
  if (left) {
    // Only the very files this store had: a journal someone put there with
    // the new file is that file's own.
    for (const auto &[suffix, id] : {std::pair{"-wal", wal_}, std::pair{"-shm", shm_}}) {
      const fileid now = identify(path_ + suffix);
      if (id.known && now.known && now.device == id.device && now.inode == id.inode) {
        unlink((path_ + suffix).c_str());
      }
    }
  }
  path_.clear();
  file_ = wal_ = shm_ = fileid{};
}

bool alertstore::isopen() const { return db_.isopen(); }

bool alertstore::writable() const { return db_.isopen() && stmts_ != nullptr; }

const std::string &alertstore::error() const { return db_.error(); }

bool alertstore::addalert(const heardalert &heard, std::string_view owedto) {
  if (!writable()) return false;
  const alert &a = heard.values;
  sqlitetransaction write(db_);
  if (!write.ok()) return false;
  sqlitestmt &upsert = stmts_->upsert;
  upsert.reset();
  bindalert(upsert, heard);
  if (upsert.next() != sqlitestmt::step::row) return false;
  const long long id = upsert.integer(0);
  const bool fresh = upsert.integer(1) == 0;
  if (!upsert.run()) return false;
  if (fresh && !addlocations(id, a)) return false;
  if (!owedto.empty()) {
    stmts_->owe.reset();
    if (!stmts_->owe.bind(1, alertkey(a)).bind(2, owedto).run()) return false;
  }
  return write.commit();
}

bool alertstore::adopt(const storedalert &stored) {
  if (!writable()) return false;
  const heardalert &heard = stored.heard;
  const alert &a = heard.values;
  sqlitetransaction write(db_);
  if (!write.ok()) return false;
  sqlitestmt &adopt = stmts_->adopt;
  adopt.reset();
  bindalert(adopt, heard)
      .bind(14, static_cast<long long>(stored.lastheard))
      .bind(15, stored.expiryannounced ? 1LL : 0LL)
      .bind(16, stored.repeats);
  const sqlitestmt::step step = adopt.next();
  if (step == sqlitestmt::step::failed) return false;
  if (step == sqlitestmt::step::row) {
    const long long id = adopt.integer(0);
    if (!adopt.run() || !addlocations(id, a)) return false;
    for (const std::string &channel : stored.owedto) {
      stmts_->owe.reset();
      if (!stmts_->owe.bind(1, alertkey(a)).bind(2, channel).run()) return false;
    }
  }
  return write.commit();
}

bool alertstore::addlocations(long long id, const alert &values) {
  sqlitestmt &location = stmts_->location;
  for (std::size_t i = 0; i < values.locationcodes.size(); ++i) {
    location.reset();
    location.bind(1, id)
        .bind(2, static_cast<long long>(i))
        .bind(3, values.locationcodes[i])
        .bind(4, i < values.locations.size() ? values.locations[i] : std::string());
    if (!location.run()) return false;
  }
  return true;
}

bool alertstore::addrejection(std::time_t received, std::string_view line,
                              std::string_view reason) {
  if (!writable()) return false;
  sqlitestmt &insert = stmts_->rejection;
  insert.reset();
  insert.bind(1, static_cast<long long>(received)).bind(2, line).bind(3, reason);
  return appendkeeping(insert, stmts_->trimrejections, rejectionsKept);
}

bool alertstore::addanswer(std::time_t when, std::string_view path, bool answered,
                           std::string_view why) {
  if (!writable()) return false;
  sqlitestmt &insert = stmts_->answer;
  insert.reset();
  insert.bind(1, static_cast<long long>(when))
      .bind(2, path)
      .bind(3, answered ? 1LL : 0LL)
      .bind(4, why);
  return appendkeeping(insert, stmts_->trimanswers, answersKept);
}

bool alertstore::appendkeeping(sqlitestmt &insert, sqlitestmt &trim, long long kept) {
  sqlitetransaction write(db_);
  if (!write.ok()) return false;
  trim.reset();
  return insert.run() && trim.bind(1, kept).run() && write.commit();
}

bool alertstore::owe(const alert &values, std::string_view channel) {
  if (!writable()) return false;
  stmts_->owe.reset();
  return stmts_->owe.bind(1, alertkey(values)).bind(2, channel).run();
}

bool alertstore::setmessage(const alert &values, std::string_view path, double seconds) {
  if (!writable()) return false;
  sqlitestmt update(db_, "UPDATE alerts SET message = ?2, message_seconds = ?3 WHERE key = ?1");
  return update.bind(1, alertkey(values)).bind(2, path).bind(3, seconds).run();
}

bool alertstore::settle(const alert &values, std::string_view channel) {
  if (!writable()) return false;
  stmts_->settle.reset();
  return stmts_->settle.bind(1, alertkey(values)).bind(2, channel).run();
}

bool alertstore::expiryannounced(const alert &values) {
  if (!writable()) return false;
  stmts_->announced.reset();
  return stmts_->announced.bind(1, alertkey(values)).run();
}

bool alertstore::checkpoint() {
  return writable() && db_.exec("PRAGMA wal_checkpoint(PASSIVE)");
}

std::optional<std::vector<storedalert>> alertstore::readalerts(sqlitestmt &query,
                                                              bool withowed) {
  sqlitestmt places(db_, "SELECT code, name FROM locations WHERE alert = ? ORDER BY position");
  if (!query.ok() || !places.ok()) return std::nullopt;
  std::vector<storedalert> found;
  sqlitestmt::step step;
  while ((step = query.next()) == sqlitestmt::step::row) {
    storedalert stored;
    heardalert &h = stored.heard;
    alert &a = h.values;
    const long long id = query.integer(0);
    h.received = static_cast<std::time_t>(query.integer(1));
    stored.lastheard = static_cast<std::time_t>(query.integer(2));
    stored.repeats = query.integer(3);
    // What came over the air is read back as printable text, whatever an
    // older zud kept: a reader's terminal or a command never gets a raw byte.
    a.header = printable(query.text(4));
    a.originatorcode = printable(query.text(5));
    a.originator = printable(query.text(6));
    a.eventcode = printable(query.text(7));
    a.event = printable(query.text(8));
    a.purge = printable(query.text(9));
    a.duration = durationtext(a.purge);
    a.issued = static_cast<std::time_t>(query.integer(10));
    a.expires = static_cast<std::time_t>(query.integer(11));
    const issuetime local = localissuetime(a.issued);
    a.date = local.date;
    a.time = local.time;
    a.source = printable(query.text(12));
    h.origin = query.text(13);
    h.sample = query.integer(14) != 0;
    stored.expiryannounced = query.integer(15) != 0;
    if (!query.isnull(16)) {
      stored.message = query.text(16);
      stored.messageseconds = query.real(17);
    }
    if (withowed && !query.isnull(18)) {
      const std::string channels = query.text(18);
      for (std::size_t start = 0; start <= channels.size();) {
        const std::size_t end = std::min(channels.find('\n', start), channels.size());
        stored.owedto.push_back(channels.substr(start, end - start));
        start = end + 1;
      }
    }
    places.reset();
    places.bind(1, id);
    sqlitestmt::step placestep;
    while ((placestep = places.next()) == sqlitestmt::step::row) {
      a.locationcodes.push_back(printable(places.text(0)));
      a.locations.push_back(printable(places.text(1)));
    }
    if (placestep == sqlitestmt::step::failed) return std::nullopt;
    found.push_back(std::move(stored));
  }
  if (step == sqlitestmt::step::failed) return std::nullopt;
  return found;
}

std::optional<std::vector<storedalert>> alertstore::inforce(std::time_t now) {
  const std::string sql = std::string("SELECT ") + alertcolumns +
                          " FROM alerts WHERE expires > ? ORDER BY expires, id";
  sqlitestmt query(db_, sql.c_str());
  query.bind(1, static_cast<long long>(now));
  return readalerts(query);
}

std::optional<std::vector<storedalert>> alertstore::unannounced(std::time_t now) {
  const std::string sql = std::string("SELECT ") + alertcolumns +
                          " FROM alerts WHERE expiry_announced = 0 AND expires <= ? "
                          "ORDER BY expires, id";
  sqlitestmt query(db_, sql.c_str());
  query.bind(1, static_cast<long long>(now));
  return readalerts(query);
}

std::optional<std::vector<storedalert>> alertstore::unfinished(std::time_t now) {
  const std::string sql = std::string("SELECT ") + alertcolumns + owedcolumn +
                          " FROM alerts WHERE expires > ?1 OR expiry_announced = 0 "
                          "OR id IN (SELECT alert FROM outbox) ORDER BY id";
  sqlitestmt query(db_, sql.c_str());
  query.bind(1, static_cast<long long>(now));
  return readalerts(query, true);
}

std::optional<std::vector<storedalert>> alertstore::owed(std::string_view channel) {
  const std::string sql = std::string("SELECT ") + alertcolumns +
                          " FROM alerts WHERE id IN (SELECT alert FROM outbox WHERE channel = ?) "
                          "ORDER BY id";
  sqlitestmt query(db_, sql.c_str());
  query.bind(1, channel);
  return readalerts(query);
}

std::optional<std::vector<storedalert>> alertstore::alerts(const alertquery &q) {
  const std::string sql = std::string("SELECT ") + alertcolumns +
                          " FROM alerts WHERE received >= ?1 AND (?2 = '' OR event_code = ?2) "
                          "ORDER BY received DESC, id DESC LIMIT ?3";
  sqlitestmt query(db_, sql.c_str());
  query.bind(1, q.since ? static_cast<long long>(*q.since) : 0LL)
      .bind(2, q.eventcode)
      .bind(3, q.limit > 0 ? q.limit : -1LL);
  return readalerts(query);
}

std::optional<std::vector<storedrejection>> alertstore::rejections(long long limit) {
  sqlitestmt query(db_,
                   "SELECT received, line, reason FROM rejected ORDER BY id DESC LIMIT ?");
  query.bind(1, limit > 0 ? limit : -1LL);
  if (!query.ok()) return std::nullopt;
  std::vector<storedrejection> found;
  sqlitestmt::step step;
  while ((step = query.next()) == sqlitestmt::step::row) {
    found.push_back({static_cast<std::time_t>(query.integer(0)), query.text(1), query.text(2)});
  }
  if (step == sqlitestmt::step::failed) return std::nullopt;
  return found;
}

std::optional<storedhealth> alertstore::health() {
  // One snapshot for every figure, so that a write in between cannot pair
  // a last alert and a last test from different moments.
  sqlitetransaction snapshot(db_);
  if (!snapshot.ok()) return std::nullopt;
  storedhealth health;
  sqlitestmt created(db_, "SELECT value FROM meta WHERE key = 'created'");
  if (created.next() != sqlitestmt::step::row) return std::nullopt;
  health.created = static_cast<std::time_t>(std::strtoll(created.text(0).c_str(), nullptr, 10));

  alertquery newest;
  newest.limit = 1;
  const std::optional<std::vector<storedalert>> last = alerts(newest);
  if (!last) return std::nullopt;
  if (!last->empty()) health.lastalert = last->front();

  sqlitestmt test(db_, "SELECT max(last_heard) FROM alerts WHERE event_code = 'RWT' AND sample = 0");
  if (test.next() != sqlitestmt::step::row) return std::nullopt;
  if (!test.isnull(0)) health.lasttest = static_cast<std::time_t>(test.integer(0));

  sqlitestmt answer(db_, "SELECT max(time) FROM answers WHERE answered = 1");
  if (answer.next() != sqlitestmt::step::row) return std::nullopt;
  if (!answer.isnull(0)) health.lastanswer = static_cast<std::time_t>(answer.integer(0));

  sqlitestmt silence(db_,
                     "SELECT time, path, why FROM answers WHERE answered = 0 ORDER BY id DESC "
                     "LIMIT 1");
  const sqlitestmt::step step = silence.next();
  if (step == sqlitestmt::step::failed) return std::nullopt;
  if (step == sqlitestmt::step::row) {
    health.lastsilence = static_cast<std::time_t>(silence.integer(0));
    health.silentpath = silence.text(1);
    health.silentwhy = silence.text(2);
  }

  // Kept in order, so each port's newest row says whether it answers now,
  // even when an answer and a silence fall in the same second; a port (or
  // source of sound) still silent is one whose newest row is a silence.
  sqlitestmt latest(db_,
                    "SELECT count(*) FROM answers a WHERE answered = 0 AND id = "
                    "(SELECT max(id) FROM answers b WHERE b.path = a.path)");
  if (latest.next() != sqlitestmt::step::row) return std::nullopt;
  health.silent = latest.integer(0) > 0;
  return health;
}
