#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "db/db_statement.h"
#include "db/verdict_record.h"

// The reach of a row recorded before reaches were: a check of Vorbis only recorded
// "vorbis" whatever the file held, and a check of every codec records "vorbis" only for a
// file it hands whole to the Vorbis check, whose verdict it then is.
inline constexpr char kReachOfCodec[] =
    "CASE codec WHEN 'vorbis' THEN 'vorbis' ELSE 'all-codecs' END";

struct DbOptions {
  // How long to wait for another run that holds the database before giving up. Runs that
  // share a database (a list spread by GNU parallel) take turns at each commit, and SQLite's
  // waiting is not first come, first served: on a loaded machine one run can lose the race
  // for seconds on end, and giving up there would leave the rest of its verdicts unrecorded.
  std::chrono::milliseconds busyTimeout{60000};
  // No verdict waits longer than this to be committed: what a power cut or kill -9 can cost.
  std::chrono::milliseconds commitInterval{1000};
  std::size_t batchLimit = 10000;
  // How long lookups share one read transaction, and what was read in it answers: another
  // run's commits show after at most this long.
  std::chrono::milliseconds readMoment{200};
  // A cap on the file's size in pages, 0 for none; reaching it fails as a full disk does.
  int64_t maxPages = 0;
};

enum class DbMode {
  kRecord,  // create if missing, upgrade an older schema, record verdicts
  kQuery    // read only: the file must exist and hold results; nothing is written
};

// A file whose last check found an error.
struct ErrorRow {
  std::string path;
  std::string reason;
  std::optional<double> position;
  std::optional<double> length;
  CheckKind kind = CheckKind::kFull;
  int64_t checkedAtMs = 0;
  FileIdentity identity;      // the file as it was checked
  bool changedSince = false;  // see LeaveOutGone
};

// A file whose last check found its sound changed (--show-changes).
struct AudioChangeRow {
  std::string path;
  int64_t checkedAtMs = 0;
  // The check before, which heard the other sound.
  int64_t wasCheckedAtMs = 0;
};

// How much of a folder the database has seen lately.
struct Coverage {
  int64_t recorded = 0;       // files under the folder with a record
  int64_t checkedWithin = 0;  // of those, checked within the asked number of days
};

// The results database: one SQLite file in WAL mode with one row per file and reach, the
// last verdict of a check of that reach about it. Verdicts are queued and committed
// together, by a thread of this object at most DbOptions::commitInterval after the oldest
// was queued (however long the next file takes to decode), when batchLimit are queued, and
// at Close(). Recording and lookups cost microseconds; they wait only while a commit is under way.
// Errors are values: a false or empty result leaves the reason, naming the file, in ErrorText().
//
// For the newly-damaged rule, call Last() for a file before Record() of its new verdict.
// Any one thread may use the object; calls are serialised.
//
// The first failure to commit (full disk, lock held beyond the wait, I/O error) ends
// recording for this object: its queued verdicts and every later one count in
// Unrecorded(), while lookups go on answering from what is stored.
class CResultsDb {
 public:
  CResultsDb() = default;
  ~CResultsDb();
  CResultsDb(const CResultsDb&) = delete;
  CResultsDb& operator=(const CResultsDb&) = delete;

  // A query opens a file with no -wal beside it (closed cleanly: all is in the file) as
  // immutable, taking no locks and making no -wal or -shm, which a reader could not remove
  // and which cannot be made on a read-only mount or in another user's folder. Any older
  // schema with results can be queried.
  bool Open(const std::filesystem::path& file, DbMode mode, const DbOptions& options = {});
  // Commits what is queued and closes; afterwards Unrecorded() is final.
  void Close();

  // Queues a verdict; false when it will not be recorded.
  bool Record(const VerdictRecord& record);
  // The last verdict of a check of `reach` recorded for `pathKey` (this run's queued ones
  // included), or nullopt.
  std::optional<StoredRecord> Last(std::string_view pathKey, Reach reach = Reach::kVorbis);
  // The same, shared rather than copied, and with its path left empty (the caller has
  // it): a sweep asks for every file of a library, and a record read with its folder is
  // handed out as it is held.
  std::shared_ptr<const StoredRecord> Recorded(std::string_view pathKey,
                                               Reach reach = Reach::kVorbis);
  // Commits what is queued now; false when that failed.
  bool Flush();

  // Files whose last verdict was an error, in byte order of their paths. A file checked for
  // every codec is listed by that check's verdict: it saw what the Vorbis check saw and more.
  bool Errors(std::vector<ErrorRow>& rows);
  // Files whose last check of either reach found their sound changed, in byte order of
  // their paths, once each.
  bool AudioChanges(std::vector<AudioChangeRow>& rows);
  // Files under `folderKey` (a PathKey; the folder itself counts if it was recorded as a
  // file) and how many of them were checked less than `days` days before `nowMs`.
  bool CoverageUnder(std::string_view folderKey, double days, int64_t nowMs, Coverage& out);

