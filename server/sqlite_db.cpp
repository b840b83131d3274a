#include "server/sqlite_db.h"

#include <sqlite3.h>

namespace kivo::console {
namespace {

[[noreturn]] void fail(sqlite3* db, std::string_view what) {
  throw SqlError(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "no database"));
}

}  // namespace

SqlStatement::SqlStatement(sqlite3* db, std::string_view sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
    fail(db, "prepare");
  }
}

SqlStatement::~SqlStatement() { sqlite3_finalize(stmt_); }

SqlStatement& SqlStatement::bind(const std::vector<SqlValue>& values) {
  int index = 1;
  for (const auto& v : values) {
    int rc;
    if (std::holds_alternative<int64_t>(v)) {
      rc = sqlite3_bind_int64(stmt_, index, std::get<int64_t>(v));
    } else if (std::holds_alternative<std::string>(v)) {
      const auto& s = std::get<std::string>(v);
      rc = sqlite3_bind_text(stmt_, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    } else {
      rc = sqlite3_bind_null(stmt_, index);
    }
    if (rc != SQLITE_OK) fail(db_, "bind");
    ++index;
  }
  return *this;
}

bool SqlStatement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(db_, "step");
}

int64_t SqlStatement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

std::optional<std::string> SqlStatement::text(int column) const {
  if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

SqlDatabase::SqlDatabase(const std::filesystem::path& file) {
  if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw SqlError("cannot open " + file.string() + ": " + message);
  }
  sqlite3_busy_timeout(db_, 5000);
  exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
}

SqlDatabase::~SqlDatabase() { sqlite3_close(db_); }

void SqlDatabase::exec(std::string_view sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : "unknown";
    sqlite3_free(message);
    throw SqlError("exec: " + text);
  }
}

int64_t SqlDatabase::run(std::string_view sql, const std::vector<SqlValue>& values) {
  SqlStatement statement(db_, sql);
  statement.bind(values);
  while (statement.step()) {
  }
  return sqlite3_changes(db_);
}

int64_t SqlDatabase::lastInsertId() const { return sqlite3_last_insert_rowid(db_); }

}  // namespace kivo::console
