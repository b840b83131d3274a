// A small RAII layer over one SQLite connection: open, run statements, bind and read columns.
// Not thread-safe by itself: the owner serialises every use (the console store holds a mutex).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kivo::console {

// Raised for SQL failures; the store turns it into an error answer at its boundary.
struct SqlError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using SqlValue = std::variant<std::nullptr_t, int64_t, std::string>;

class SqlStatement {
 public:
  SqlStatement(sqlite3* db, std::string_view sql);
  ~SqlStatement();
  SqlStatement(const SqlStatement&) = delete;
  SqlStatement& operator=(const SqlStatement&) = delete;

  // Binds values to ?1, ?2, ... in order.
  SqlStatement& bind(const std::vector<SqlValue>& values);
  // Steps once: true while a row is available.
  bool step();
  int64_t integer(int column) const;
  std::optional<std::string> text(int column) const;  // nothing for NULL

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class SqlDatabase {
 public:
  // Opens (creating) the file, with WAL journaling and foreign keys; throws SqlError.
  explicit SqlDatabase(const std::filesystem::path& file);
  ~SqlDatabase();
  SqlDatabase(const SqlDatabase&) = delete;
  SqlDatabase& operator=(const SqlDatabase&) = delete;

  // Runs one or more statements without results.
  void exec(std::string_view sql);
  // Runs one statement with values; returns the number of rows changed.
  int64_t run(std::string_view sql, const std::vector<SqlValue>& values = {});
  SqlStatement prepare(std::string_view sql) { return SqlStatement(db_, sql); }
  int64_t lastInsertId() const;

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace kivo::console
