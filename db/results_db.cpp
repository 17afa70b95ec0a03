#include "db/results_db.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "text/path_text.h"

namespace {

// Statement texts. One row per file: the newly-damaged rule and --skip-checked need only
// the last verdict, and a history would grow with every nightly sweep.
const char kCreateSchema[] =
    "CREATE TABLE versions(id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);"
    "CREATE TABLE files("
    " path BLOB PRIMARY KEY NOT NULL,"
    " device INTEGER NOT NULL, inode INTEGER NOT NULL,"
    " size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL,"
    " verdict TEXT NOT NULL CHECK (verdict IN ('ok', 'error')),"
    " reason TEXT, position REAL, length REAL,"
    " kind TEXT NOT NULL CHECK (kind IN ('full', 'quick')),"
    " checked_at INTEGER NOT NULL,"  // Unix time in milliseconds
    " version INTEGER NOT NULL REFERENCES versions(id)"
    ") WITHOUT ROWID;"
    "CREATE INDEX files_with_errors ON files(path) WHERE verdict = 'error';";

// Step n takes a database from user_version n to n + 1.
const char* const kMigrations[] = {kCreateSchema};
static_assert(std::size(kMigrations) == CResultsDb::kSchemaVersion);

const char kSelect[] =
    "SELECT device, inode, size, mtime_ns, verdict, reason, position, length, kind, "
    "checked_at, version FROM files WHERE path = ?1";
const char kUpsert[] =
    "INSERT INTO files(path, device, inode, size, mtime_ns, verdict, reason, position, length,"
    " kind, checked_at, version) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)"
    " ON CONFLICT(path) DO UPDATE SET device = excluded.device, inode = excluded.inode,"
    " size = excluded.size, mtime_ns = excluded.mtime_ns, verdict = excluded.verdict,"
    " reason = excluded.reason, position = excluded.position, length = excluded.length,"
    " kind = excluded.kind, checked_at = excluded.checked_at, version = excluded.version";

class CStatement {
 public:
  CStatement(sqlite3* db, const char* sql) {
    m_rc = sqlite3_prepare_v2(db, sql, -1, &m_p, nullptr);
  }
  ~CStatement() { sqlite3_finalize(m_p); }
  CStatement(const CStatement&) = delete;
  CStatement& operator=(const CStatement&) = delete;
  int PrepareResult() const { return m_rc; }
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

void BindBytes(sqlite3_stmt* stmt, int index, std::string_view bytes) {
  // A BLOB, never TEXT: SQLite compares BLOBs byte by byte and never touches their encoding.
  sqlite3_bind_blob64(stmt, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

void BindOptional(sqlite3_stmt* stmt, int index, std::optional<double> value) {
  if (value) {
    sqlite3_bind_double(stmt, index, *value);
  } else {
    sqlite3_bind_null(stmt, index);
  }
}

std::optional<double> ColumnOptional(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(stmt, column);
}

std::string ColumnBytes(sqlite3_stmt* stmt, int column) {
  const void* data = sqlite3_column_blob(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  if (text == nullptr || size <= 0) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

std::string WaitText(std::chrono::milliseconds wait) {
  const auto ms = wait.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

CheckKind KindOf(std::string_view name) {
  return name == "quick" ? CheckKind::kQuick : CheckKind::kFull;
}

}  // namespace

CResultsDb::~CResultsDb() { Close(); }

int CResultsDb::OpenErrno() const {
  // SQLite's own errno is that of its last attempt (often a fallback), not of the cause.
  struct stat st {};
  const std::filesystem::path folder = m_path.parent_path().empty() ? "." : m_path.parent_path();
  if (::stat(m_path.c_str(), &st) != 0) {
    if (errno == ENOENT && ::access(folder.c_str(), W_OK | X_OK) != 0) return errno;
    return ENOENT;
  }
  if (::access(m_path.c_str(), R_OK) != 0) return errno;
  const int err = m_pDb ? sqlite3_system_errno(m_pDb) : 0;
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
      why = "damaged (" + std::string(m_pDb ? sqlite3_errmsg(m_pDb) : "corrupt") + ")";
      break;
    case SQLITE_CANTOPEN:
      why = "cannot be opened: " + std::string(std::strerror(OpenErrno()));
      break;
    case SQLITE_IOERR:
    case SQLITE_PERM: {
      const int err = m_pDb ? sqlite3_system_errno(m_pDb) : 0;
      why = "input/output error" + (err != 0 ? std::string(": ") + std::strerror(err) : "");
      break;
    }
    default: why = m_pDb ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(code);
  }
  m_strError = "results database " + m_strFile + ": " + why;
  if (!doing.empty()) m_strError += std::string(" (while ") + std::string(doing) + ")";
  return false;
}

bool CResultsDb::Exec(const char* sql, std::string_view doing) {
  const int rc = sqlite3_exec(m_pDb, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK || Fail(rc, doing);
}

bool CResultsDb::Prepare(const char* sql, sqlite3_stmt*& stmt) {
  const int rc = sqlite3_prepare_v3(m_pDb, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  return rc == SQLITE_OK || Fail(rc, "preparing a statement");
}

bool CResultsDb::Open(const std::filesystem::path& file, DbMode mode, const DbOptions& options) {
  Close();
  // No other thread can reach this object until the flusher starts at the end.
  m_options = options;
  m_path = file;
  m_strFile = DisplayText(file.native());
  m_strError.clear();
  m_bFailed = false;
  m_nUnrecorded = 0;
  m_bStop = false;
  const int flags = (mode == DbMode::kRecord ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                             : SQLITE_OPEN_READONLY) |
                    SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(file.c_str(), &m_pDb, flags, nullptr);
  const auto abandon = [&](int code, std::string_view doing) {
    if (code != SQLITE_OK) Fail(code, doing);
    const std::string error = m_strError;
    Close();
    m_strError = error;
    return false;
  };
  if (rc != SQLITE_OK) return abandon(rc, "");
  sqlite3_busy_timeout(m_pDb, static_cast<int>(m_options.busyTimeout.count()));
  // SQLite opens a file it may not write for reading only, without an error.
  if (mode == DbMode::kRecord && sqlite3_db_readonly(m_pDb, "main") == 1) {
    return abandon(SQLITE_READONLY, "");
  }
  if (m_options.maxPages > 0) {
    const std::string cap = "PRAGMA max_page_count = " + std::to_string(m_options.maxPages);
    if (!Exec(cap.c_str(), "")) return abandon(SQLITE_OK, "");
  }
  // The first reads of the file: here a file of another kind shows itself.
  if (!CheckOwner()) return abandon(SQLITE_OK, "");
  if (mode == DbMode::kRecord) {
    // WAL lets the queries and a second run read while this one writes; FULL makes every
    // commit survive a power cut.
    // The switch fails at once, without the busy handler, while another connection reads
    // the file (two runs starting on a new file): it is retried for as long as the wait.
    CStatement wal(m_pDb, "PRAGMA journal_mode = WAL");
    const auto deadline = std::chrono::steady_clock::now() + m_options.busyTimeout;
    rc = wal.PrepareResult();
    while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
      sqlite3_reset(*wal);
      rc = sqlite3_step(*wal);
      if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) ||
          std::chrono::steady_clock::now() > deadline) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (rc != SQLITE_ROW) return abandon(rc, "switching to WAL mode");
    if (ColumnText(*wal, 0) != "wal") {
      m_strError = "results database " + m_strFile + ": cannot use WAL mode on this file system";
      return abandon(SQLITE_OK, "");
    }
  }
  // Lookups read the file through a map, not a read call per page; a cache that holds a
  // big library's table keeps commits from writing the same pages out again and again.
  if (!Exec("PRAGMA synchronous = FULL; PRAGMA mmap_size = 1073741824; PRAGMA cache_size = -32768",
            "") ||
      !Migrate()) {
    return abandon(SQLITE_OK, "");
  }
  if (!Prepare(kSelect, m_pSelect)) return abandon(SQLITE_OK, "");
  if (mode == DbMode::kRecord &&
      (!Prepare(kUpsert, m_pUpsert) ||
       !Prepare("SELECT id FROM versions WHERE text = ?1", m_pFindVersion) ||
       !Prepare("INSERT INTO versions(text) VALUES (?1)", m_pAddVersion))) {
    return abandon(SQLITE_OK, "");
  }
  if (mode == DbMode::kRecord) {
    try {
      m_flusher = std::thread(&CResultsDb::FlusherLoop, this);
    } catch (const std::system_error& e) {
      m_strError =
          "results database " + m_strFile + ": cannot start its writer: " + e.code().message();
      return abandon(SQLITE_OK, "");
    }
  }
  return true;
}

bool CResultsDb::ReadHeader(int64_t& version, int64_t& appId, int64_t& objects) {
  // One statement, so one snapshot: read apart, they could straddle another run's upgrade.
  CStatement stmt(m_pDb,
                  "SELECT (SELECT user_version FROM pragma_user_version),"
                  " (SELECT application_id FROM pragma_application_id),"
                  " (SELECT count(*) FROM sqlite_schema)");
  if (stmt.PrepareResult() != SQLITE_OK) return Fail(stmt.PrepareResult(), "");
  const int rc = sqlite3_step(*stmt);
  if (rc != SQLITE_ROW) return Fail(rc, "");
  version = sqlite3_column_int64(*stmt, 0);
  appId = sqlite3_column_int64(*stmt, 1);
  objects = sqlite3_column_int64(*stmt, 2);
  return true;
}

bool CResultsDb::IsOurs(int64_t version, int64_t appId, int64_t objects) {
  if ((appId != 0 || version != 0 || objects != 0) && appId != kApplicationId) {
    m_strError = "results database " + m_strFile +
                 ": a database of another program, not Harrowbit's results; it is left as it is";
    return false;
  }
  if (version > kSchemaVersion) {
    m_strError = "results database " + m_strFile + ": made by a newer Harrowbit (schema " +
                 std::to_string(version) + ", this one knows " + std::to_string(kSchemaVersion) +
                 ")";
    return false;
  }
  return true;
}

bool CResultsDb::CheckOwner() {
  // Before anything is written: a file that is not ours stays exactly as it was.
  int64_t version = 0, appId = 0, objects = 0;
  return ReadHeader(version, appId, objects) && IsOurs(version, appId, objects);
}

bool CResultsDb::Migrate() {
  int64_t version = 0, appId = 0, objects = 0;
  if (!ReadHeader(version, appId, objects)) return false;
  if (version == kSchemaVersion) return true;
  if (sqlite3_db_readonly(m_pDb, "main") == 1) {
    m_strError =
        "results database " + m_strFile +
        (version == 0 ? ": holds no results yet"
                      : ": an older schema; record one run into it to bring it up to date");
    return false;
  }
  // Another run may be upgrading the same file: decide again under the write lock.
  if (!Exec("BEGIN IMMEDIATE", "upgrading the schema")) return false;
  const auto rollback = [&] {
    sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  };
  if (!ReadHeader(version, appId, objects)) return rollback();
  if (version == 0 ? !IsOurs(version, appId, objects) : !IsOurs(version, appId, 0)) {
    return rollback();
  }
  for (; version < kSchemaVersion; ++version) {
    if (!Exec(kMigrations[version], "upgrading the schema")) return rollback();
  }
  const std::string stamp = "PRAGMA user_version = " + std::to_string(kSchemaVersion) +
                            "; PRAGMA application_id = " + std::to_string(kApplicationId);
  if (!Exec(stamp.c_str(), "upgrading the schema") || !Exec("COMMIT", "upgrading the schema")) {
    return rollback();
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
  if (m_pDb != nullptr && m_pUpsert != nullptr) FlushLocked(lock);
  for (sqlite3_stmt** stmt : {&m_pSelect, &m_pUpsert, &m_pFindVersion, &m_pAddVersion}) {
    sqlite3_finalize(*stmt);
    *stmt = nullptr;
  }
  m_versionIds.clear();
  m_versionTexts.clear();
  if (m_pDb != nullptr) EndRead();
  if (m_pDb != nullptr) sqlite3_close_v2(m_pDb);
  m_pDb = nullptr;
}

bool CResultsDb::Record(const VerdictRecord& record) {
  std::unique_lock lock(m_mutex);
  if (m_pUpsert == nullptr || m_bFailed) {
    ++m_nUnrecorded;
    return false;
  }
  if (m_queue.empty()) {
    m_oldestQueued = std::chrono::steady_clock::now();
    m_wake.notify_all();
  }
  m_queued[record.path] = m_queue.size();
  m_queue.push_back(record);
  if (m_queue.size() >= m_options.batchLimit) return FlushLocked(lock);
  return true;
}

bool CResultsDb::Flush() {
  std::unique_lock lock(m_mutex);
  return FlushLocked(lock);
}

bool CResultsDb::FlushLocked(std::unique_lock<std::mutex>&) {
  if (m_queue.empty() || m_pUpsert == nullptr) return !m_bFailed;
  std::vector<VerdictRecord> batch;
  batch.swap(m_queue);
  m_queued.clear();
  if (m_bFailed) {
    m_nUnrecorded += static_cast<int64_t>(batch.size());
    return false;
  }
  if (!CommitBatch(batch)) {
    m_bFailed = true;
    m_nUnrecorded += static_cast<int64_t>(batch.size());
    return false;
  }
  return true;
}

int64_t CResultsDb::VersionId(const std::string& text, int& rc) {
  if (const auto it = m_versionIds.find(text); it != m_versionIds.end()) return it->second;
  int64_t id = -1;
  {
    CReset reset(m_pFindVersion);
    sqlite3_bind_text(m_pFindVersion, 1, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    rc = sqlite3_step(m_pFindVersion);
    if (rc == SQLITE_ROW) id = sqlite3_column_int64(m_pFindVersion, 0);
  }
  if (rc == SQLITE_DONE) {
    CReset reset(m_pAddVersion);
    sqlite3_bind_text(m_pAddVersion, 1, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    rc = sqlite3_step(m_pAddVersion);
    if (rc != SQLITE_DONE) return -1;
    id = sqlite3_last_insert_rowid(m_pDb);
  } else if (rc != SQLITE_ROW) {
    return -1;
  }
  // Known only once the batch commits: a rolled-back id must not be reused.
  return id;
}

bool CResultsDb::CommitBatch(std::vector<VerdictRecord>& batch) {
  // IMMEDIATE takes the write lock now, where the busy timeout applies, instead of failing
  // halfway through the batch when another run holds it.
  EndRead();
  if (!Exec("BEGIN IMMEDIATE", "recording verdicts")) return false;
  std::unordered_map<std::string, int64_t> newIds;
  int rc = SQLITE_OK;
  for (const VerdictRecord& r : batch) {
    int64_t version = 0;
    if (const auto it = newIds.find(r.libraryVersion); it != newIds.end()) {
      version = it->second;
    } else {
      version = VersionId(r.libraryVersion, rc);
      if (version < 0) break;
      newIds.emplace(r.libraryVersion, version);
    }
    CReset reset(m_pUpsert);
    BindBytes(m_pUpsert, 1, r.path);
    sqlite3_bind_int64(m_pUpsert, 2, static_cast<sqlite3_int64>(r.identity.device));
    sqlite3_bind_int64(m_pUpsert, 3, static_cast<sqlite3_int64>(r.identity.inode));
    sqlite3_bind_int64(m_pUpsert, 4, r.identity.size);
    sqlite3_bind_int64(m_pUpsert, 5, r.identity.mtimeNs);
    const std::string_view verdict = StoredVerdictName(r.verdict);
    sqlite3_bind_text(m_pUpsert, 6, verdict.data(), static_cast<int>(verdict.size()),
                      SQLITE_STATIC);
    if (r.verdict == StoredVerdict::kError) {
      sqlite3_bind_text(m_pUpsert, 7, r.reason.data(), static_cast<int>(r.reason.size()),
                        SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(m_pUpsert, 7);
    }
    BindOptional(m_pUpsert, 8, r.position);
    BindOptional(m_pUpsert, 9, r.length);
    const std::string_view kind = CheckKindName(r.kind);
    sqlite3_bind_text(m_pUpsert, 10, kind.data(), static_cast<int>(kind.size()), SQLITE_STATIC);
    sqlite3_bind_int64(m_pUpsert, 11, r.checkedAtMs);
    sqlite3_bind_int64(m_pUpsert, 12, version);
    rc = sqlite3_step(m_pUpsert);
    if (rc != SQLITE_DONE) break;
  }
  if (rc != SQLITE_DONE && rc != SQLITE_OK) {
    Fail(rc, "recording verdicts");
    sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  rc = sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    Fail(rc, "recording verdicts");
    sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  m_versionIds.merge(newIds);
  return true;
}

void CResultsDb::FlusherLoop() {
  std::unique_lock lock(m_mutex);
  while (!m_bStop) {
    if (m_queue.empty()) {
      m_wake.wait(lock, [&] { return m_bStop || !m_queue.empty(); });
      continue;
    }
    const auto due = m_oldestQueued + m_options.commitInterval;
    if (m_wake.wait_until(lock, due, [&] { return m_bStop || m_queue.empty(); })) continue;
    FlushLocked(lock);
  }
}

const std::string& CResultsDb::VersionText(int64_t id) {
  // Few texts, many files: each is read once. Rows of versions never change.
  auto it = m_versionTexts.find(id);
  if (it == m_versionTexts.end()) {
    CStatement stmt(m_pDb, "SELECT text FROM versions WHERE id = ?1");
    sqlite3_bind_int64(*stmt, 1, id);
    std::string text = sqlite3_step(*stmt) == SQLITE_ROW ? ColumnText(*stmt, 0) : std::string();
    it = m_versionTexts.emplace(id, std::move(text)).first;
  }
  return it->second;
}

void CResultsDb::EndRead() {
  if (!m_bReading) return;
  m_bReading = false;
  sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
}

std::optional<StoredRecord> CResultsDb::Last(std::string_view pathKey) {
  std::lock_guard lock(m_mutex);
  if (const auto it = m_queued.find(std::string(pathKey)); it != m_queued.end()) {
    return m_queue[it->second];
  }
  if (m_pSelect == nullptr) return std::nullopt;
  // Lookups share one read transaction for a moment: a transaction per lookup would cost
  // more than the lookup. Kept short, so that other runs' commits show soon and their
  // checkpoints are not held up.
  const auto now = std::chrono::steady_clock::now();
  if (m_bReading && now - m_readSince > std::chrono::milliseconds(200)) EndRead();
  if (!m_bReading && sqlite3_exec(m_pDb, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK) {
    m_bReading = true;
    m_readSince = now;
  }
  CReset reset(m_pSelect);
  BindBytes(m_pSelect, 1, pathKey);
  const int rc = sqlite3_step(m_pSelect);
  if (rc != SQLITE_ROW) {
    if (rc != SQLITE_DONE && m_strError.empty()) Fail(rc, "looking up a file");
    return std::nullopt;
  }
  StoredRecord r;
  r.path = std::string(pathKey);
  r.identity.device = static_cast<uint64_t>(sqlite3_column_int64(m_pSelect, 0));
  r.identity.inode = static_cast<uint64_t>(sqlite3_column_int64(m_pSelect, 1));
  r.identity.size = sqlite3_column_int64(m_pSelect, 2);
  r.identity.mtimeNs = sqlite3_column_int64(m_pSelect, 3);
  r.verdict = ColumnText(m_pSelect, 4) == "ok" ? StoredVerdict::kOk : StoredVerdict::kError;
  r.reason = ColumnText(m_pSelect, 5);
  r.position = ColumnOptional(m_pSelect, 6);
  r.length = ColumnOptional(m_pSelect, 7);
  r.kind = KindOf(ColumnText(m_pSelect, 8));
  r.checkedAtMs = sqlite3_column_int64(m_pSelect, 9);
  r.libraryVersion = VersionText(sqlite3_column_int64(m_pSelect, 10));
  return r;
}

bool CResultsDb::Errors(std::vector<ErrorRow>& rows) {
  rows.clear();
  std::unique_lock lock(m_mutex);
  FlushLocked(lock);
  if (m_pDb == nullptr) return false;
  EndRead();
  CStatement stmt(m_pDb,
                  "SELECT path, reason, position, length, kind, checked_at FROM files "
                  "INDEXED BY files_with_errors WHERE verdict = 'error' ORDER BY path");
  if (stmt.PrepareResult() != SQLITE_OK) return Fail(stmt.PrepareResult(), "listing errors");
  int rc;
  while ((rc = sqlite3_step(*stmt)) == SQLITE_ROW) {
    ErrorRow row;
    row.path = ColumnBytes(*stmt, 0);
    row.reason = ColumnText(*stmt, 1);
    row.position = ColumnOptional(*stmt, 2);
    row.length = ColumnOptional(*stmt, 3);
    row.kind = KindOf(ColumnText(*stmt, 4));
    row.checkedAtMs = sqlite3_column_int64(*stmt, 5);
    rows.push_back(std::move(row));
  }
  return rc == SQLITE_DONE || Fail(rc, "listing errors");
}

bool CResultsDb::CoverageUnder(std::string_view folderKey, double days, int64_t nowMs,
                               Coverage& out) {
  out = {};
  std::unique_lock lock(m_mutex);
  FlushLocked(lock);
  if (m_pDb == nullptr) return false;
  EndRead();
  // A range of the primary key, not LIKE: '%' and '_' are ordinary bytes in a name, and
  // "/music" must not take in "/music2". '0' is the byte after '/'.
  std::string folder(folderKey);
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  const std::string low = folder + '/';
  const std::string high = folder + '0';
  CStatement stmt(m_pDb,
                  "SELECT count(*), coalesce(sum(checked_at > ?4), 0) FROM files"
                  " WHERE path = ?1 OR (path >= ?2 AND path < ?3)");
  if (stmt.PrepareResult() != SQLITE_OK) return Fail(stmt.PrepareResult(), "measuring coverage");
  BindBytes(*stmt, 1, folder);
  BindBytes(*stmt, 2, low);
  BindBytes(*stmt, 3, high);
  // In doubles and clamped: any number of days, even a silly one, gives a sound bound.
  const double window = days > 0 ? days * 86'400'000.0 : 0;
  const double cut = std::clamp(static_cast<double>(nowMs) - window, -9.0e18, 9.0e18);
  sqlite3_bind_int64(*stmt, 4, static_cast<sqlite3_int64>(cut));
  const int rc = sqlite3_step(*stmt);
  if (rc != SQLITE_ROW) return Fail(rc, "measuring coverage");
  out.recorded = sqlite3_column_int64(*stmt, 0);
  out.checkedWithin = sqlite3_column_int64(*stmt, 1);
  return true;
}

std::string CResultsDb::ErrorText() const {
  std::lock_guard lock(m_mutex);
  return m_strError;
}

bool CResultsDb::Failed() const {
  std::lock_guard lock(m_mutex);
  return m_bFailed;
}

int64_t CResultsDb::Unrecorded() const {
  std::lock_guard lock(m_mutex);
  return m_nUnrecorded;
}
