#pragma once

#include <sqlite3.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// A database connection owned by the object: closed when it goes, whatever the way out.
// sqlite3_close_v2 lets statements still unfinalized finish the closing when they go.
struct CloseConnection {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using CConnection = std::unique_ptr<sqlite3, CloseConnection>;

// A transaction begun on `db`, rolled back when it goes unless it ended (committed, or
// rolled back by SQLite itself): no way out of a failed write leaves it holding the lock.
class CTransaction {
 public:
  explicit CTransaction(sqlite3* db) : m_db(db) {}
  ~CTransaction() {
    if (sqlite3_get_autocommit(m_db) == 0)
      sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  CTransaction(const CTransaction&) = delete;
  CTransaction& operator=(const CTransaction&) = delete;

 private:
  sqlite3* m_db;
};

// A prepared statement owned by the object: finalized when it goes, whatever the way out.
class CStatement {
 public:
  CStatement() = default;
  CStatement(sqlite3* db, const char* sql, unsigned flags = 0) {
    m_rc = sqlite3_prepare_v3(db, sql, -1, flags, &m_p, nullptr);
  }
  ~CStatement() { sqlite3_finalize(m_p); }
  CStatement(CStatement&& other) noexcept
      : m_p(std::exchange(other.m_p, nullptr)), m_rc(other.m_rc) {}
  CStatement& operator=(CStatement&& other) noexcept {
    std::swap(m_p, other.m_p);
    std::swap(m_rc, other.m_rc);
    return *this;
  }
  CStatement(const CStatement&) = delete;
  CStatement& operator=(const CStatement&) = delete;

  int PrepareResult() const { return m_rc; }
  explicit operator bool() const { return m_p != nullptr; }
  sqlite3_stmt* operator*() const { return m_p; }

 private:
  sqlite3_stmt* m_p = nullptr;
  int m_rc = SQLITE_OK;
};

// Resets on every exit, so a reused statement never holds a read transaction open.
class CReset {
 public:
  explicit CReset(sqlite3_stmt* stmt) : m_p(stmt) {}
  ~CReset() {
    sqlite3_reset(m_p);
    sqlite3_clear_bindings(m_p);
  }
  CReset(const CReset&) = delete;
  CReset& operator=(const CReset&) = delete;

 private:
  sqlite3_stmt* m_p;
};

inline void BindBytes(sqlite3_stmt* stmt, int index, std::string_view bytes) {
  // A BLOB, never TEXT: SQLite compares BLOBs byte by byte and never touches their encoding.
  sqlite3_bind_blob64(stmt, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

inline void BindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

inline void BindOptional(sqlite3_stmt* stmt, int index, std::optional<double> value) {
  if (value) {
    sqlite3_bind_double(stmt, index, *value);
  } else {
    sqlite3_bind_null(stmt, index);
  }
}

inline std::optional<double> ColumnOptional(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(stmt, column);
}

inline std::string ColumnBytes(sqlite3_stmt* stmt, int column) {
  const void* data = sqlite3_column_blob(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

inline std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  if (text == nullptr || size <= 0) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}
