// sqlite.cpp -- SQLite's C API behind RAII.
#include "store/sqlite.h"

#include <sqlite3.h>

sqlitedb::~sqlitedb() { close(); }

bool sqlitedb::open(const std::string &path, mode how) {
  close();
  const int flags = how == mode::readonly ? SQLITE_OPEN_READONLY
                                          : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) return true;
  error_ = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  close();
  return false;
}

void sqlitedb::close() {
  if (db_ == nullptr) return;
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool sqlitedb::exec(const char *sql) {
  if (db_ == nullptr) return false;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  noteerror();
  return false;
}

void sqlitedb::noteerror() {
  if (db_ != nullptr) error_ = sqlite3_errmsg(db_);
}

void sqlitedb::keepwalfiles() {
  if (db_ == nullptr) return;
  int keep = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
}

long long sqlitedb::changes() const { return db_ != nullptr ? sqlite3_changes(db_) : 0; }

sqlitestmt::sqlitestmt(sqlitedb &db, const char *sql) : db_(db) {
  if (!db.isopen()) return;
  if (sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    db.noteerror();
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

sqlitestmt::~sqlitestmt() { sqlite3_finalize(stmt_); }

sqlitestmt &sqlitestmt::bind(int index, long long value) {
  if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

sqlitestmt &sqlitestmt::bind(int index, double value) {
  if (stmt_ != nullptr) sqlite3_bind_double(stmt_, index, value);
  return *this;
}

sqlitestmt &sqlitestmt::bind(int index, std::string_view text) {
  if (stmt_ != nullptr) {
    // An empty view may hold no pointer at all, which SQLite would take for NULL.
    sqlite3_bind_text(stmt_, index, text.data() != nullptr ? text.data() : "",
                      static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  return *this;
}

sqlitestmt &sqlitestmt::bindnull(int index) {
  if (stmt_ != nullptr) sqlite3_bind_null(stmt_, index);
  return *this;
}

sqlitestmt::step sqlitestmt::next() {
  if (stmt_ == nullptr) return step::failed;
  switch (sqlite3_step(stmt_)) {
    case SQLITE_ROW:
      return step::row;
    case SQLITE_DONE:
      return step::done;
    default:
      db_.noteerror();
      return step::failed;
  }
}

bool sqlitestmt::run() {
  step result;
  while ((result = next()) == step::row) {
  }
  return result == step::done;
}

void sqlitestmt::reset() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

long long sqlitestmt::integer(int column) const {
  return stmt_ != nullptr ? sqlite3_column_int64(stmt_, column) : 0;
}

double sqlitestmt::real(int column) const {
  return stmt_ != nullptr ? sqlite3_column_double(stmt_, column) : 0;
}

std::string sqlitestmt::text(int column) const {
  if (stmt_ == nullptr) return std::string();
  const unsigned char *value = sqlite3_column_text(stmt_, column);
  if (value == nullptr) return std::string();
  return std::string(reinterpret_cast<const char *>(value),
                     static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

bool sqlitestmt::isnull(int column) const {
  return stmt_ == nullptr || sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

sqlitetransaction::sqlitetransaction(sqlitedb &db) : db_(db) { open_ = db_.exec("BEGIN"); }

sqlitetransaction::~sqlitetransaction() {
  if (!open_) return;
  // The failure that led here is the one worth reporting, not the rollback's.
  const std::string why = db_.error();
  db_.exec("ROLLBACK");
  db_.noteerror(why);
}

bool sqlitetransaction::commit() {
  if (!open_) return false;
  if (!db_.exec("COMMIT")) return false;  // the destructor rolls back
  open_ = false;
  return true;
}
