// The connection: opening a file for recording or for a query, its faults as messages,
// closing.

#include "db/results_db.h"

#include <cerrno>
#include <cstring>

#include "platform/file_status.h"
#include "platform/path_bytes.h"
#include "text/path_text.h"

namespace {

std::string WaitText(std::chrono::milliseconds wait) {
  const auto ms = wait.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

// A file: URI for any path: every byte but the unreserved ones and '/' percent-encoded.
std::string ImmutableUri(const std::filesystem::path& file) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (const char ch : PathToUtf8(file)) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
        c == '-' || c == '.' || c == '_' || c == '~') {
      uri += ch;
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri + "?immutable=1";
}

bool WalExists(const std::filesystem::path& file) {
  std::error_code error;
  const auto wal = std::filesystem::symlink_status(PathFromUtf8(PathToUtf8(file) + "-wal"), error);
  // A -wal that cannot be looked at may be there (the type is then "none").
  return wal.type() != std::filesystem::file_type::not_found;
}

}  // namespace

CResultsDb::~CResultsDb() { Close(); }

int CResultsDb::OpenErrno() const {
  // SQLite's own errno is that of its last attempt (often a fallback), not of the cause.
  FileStatus st;
  std::error_code error;
  const std::filesystem::path folder = m_path.parent_path().empty() ? "." : m_path.parent_path();
  if (!StatusOf(PathToUtf8(m_path), st, error)) {
    if (IsMissing(error)) {
      if (const int denied = AccessError(PathToUtf8(folder), Access::kCreateIn)) return denied;
    }
    return ENOENT;
  }
  if (const int denied = AccessError(PathToUtf8(m_path), Access::kRead)) return denied;
  const int err = Db() != nullptr ? sqlite3_system_errno(Db()) : 0;
  return err != 0 ? err : EIO;
}

bool CResultsDb::Fail(int code, std::string_view doing) {
  std::string why;
  switch (code & 0xff) {
    case SQLITE_NOTADB: why = "not a database"; break;
    case SQLITE_READONLY: why = "read-only (the file or its folder cannot be written)"; break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      why = "locked by another program for longer than the wait of " +
            WaitText(m_options.busyTimeout);
      break;
    case SQLITE_FULL: why = "the disk is full"; break;
    case SQLITE_CORRUPT:
      why = "damaged (" + std::string(Db() != nullptr ? sqlite3_errmsg(Db()) : "corrupt") + ")";
      break;
    case SQLITE_CANTOPEN:
      why = "cannot be opened: " + std::string(std::strerror(OpenErrno()));
      break;
    case SQLITE_IOERR:
    case SQLITE_PERM: {
      const int err = Db() != nullptr ? sqlite3_system_errno(Db()) : 0;
      why = "input/output error" + (err != 0 ? std::string(": ") + std::strerror(err) : "");
      break;
    }
    default: why = Db() != nullptr ? sqlite3_errmsg(Db()) : sqlite3_errstr(code);
  }
  m_strError = "results database " + m_strFile + ": " + why;
  if (!doing.empty()) m_strError += std::string(" (while ") + std::string(doing) + ")";
  return false;
}

