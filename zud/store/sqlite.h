// sqlite.h -- the one place that speaks SQLite's C API: a database handle
// and prepared statements, each closed or finalized by its destructor.
//
// Failures are results, never exceptions: every call that can fail returns
// false (or `step::failed`) and leaves SQLite's own text in error(), so that
// a caller can say in one line which file failed and why.
#ifndef ZUD_SQLITE_H
#define ZUD_SQLITE_H

#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

class sqlitedb {
 public:
  enum class mode { readwrite, readonly };

  sqlitedb() = default;
  // Closes the database, if open.
  ~sqlitedb();
  sqlitedb(const sqlitedb &) = delete;
  sqlitedb &operator=(const sqlitedb &) = delete;

  // Opens `path` (created when missing in readwrite mode); false, with
  // error() set, when it cannot.  An open database is closed first.
  bool open(const std::string &path, mode how);
  // Closes the database; statements prepared on it must be gone first.
  void close();
  bool isopen() const { return db_ != nullptr; }

  // Runs SQL without results (several statements allowed); false with error() set.
  bool exec(const char *sql);
  // SQLite's text for the last failure on this database.
  const std::string &error() const { return error_; }
  // Records the handle's current error text (for statements of this database).
  void noteerror();
  // Records a failure of our own making (a schema too new, say).
  void noteerror(std::string text) { error_ = std::move(text); }
  // Keeps the -wal and -shm files when the database closes, so that readers
  // without write access to the directory can still open it.
  void keepwalfiles();
  // Rows changed by the last statement.
  long long changes() const;

  sqlite3 *handle() const { return db_; }

 private:
  sqlite3 *db_ = nullptr;
  std::string error_;
};

class sqlitestmt {
 public:
  enum class step { row, done, failed };

  // Prepares `sql` on `db`; ok() is false (and db.error() says why) when it cannot.
  sqlitestmt(sqlitedb &db, const char *sql);
  // Finalizes the statement.
  ~sqlitestmt();
  sqlitestmt(const sqlitestmt &) = delete;
  sqlitestmt &operator=(const sqlitestmt &) = delete;

  bool ok() const { return stmt_ != nullptr; }

  // Binds parameter `index` (from 1); a statement that failed to prepare ignores it.
  sqlitestmt &bind(int index, long long value);
  sqlitestmt &bind(int index, double value);
  sqlitestmt &bind(int index, std::string_view text);
  sqlitestmt &bindnull(int index);

  // Runs the statement one step; on failure the database's error() says why.
  step next();
  // Runs a statement without result rows to its end; false on failure.
  bool run();
  // Makes the statement ready to run again, bindings cleared.
  void reset();

  // Columns of the current row, from 0.
  long long integer(int column) const;
  double real(int column) const;
  std::string text(int column) const;
  bool isnull(int column) const;

 private:
  sqlitedb &db_;
  sqlite3_stmt *stmt_ = nullptr;
};

// A transaction that rolls back unless committed, so that a failure half-way
// never leaves half an alert in the store.
class sqlitetransaction {
 public:
  // Begins; ok() is false when it could not.
  explicit sqlitetransaction(sqlitedb &db);
  // Rolls back unless committed.
  ~sqlitetransaction();
  sqlitetransaction(const sqlitetransaction &) = delete;
  sqlitetransaction &operator=(const sqlitetransaction &) = delete;

  bool ok() const { return open_; }
  // Commits; false (and rolled back) when it cannot.
  bool commit();

 private:
  sqlitedb &db_;
  bool open_ = false;
};

#endif  // ZUD_SQLITE_H
