// What the database is asked: one file's last record, the errors, the records under a
// folder.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "db/results_db.h"
#include "platform/path_bytes.h"

namespace {

std::string_view ColumnView(sqlite3_stmt* stmt, int column) {
  const void* data = sqlite3_column_blob(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  if (data == nullptr || size <= 0) return {};
  return {static_cast<const char*>(data), static_cast<std::size_t>(size)};
}

CheckKind KindOf(std::string_view name) {
  return name == "quick" ? CheckKind::kQuick : CheckKind::kFull;
}

// Columns device, inode, size, mtime_ns and the change time from `first` on.
FileIdentity ColumnIdentity(sqlite3_stmt* stmt, int first) {
  FileIdentity id;
  id.device = static_cast<uint64_t>(sqlite3_column_int64(stmt, first));
  id.inode = static_cast<uint64_t>(sqlite3_column_int64(stmt, first + 1));
  id.size = sqlite3_column_int64(stmt, first + 2);
  id.mtimeNs = sqlite3_column_int64(stmt, first + 3);
  id.ctimeNs = sqlite3_column_type(stmt, first + 4) == SQLITE_NULL
                   ? kUnknownTimeNs
                   : sqlite3_column_int64(stmt, first + 4);
  return id;
}

}  // namespace

const std::string& CResultsDb::VersionText(int64_t id) {
  // Few texts, many files: each is read once. Rows of versions never change.
  auto it = m_versionTexts.find(id);
  if (it == m_versionTexts.end()) {
    CStatement stmt(Db(), "SELECT text FROM versions WHERE id = ?1");
    sqlite3_bind_int64(*stmt, 1, id);
    std::string text = sqlite3_step(*stmt) == SQLITE_ROW ? ColumnText(*stmt, 0) : std::string();
    it = m_versionTexts.emplace(id, std::move(text)).first;
  }
  return it->second;
}

void CResultsDb::EndRead() {
  // What was read in the transaction may be stale after it.
  m_folder.reset();
  if (!m_bReading) return;
  m_bReading = false;
  sqlite3_exec(Db(), "COMMIT", nullptr, nullptr, nullptr);
}

void CResultsDb::BeginRead() {
  // Lookups share one read transaction for a moment: a transaction per lookup would cost
  // more than the lookup. Kept short, so that other runs' commits show soon and their
  // checkpoints are not held up.
  const auto now = std::chrono::steady_clock::now();
  if (m_bReading && now - m_readSince > m_options.readMoment) EndRead();
  if (!m_bReading && sqlite3_exec(Db(), "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK) {
    m_bReading = true;
    m_readSince = now;
  }
}

StoredRecord CResultsDb::ReadRecord(sqlite3_stmt* select, int first) {
  const auto column = [first](int n) { return first + n; };
  StoredRecord r;
  r.identity = ColumnIdentity(select, column(0));
  r.verdict = StoredVerdictNamed(ColumnView(select, column(5)));
  r.reason = ColumnText(select, column(6));
  r.position = ColumnOptional(select, column(7));
  r.length = ColumnOptional(select, column(8));
  r.kind = KindOf(ColumnView(select, column(9)));
  r.checkedAtMs = sqlite3_column_int64(select, column(10));
  r.libraryVersion = VersionText(sqlite3_column_int64(select, column(11)));
  r.codec = ColumnText(select, column(12));
  r.strict = sqlite3_column_int(select, column(13)) != 0;
  if (sqlite3_column_type(select, column(14)) != SQLITE_NULL) {
    DecodeWarnings(ColumnText(select, column(14)), r);
  }
  r.skippedLinks = ColumnText(select, column(15));
  r.md5Unverifiable = sqlite3_column_int(select, column(16)) != 0;
  if (const void* hash = sqlite3_column_blob(select, column(17));
      hash != nullptr && sqlite3_column_bytes(select, column(17)) == std::tuple_size_v<AudioHash>) {
    r.audioHash.emplace();
    std::memcpy(r.audioHash->data(), hash, r.audioHash->size());
  }
  if (sqlite3_column_type(select, column(18)) != SQLITE_NULL) {
    r.audioChangedFromMs = sqlite3_column_int64(select, column(18));
  }
  return r;
}

namespace {

// Columns of m_selectFolder after those of a record.
constexpr int kFolderPathColumn = 19;
constexpr int kFolderReachColumn = 20;
// The most records of one folder held at once: a folder of more is asked file by file.
constexpr int64_t kFolderRows = 4096;

}  // namespace

bool CResultsDb::ReadFolder(std::string_view folder) {
  m_folder.emplace();
  m_folder->folder.assign(folder);
  m_folder->records = std::make_shared<std::vector<StoredRecord>>();
  const auto none = [this] {
    m_folder->names.clear();
    m_folder->records->clear();
    return false;
  };
  // The keys in the folder are those from its separator up to the byte after it; rows
  // of a subfolder are stepped over by starting again after its range.
  const std::string high =
      std::string(folder.substr(0, folder.size() - 1)) + static_cast<char>(kPathSeparator + 1);
  std::string low(folder);
  sqlite3_stmt* const select = *m_selectFolder;
  for (int64_t rows = 0;;) {
    const CReset reset(select);
    BindBytes(select, 1, low);
    BindBytes(select, 2, high);
    int rc;
    bool subfolder = false;
    while (!subfolder && (rc = sqlite3_step(select)) == SQLITE_ROW) {
      ++m_nRowsInPasses;
      if (++rows > kFolderRows) return none();
      const std::string_view path = ColumnView(select, kFolderPathColumn);
      const std::size_t separator = path.find(kPathSeparator, folder.size());
      if (separator != std::string_view::npos) {
        low.assign(path.substr(0, separator));
        low += static_cast<char>(kPathSeparator + 1);
        subfolder = true;
        continue;
      }
      m_folder->names.emplace_back(path.substr(folder.size()));
      StoredRecord& r = m_folder->records->emplace_back(ReadRecord(select, 0));
      r.reach = ColumnView(select, kFolderReachColumn) == ReachName(Reach::kAllCodecs)
                    ? Reach::kAllCodecs
                    : Reach::kVorbis;
    }
    if (subfolder) continue;
    if (rc != SQLITE_DONE) return none();
    m_folder->read = true;
    return true;
  }
}

std::shared_ptr<const StoredRecord> CResultsDb::FromFolder(std::string_view pathKey,
                                                           Reach reach) const {
  const std::string_view name = pathKey.substr(m_folder->folder.size());
  const auto& names = m_folder->names;
  auto i =
      static_cast<std::size_t>(std::lower_bound(names.begin(), names.end(), name) - names.begin());
  for (; i < names.size() && names[i] == name; ++i) {
    const StoredRecord& r = (*m_folder->records)[i];
    if (r.reach == reach) return {m_folder->records, &r};
  }
  return nullptr;
}

CResultsDb::LookupCounts CResultsDb::Lookups() const {
  std::lock_guard lock(m_mutex);
  return {m_nAskedAlone, m_nRowsInPasses};
}

std::optional<StoredRecord> CResultsDb::Last(std::string_view pathKey, Reach reach) {
  const auto r = Recorded(pathKey, reach);
  if (!r) return std::nullopt;
  StoredRecord last = *r;
  last.path = pathKey;
  return last;
}

std::shared_ptr<const StoredRecord> CResultsDb::Recorded(std::string_view pathKey, Reach reach) {
  std::lock_guard lock(m_mutex);
  if (const auto& queued = m_queued[static_cast<int>(reach)]; !queued.empty()) {
    if (const auto it = queued.find(std::string(pathKey)); it != queued.end()) {
      return std::make_shared<StoredRecord>(m_queue[it->second]);
    }
  }
  if (!m_select) return nullptr;
  BeginRead();
  ++m_nAsked;
  // What is read in a pass answers for as long as the read transaction is open.
  if (const std::size_t separator = pathKey.rfind(kPathSeparator);
      m_bReading && separator != std::string_view::npos) {
    const std::string_view folder = pathKey.substr(0, separator + 1);
    if (m_folder && m_folder->folder == folder) {
      if (m_folder->read) return FromFolder(pathKey, reach);
    } else if (folder == m_strLastFolderAsked && m_nRowsInPasses <= 4 * m_nAsked &&
               ReadFolder(folder)) {
      return FromFolder(pathKey, reach);
    }
    m_strLastFolderAsked.assign(folder);
  }
  ++m_nAskedAlone;
  sqlite3_stmt* const select = *m_select;
  CReset reset(select);
  BindBytes(select, 1, pathKey);
  BindText(select, 2, ReachName(reach));
  const int rc = sqlite3_step(select);
  if (rc != SQLITE_ROW) {
    if (rc != SQLITE_DONE && m_strError.empty()) Fail(rc, "looking up a file");
    return nullptr;
  }
  auto r = std::make_shared<StoredRecord>(ReadRecord(select, 0));
  r->reach = reach;
  return r;
}

bool CResultsDb::Errors(std::vector<ErrorRow>& rows) {
  rows.clear();
  std::unique_lock lock(m_mutex);
  FlushLocked(lock);
  if (!m_connection) return false;
  EndRead();
  const std::string sql =
      "SELECT path, reason, position, length, kind, checked_at, device, inode,"
      " size, mtime_ns, " +
      CtimeColumn() + " FROM files AS f INDEXED BY files_with_errors WHERE verdict = 'error'" +
      // Before schema 4 a file has one row.
      std::string(m_nVersion >= 4 ? " AND (reach = 'all-codecs' OR NOT EXISTS (SELECT 1"
                                    " FROM files AS wider WHERE wider.path = f.path"
                                    " AND wider.reach = 'all-codecs'))"
                                  : "") +
      " ORDER BY path";
  CStatement stmt(Db(), sql.c_str());
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
    row.identity = ColumnIdentity(*stmt, 6);
    rows.push_back(std::move(row));
  }
  return rc == SQLITE_DONE || Fail(rc, "listing errors");
}

bool CResultsDb::AudioChanges(std::vector<AudioChangeRow>& rows) {
  rows.clear();
  std::unique_lock lock(m_mutex);
  FlushLocked(lock);
  if (!m_connection) return false;
  EndRead();
  // Before schema 5 nothing was heard.
  if (m_nVersion < 5) return true;
  CStatement stmt(Db(),
                  "SELECT path, max(checked_at), max(audio_changed_from) FROM files"
                  " WHERE audio_changed_from IS NOT NULL GROUP BY path ORDER BY path");
  if (stmt.PrepareResult() != SQLITE_OK) return Fail(stmt.PrepareResult(), "listing changes");
  int rc;
  while ((rc = sqlite3_step(*stmt)) == SQLITE_ROW) {
    rows.push_back(
        {ColumnBytes(*stmt, 0), sqlite3_column_int64(*stmt, 1), sqlite3_column_int64(*stmt, 2)});
  }
  return rc == SQLITE_DONE || Fail(rc, "listing changes");
}

bool CResultsDb::CoverageUnder(std::string_view folderKey, double days, int64_t nowMs,
                               Coverage& out) {
  out = {};
  std::unique_lock lock(m_mutex);
  FlushLocked(lock);
  if (!m_connection) return false;
  EndRead();
  // A range of the primary key, not LIKE: '%' and '_' are ordinary bytes in a name, and
  // "/music" must not take in "/music2". '0' is the byte after '/'.
  std::string folder(folderKey);
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  const std::string low = folder + '/';
  const std::string high = folder + '0';
  // A file checked for each reach counts once, by its latest check.
  CStatement stmt(Db(),
                  "SELECT count(*), coalesce(sum(latest > ?4), 0) FROM (SELECT max(checked_at)"
                  " AS latest FROM files WHERE path = ?1 OR (path >= ?2 AND path < ?3)"
                  " GROUP BY path)");
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