bool CResultsDb::Exec(const char* sql, std::string_view doing) {
  const int rc = sqlite3_exec(Db(), sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK || Fail(rc, doing);
}

bool CResultsDb::Prepare(const std::string& sql, CStatement& stmt) {
  stmt = CStatement(Db(), sql.c_str(), SQLITE_PREPARE_PERSISTENT);
  return stmt.PrepareResult() == SQLITE_OK || Fail(stmt.PrepareResult(), "preparing a statement");
}

bool CResultsDb::UseWal() {
  // WAL lets the queries and a second run read while this one writes; FULL makes every
  // commit survive a power cut.
  // The switch fails at once, without the busy handler, while another connection reads
  // the file (two runs starting on a new file): it is retried for as long as the wait.
  CStatement wal(Db(), "PRAGMA journal_mode = WAL");
  const auto deadline = std::chrono::steady_clock::now() + m_options.busyTimeout;
  int rc = wal.PrepareResult();
  while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
    sqlite3_reset(*wal);
    rc = sqlite3_step(*wal);
    if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || std::chrono::steady_clock::now() > deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (rc != SQLITE_ROW) return Fail(rc, "switching to WAL mode");
  if (ColumnText(*wal, 0) != "wal") {
    m_strError = "results database " + m_strFile + ": cannot use WAL mode on this file system";
    return false;
  }
  return true;
}

bool CResultsDb::OpenConnection(DbMode mode) {
  const bool record = mode == DbMode::kRecord;
  m_bImmutable = !record && !WalExists(m_path);
  if (m_bImmutable) m_openedAs = IdentityOf(m_path);
  const int flags = (record ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                    SQLITE_OPEN_NOMUTEX | (m_bImmutable ? SQLITE_OPEN_URI : 0);
  const std::string name = m_bImmutable ? ImmutableUri(m_path) : PathToUtf8(m_path);
  sqlite3* opened = nullptr;
  const int rc = sqlite3_open_v2(name.c_str(), &opened, flags, nullptr);
  // A failed open hands back a connection too, which holds its message until it goes.
  m_connection.reset(opened);
  if (rc != SQLITE_OK) return Fail(rc, "");
  sqlite3_busy_timeout(Db(), static_cast<int>(m_options.busyTimeout.count()));
  // SQLite opens a file it may not write for reading only, without an error.
  if (record && sqlite3_db_readonly(Db(), "main") == 1) return Fail(SQLITE_READONLY, "");
  if (m_options.maxPages > 0) {
    const std::string cap = "PRAGMA max_page_count = " + std::to_string(m_options.maxPages);
    if (!Exec(cap.c_str(), "")) return false;
  }
  // The first reads of the file: here a file of another kind shows itself.
  if (!CheckOwner() || (record && !UseWal())) return false;
  // Lookups read the file through a map, not a read call per page; a cache that holds a
  // big library's table keeps commits from writing the same pages out again and again.
  return Exec(
             "PRAGMA synchronous = FULL; PRAGMA mmap_size = 1073741824; PRAGMA cache_size = -32768",
             "") &&
         Migrate();
}

bool CResultsDb::Open(const std::filesystem::path& file, DbMode mode, const DbOptions& options) {
  Close();
  // No other thread can reach this object until the flusher starts at the end.
  m_options = options;
  m_path = file;
  m_strFile = DisplayText(PathToUtf8(file));
  m_strError.clear();
  m_bFailed = false;
  m_nUnrecorded = 0;
  m_bStop = false;
  const auto abandon = [&] {
    const std::string error = m_strError;
    Close();
    m_strError = error;
    return false;
  };
  if (!OpenConnection(mode)) return abandon();
  const std::string columns = "device, inode, size, mtime_ns, " + CtimeColumn() +
                              ", verdict, reason, position, length, kind, checked_at, version, " +
                              CodecColumn() + ", " + StrictColumns() + ", " + FactsColumns() +
                              ", " + AudioHashColumn();
  if (!Prepare("SELECT " + columns + " FROM files WHERE path = ?1 AND " + ReachColumn() + " = ?2",
               m_select) ||
      !Prepare("SELECT " + columns + ", path, " + ReachColumn() +
                   " FROM files WHERE path >= ?1 AND path < ?2 ORDER BY path",
               m_selectFolder)) {
    return abandon();
  }
  if (mode == DbMode::kQuery) return true;
  if (!Prepare("INSERT INTO files(path, device, inode, size, mtime_ns, ctime_ns, verdict, reason,"
               " position, length, kind, checked_at, version, codec, strict, warnings, reach,"
               " skipped_links, md5_unverifiable, audio_hash, audio_changed_from)"
               " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16,"
               " ?17, ?18, ?19, ?20, ?21)"
               " ON CONFLICT(path, reach) DO UPDATE SET device = excluded.device,"
               " inode = excluded.inode, size = excluded.size, mtime_ns = excluded.mtime_ns,"
               " ctime_ns = excluded.ctime_ns, verdict = excluded.verdict,"
               " reason = excluded.reason, position = excluded.position,"
               " length = excluded.length, kind = excluded.kind,"
               " checked_at = excluded.checked_at, version = excluded.version,"
               " codec = excluded.codec, strict = excluded.strict, warnings = excluded.warnings,"
               " skipped_links = excluded.skipped_links,"
               " md5_unverifiable = excluded.md5_unverifiable,"
               " audio_hash = excluded.audio_hash,"
               " audio_changed_from = excluded.audio_changed_from",
               m_upsert) ||
      !Prepare("SELECT id FROM versions WHERE text = ?1", m_findVersion) ||
      !Prepare("INSERT INTO versions(text) VALUES (?1)", m_addVersion)) {
    return abandon();
  }
  try {
    m_flusher = std::thread(&CResultsDb::FlusherLoop, this);
  } catch (const std::system_error& e) {
    m_strError =
        "results database " + m_strFile + ": cannot start its writer: " + e.code().message();
    return abandon();
  }
  return true;
}

void CResultsDb::Close() {
  {
    std::lock_guard lock(m_mutex);
    m_bStop = true;
  }
  m_wake.notify_all();
  if (m_flusher.joinable()) m_flusher.join();
  std::unique_lock lock(m_mutex);
  if (m_connection && m_upsert) FlushLocked(lock);
  m_select = {};
  m_selectFolder = {};
  m_upsert = {};
  m_findVersion = {};
  m_addVersion = {};
  m_versionIds.clear();
  m_versionTexts.clear();
  if (m_connection) EndRead();
  m_connection.reset();
}

bool CResultsDb::ReadWasStable() const {
  if (!m_bImmutable) return true;
  // A writer that came meanwhile writes a -wal first, and the file itself only at a
  // checkpoint, which moves its times.
  const auto now = IdentityOf(m_path);
  return !WalExists(m_path) && m_openedAs && now && Unchanged(*m_openedAs, *now);
}

std::string CResultsDb::ErrorText() const {
  std::lock_guard lock(m_mutex);
  return m_strError;
}

int64_t CResultsDb::Unrecorded() const {
  std::lock_guard lock(m_mutex);
  return m_nUnrecorded;
}
