// The schema: what a results database holds, how an older one is brought up to date, and
// how a file of another kind is told apart before anything is written to it.

#include "db/results_db.h"

namespace {

// One row per file: the newly-damaged rule and --skip-checked need only the last verdict,
// and a history would grow with every nightly sweep.
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

// The inode change time, NULL in the rows of schema 1: they never stand for a fresh check
// until the file is checked again. The codec of the check, for the other Ogg formats.
const char kAddChangeTimeAndCodec[] =
    "ALTER TABLE files ADD COLUMN ctime_ns INTEGER;"
    "ALTER TABLE files ADD COLUMN codec TEXT NOT NULL DEFAULT 'vorbis';";

// Whether a check held the file to the format rules (--strict), and the breaches it found
// (see EncodeWarnings). Rows before it were not strict: they never stand for a strict check.
const char kAddStrict[] =
    "ALTER TABLE files ADD COLUMN strict INTEGER NOT NULL DEFAULT 0 CHECK (strict IN (0, 1));"
    "ALTER TABLE files ADD COLUMN warnings TEXT;";

// A record per file and reach (see Reach): a check of Vorbis only and one of every codec
// each compare with, and replace, their own. Rows before it take the reach their codec
// implies (kReachOfCodec). A check of every codec also records a file in no codec it
// checks, so that an error of the Vorbis check does not stand for what the wider check
// says of it. What a check left unverified is kept for the report of a record that
// stands. The key changes, so the table is made anew.
const std::string kAddReachAndFacts =
    "CREATE TABLE files_by_reach("
    " path BLOB NOT NULL,"
    " reach TEXT NOT NULL CHECK (reach IN ('vorbis', 'all-codecs')),"
    " device INTEGER NOT NULL, inode INTEGER NOT NULL,"
    " size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, ctime_ns INTEGER,"
    " verdict TEXT NOT NULL CHECK (verdict IN ('ok', 'error', 'unsupported')),"
    " reason TEXT, position REAL, length REAL,"
    " kind TEXT NOT NULL CHECK (kind IN ('full', 'quick')),"
    " checked_at INTEGER NOT NULL,"
    " version INTEGER NOT NULL REFERENCES versions(id),"
    " codec TEXT NOT NULL,"
    " strict INTEGER NOT NULL CHECK (strict IN (0, 1)), warnings TEXT,"
    " skipped_links TEXT,"
    " md5_unverifiable INTEGER NOT NULL DEFAULT 0 CHECK (md5_unverifiable IN (0, 1)),"
    " PRIMARY KEY (path, reach)"
    ") WITHOUT ROWID;"
    "INSERT INTO files_by_reach(path, reach, device, inode, size, mtime_ns, ctime_ns, verdict,"
    " reason, position, length, kind, checked_at, version, codec, strict, warnings)"
    " SELECT path, " +
    std::string(kReachOfCodec) +
    ", device, inode, size, mtime_ns, ctime_ns, verdict, reason, position, length, kind,"
    " checked_at, version, codec, strict, warnings FROM files;"
    "DROP TABLE files;"
    "ALTER TABLE files_by_reach RENAME TO files;"
    "CREATE INDEX files_with_errors ON files(path) WHERE verdict = 'error';";

// The hash of the file's sound at that check (FileVerdict::audioHash), NULL where it did
// not decode to its end: rows before it gain one at their next check. Where that check
// found the sound changed since the check before, that check's time (--show-changes).
const char kAddAudioHash[] =
    "ALTER TABLE files ADD COLUMN audio_hash BLOB;"
    "ALTER TABLE files ADD COLUMN audio_changed_from INTEGER;";

// Step n takes a database from user_version n to n + 1.
const char* const kMigrations[] = {kCreateSchema, kAddChangeTimeAndCodec, kAddStrict,
                                   kAddReachAndFacts.c_str(), kAddAudioHash};
static_assert(std::size(kMigrations) == CResultsDb::kSchemaVersion);

}  // namespace

bool CResultsDb::ReadHeader(int64_t& version, int64_t& appId, int64_t& objects) {
  // One statement, so one snapshot: read apart, they could straddle another run's upgrade.
  CStatement stmt(Db(),
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

std::string CResultsDb::CtimeColumn() const { return m_nVersion >= 2 ? "ctime_ns" : "NULL"; }

std::string CResultsDb::CodecColumn() const { return m_nVersion >= 2 ? "codec" : "'vorbis'"; }
std::string CResultsDb::StrictColumns() const {
  return m_nVersion >= 3 ? "strict, warnings" : "0, NULL";
}
std::string CResultsDb::ReachColumn() const {
  if (m_nVersion >= 4) return "reach";
  return m_nVersion >= 2 ? kReachOfCodec : "'vorbis'";
}
std::string CResultsDb::FactsColumns() const {
  return m_nVersion >= 4 ? "skipped_links, md5_unverifiable" : "NULL, 0";
}
std::string CResultsDb::AudioHashColumn() const {
  return m_nVersion >= 5 ? "audio_hash, audio_changed_from" : "NULL, NULL";
}

bool CResultsDb::Migrate() {
  int64_t version = 0, appId = 0, objects = 0;
  if (!ReadHeader(version, appId, objects)) return false;
  m_nVersion = version;
  if (version == kSchemaVersion) return true;
  if (sqlite3_db_readonly(Db(), "main") == 1) {
    // A query reads an older schema as it is: it needs only reading.
    if (version > 0) return true;
    m_strError = "results database " + m_strFile + ": holds no results yet";
    return false;
  }
  // Another run may be upgrading the same file: decide again under the write lock.
  if (!Exec("BEGIN IMMEDIATE", "upgrading the schema")) return false;
  const CTransaction upgrade(Db());
  if (!ReadHeader(version, appId, objects)) return false;
  if (version == 0 ? !IsOurs(version, appId, objects) : !IsOurs(version, appId, 0)) {
    return false;
  }
  for (; version < kSchemaVersion; ++version) {
    if (!Exec(kMigrations[version], "upgrading the schema")) return false;
  }
  const std::string stamp = "PRAGMA user_version = " + std::to_string(kSchemaVersion) +
                            "; PRAGMA application_id = " + std::to_string(kApplicationId);
  if (!Exec(stamp.c_str(), "upgrading the schema") || !Exec("COMMIT", "upgrading the schema")) {
    return false;
  }
  m_nVersion = kSchemaVersion;
  return true;
}