  // What the lookups cost so far: files looked up alone, and rows stepped over by the
  // passes over folders (see Last).
  struct LookupCounts {
    int64_t alone = 0;
    int64_t rowsInPasses = 0;
  };
  LookupCounts Lookups() const;

  std::string ErrorText() const;
  int64_t Unrecorded() const;

  // For a query: false when what it read may be torn, because another run wrote to the
  // file while it was read without locks (see Open); ask again then.
  bool ReadWasStable() const;

  // The schema this build writes, kept in PRAGMA user_version.
  static constexpr int kSchemaVersion = 5;
  // PRAGMA application_id of a Harrowbit results database ("HRBT").
  static constexpr int32_t kApplicationId = 0x48524254;

 private:
  int OpenErrno() const;
  bool Fail(int code, std::string_view doing);
  bool Exec(const char* sql, std::string_view doing);
  bool Prepare(const std::string& sql, CStatement& stmt);
  bool OpenConnection(DbMode mode);
  sqlite3* Db() const { return m_connection.get(); }
  bool UseWal();
  bool ReadHeader(int64_t& version, int64_t& appId, int64_t& objects);
  bool IsOurs(int64_t version, int64_t appId, int64_t objects);
  bool CheckOwner();
  bool Migrate();
  bool CommitBatch(std::vector<VerdictRecord>& batch);
  bool FlushLocked(std::unique_lock<std::mutex>& lock);
  int64_t VersionId(const std::string& text, int& rc);
  void FlusherLoop();
  void EndRead();
  const std::string& VersionText(int64_t id);
  // The change time as the stored schema has it: schema 1 has none.
  std::string CtimeColumn() const;
  // The codec column, or 'vorbis' for a database of schema 1, read as it is.
  std::string CodecColumn() const;
  // Whether the check was strict and what it found, as the stored schema has them.
  std::string StrictColumns() const;
  // The reach of a row (kReachOfCodec before schema 4), and what its check left unverified.
  std::string ReachColumn() const;
  std::string FactsColumns() const;
  // The audio hash and when the sound was last heard different (schema 5), or NULLs.
  std::string AudioHashColumn() const;
  // The read transaction of the lookups (see Last), begun if none is open.
  void BeginRead();
  // The record in the row `select` stands on, its columns as m_select's from `first` on.
  StoredRecord ReadRecord(sqlite3_stmt* select, int first);
  // Reads the records of the files in `folder` (a key up to its last separator), not in
  // its subfolders, into m_folder; false when there were too many to hold or they could
  // not be read, and each file is then asked for alone.
  bool ReadFolder(std::string_view folder);
  std::shared_ptr<const StoredRecord> FromFolder(std::string_view pathKey, Reach reach) const;

  std::filesystem::path m_path;
  std::string m_strFile;  // for messages
  DbOptions m_options;
  // Declared before the statements, which go first.
  CConnection m_connection;
  int64_t m_nVersion = 0;  // the stored schema
  // Read without locks (see Open), and the file as it was then.
  bool m_bImmutable = false;
  std::optional<FileIdentity> m_openedAs;
  CStatement m_select;
  CStatement m_selectFolder;
  CStatement m_upsert;
  CStatement m_findVersion;
  CStatement m_addVersion;
  std::unordered_map<std::string, int64_t> m_versionIds;  // committed rows only
  std::unordered_map<int64_t, std::string> m_versionTexts;

  // Everything below, and every use of the connection, under m_mutex.
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  std::vector<VerdictRecord> m_queue;
  // By reach, path -> its newest in m_queue.
  std::unordered_map<std::string, std::size_t> m_queued[2];
  std::chrono::steady_clock::time_point m_oldestQueued;
  bool m_bStop = false;
  bool m_bReading = false;  // a read transaction is open for lookups
  std::chrono::steady_clock::time_point m_readSince;
  // A sweep asks for its files folder by folder: the second file asked for in a folder
  // reads the records of the whole folder in one pass over the key's range, which
  // answer until the read transaction ends (a commit, or after its moment). More rows
  // are never read in passes than a few per file asked for, however the files come.
  struct FolderRecords {
    std::string folder;
    // In the order of their keys, which all begin with `folder`: the names after it, and
    // the records, held together and handed out sharing their hold (their paths empty).
    std::vector<std::string> names;
    std::shared_ptr<std::vector<StoredRecord>> records;
    bool read = false;  // false: too many, or unreadable: ask file by file
  };
  std::optional<FolderRecords> m_folder;
  std::string m_strLastFolderAsked;
  int64_t m_nAsked = 0;
  int64_t m_nAskedAlone = 0;
  int64_t m_nRowsInPasses = 0;
  bool m_bFailed = false;
  int64_t m_nUnrecorded = 0;
  std::string m_strError;
  std::thread m_flusher;
};
