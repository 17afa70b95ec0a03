#include "db/results_db.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "tests/db/db_test_support.h"
#include "tests/support/temp_dir.h"
#include "text/path_text.h"

namespace {

using std::chrono::milliseconds;

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

VerdictRecord Verdict(std::string path, int64_t checkedAtMs = 1'700'000'000'000) {
  VerdictRecord r;
  r.path = std::move(path);
  r.identity = {2049, 131, 4096, 1'690'000'000'123'456'789, 1'690'000'001'987'654'321};
  r.checkedAtMs = checkedAtMs;
  r.libraryVersion = "Xiph.Org libVorbis I 20200704 (Reducing Environment)";
  return r;
}

void ExpectSame(const VerdictRecord& a, const VerdictRecord& b) {
  EXPECT_EQ(a.path, b.path);
  EXPECT_EQ(a.identity, b.identity);
  EXPECT_EQ(a.verdict, b.verdict);
  EXPECT_EQ(a.reason, b.reason);
  EXPECT_EQ(a.position, b.position);
  EXPECT_EQ(a.length, b.length);
  EXPECT_EQ(a.kind, b.kind);
  EXPECT_EQ(a.checkedAtMs, b.checkedAtMs);
  EXPECT_EQ(a.libraryVersion, b.libraryVersion);
  EXPECT_EQ(a.strict, b.strict);
  EXPECT_EQ(a.warnings, b.warnings);
  EXPECT_EQ(a.warningsNotListed, b.warningsNotListed);
  EXPECT_EQ(a.reach, b.reach);
  EXPECT_EQ(a.skippedLinks, b.skippedLinks);
  EXPECT_EQ(a.md5Unverifiable, b.md5Unverifiable);
  EXPECT_EQ(a.audioHash, b.audioHash);
  EXPECT_EQ(a.audioChangedFromMs, b.audioChangedFromMs);
}

// A plain SQLite connection, as another program would hold the file.
struct CRawDb {
  explicit CRawDb(const std::filesystem::path& file) { sqlite3_open(file.c_str(), &db); }
  ~CRawDb() { sqlite3_close(db); }
  bool Exec(const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  sqlite3* db = nullptr;
};

int64_t RecordedUnder(const std::filesystem::path& file, const std::string& folder) {
  CResultsDb db;
  Coverage c;
  if (!db.Open(file, DbMode::kQuery) || !db.CoverageUnder(folder, 1, 0, c)) {
    ADD_FAILURE() << db.ErrorText();
    return -1;
  }
  return c.recorded;
}

TEST(ResultsDb, EveryFieldRoundTripsAndTheLastRecordWins) {
  auto plain = Verdict("/music/a.ogg");
  auto notUtf8 = Verdict(std::string("/music/\xff\xfe\x80 caf\xe9.ogg"));
  notUtf8.verdict = StoredVerdict::kError;
  notUtf8.reason = "OV_HOLE @ 0m 04s";
  notUtf8.position = 4.25;
  notUtf8.kind = CheckKind::kQuick;
  auto extremes = Verdict(std::string("/m/%_\n\r\x01.ogg"));
  extremes.identity = {UINT64_MAX, UINT64_MAX - 1, INT64_MAX, -1'000'000'123, INT64_MIN + 1};
  auto unknownTimes = Verdict("/music/2300.ogg");
  unknownTimes.identity.mtimeNs = kUnknownTimeNs;
  unknownTimes.identity.ctimeNs = kUnknownTimeNs;
  extremes.length = 1e300;
  extremes.libraryVersion = "another libvorbis";
  auto replaced = Verdict("/music/a.ogg", 1'800'000'000'000);
  replaced.verdict = StoredVerdict::kError;
  replaced.reason = "TRUNCATED @ 1m 00s";
  // A strict check's breaches: positions to the last bit, a text that holds what would
  // split a line, and those counted but not listed.
  replaced.strict = true;
  replaced.warnings = {{"granule-missing", "granule position -1 on a page", 20480, 1.0 / 3},
                       {"sequence-gap", "a\ttab and\na line", 0, 0}};
  replaced.warningsNotListed = 12;
  extremes.strict = true;
  extremes.reach = Reach::kAllCodecs;
  extremes.verdict = StoredVerdict::kUnsupported;
  extremes.reason = "speex: not a codec Harrowbit checks";
  notUtf8.reach = Reach::kAllCodecs;
  notUtf8.skippedLinks = "speex+theora";
  notUtf8.md5Unverifiable = true;
  notUtf8.audioHash = AudioHash{0, 1, 2, 0xFF, 0, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0x80};
  replaced.audioHash = AudioHash{};
  replaced.audioChangedFromMs = 1'700'000'000'000;

  TempDir t;
  const auto file = t / "lib.db";
  CResultsDb db;
  ASSERT_TRUE(db.Open(file, DbMode::kRecord)) << db.ErrorText();
  for (const auto* r : {&plain, &notUtf8, &extremes, &unknownTimes}) ASSERT_TRUE(db.Record(*r));
  ExpectSame(*db.Last(notUtf8.path, notUtf8.reach), notUtf8);  // answered from the queue
  EXPECT_FALSE(db.Last(notUtf8.path, Reach::kVorbis));
  ASSERT_TRUE(db.Flush()) << db.ErrorText();
  ASSERT_TRUE(db.Record(replaced));
  db.Close();
  EXPECT_EQ(db.Unrecorded(), 0);

  ASSERT_TRUE(db.Open(file, DbMode::kQuery)) << db.ErrorText();
  replaced.warnings[1].text = "a tab and a line";
  for (const auto* r : {&replaced, &notUtf8, &extremes, &unknownTimes}) {
    SCOPED_TRACE(DisplayText(r->path));
    const auto stored = db.Last(r->path, r->reach);
    ASSERT_TRUE(stored);
    ExpectSame(*stored, *r);
  }
  EXPECT_FALSE(db.Last(extremes.path, Reach::kVorbis));
  EXPECT_FALSE(db.Last("/music/a.og"));
  EXPECT_FALSE(db.Last("/music/a.ogg/"));
}

TEST(ResultsDb, QueriesTakeFolderBoundariesAndWildcardsLiterally) {
  const int64_t now = 1'800'000'000'000;
  const int64_t day = 86'400'000;
  TempDir t;
  CResultsDb db;
  ASSERT_TRUE(db.Open(t / "lib.db", DbMode::kRecord)) << db.ErrorText();
  const struct {
    const char* path;
    bool error;
    int64_t ageDays;
    Reach reach = Reach::kVorbis;
  } records[] = {{"/m/a.ogg", false, 1},
                 {"/m/sub/b.ogg", true, 100},
                 {"/m2/c.ogg", true, 1},
                 {"/m%/d.ogg", false, 1},
                 {"/m_/e.ogg", false, 1},
                 {"/m/sub/b.ogg", false, 2},
                 {"/n/z.ogg", true, 5},
                 {"/m.ogg", false, 1},
                 // A file checked for both reaches is one file.
                 {"/m/a.ogg", false, 1, Reach::kAllCodecs}};
  for (const auto& r : records) {
    auto v = Verdict(r.path, now - r.ageDays * day);
    v.reach = r.reach;
    v.verdict = r.error ? StoredVerdict::kError : StoredVerdict::kOk;
    v.reason = r.error ? "OV_EBADPACKET" : "";
    ASSERT_TRUE(db.Record(v));
  }
  const struct {
    const char* folder;
    double days;
    Coverage expected;
  } cases[] = {
      {"/m", 3, {2, 2}},       {"/m/", 1.5, {2, 1}},  {"/m%", 3, {1, 1}},
      {"/m/sub", 1, {1, 0}},   {"/", 3, {7, 6}},      {"/m/a.ogg", 3, {1, 1}},
      {"/nowhere", 3, {0, 0}}, {"/n", 1e300, {1, 1}}, {"/n", -1, {1, 0}},
  };
  for (const auto& c : cases) {
    Coverage got;
    ASSERT_TRUE(db.CoverageUnder(c.folder, c.days, now, got)) << db.ErrorText();
    EXPECT_EQ(got.recorded, c.expected.recorded) << c.folder << ' ' << c.days;
    EXPECT_EQ(got.checkedWithin, c.expected.checkedWithin) << c.folder << ' ' << c.days;
  }
  std::vector<ErrorRow> errors;
  ASSERT_TRUE(db.Errors(errors)) << db.ErrorText();
  ASSERT_EQ(errors.size(), 2u);  // b.ogg's last verdict is OK
  EXPECT_EQ(errors[0].path, "/m2/c.ogg");
  EXPECT_EQ(errors[1].path, "/n/z.ogg");
  EXPECT_EQ(errors[1].checkedAtMs, now - 5 * day);
}

// A sweep asks for its files folder by folder, and a folder's records are then read in one
// pass: every answer must be the one a lookup of that file alone gives, whatever the order
// of the asks, the names (bytes that sort around the separator), subfolders among the
// files, the two reaches, a folder too big for a pass, and records made meanwhile.
TEST(ResultsDb, AFolderReadInOnePassAnswersAsEachFileAskedAlone) {
  TempDir t;
  const auto file = t / "lib.db";
  std::vector<VerdictRecord> records;
  const auto add = [&](std::string path, Reach reach, int n) {
    auto v = Verdict(std::move(path), 1'700'000'000'000 + n);
    v.reach = reach;
    v.identity.inode = static_cast<uint64_t>(n);
    v.verdict = n % 3 == 0 ? StoredVerdict::kError : StoredVerdict::kOk;
    v.reason = v.verdict == StoredVerdict::kError ? "OV_EBADPACKET " + std::to_string(n) : "";
    if (n % 5 == 0) v.audioHash = AudioHash{static_cast<uint8_t>(n)};
    records.push_back(v);
  };
  int n = 0;
  for (const char* name : {"a.ogg", "b.ogg", "sub/c.ogg", "sub/deeper/d.ogg", "sub0.ogg", "sub.ogg",
                           "s\xff.ogg", "z.ogg"}) {
    add(std::string("/m/") + name, Reach::kVorbis, ++n);
  }
  add("/m/b.ogg", Reach::kAllCodecs, ++n);
  add("/m/only-all.ogg", Reach::kAllCodecs, ++n);
  add("/m0/a.ogg", Reach::kVorbis, ++n);
  add("/m.ogg", Reach::kVorbis, ++n);
  add("/top.ogg", Reach::kVorbis, ++n);
  for (int i = 0; i < 4100; ++i) add("/big/" + std::to_string(i) + ".ogg", Reach::kVorbis, ++n);
  {
    CResultsDb db;
    ASSERT_TRUE(db.Open(file, DbMode::kRecord)) << db.ErrorText();
    for (const auto& r : records) ASSERT_TRUE(db.Record(r));
  }
  // Each answer as a lookup of the file alone gives it: a fresh connection asks once.
  const auto alone = [&](const std::string& path, Reach reach) {
    CResultsDb fresh;
    EXPECT_TRUE(fresh.Open(file, DbMode::kQuery)) << fresh.ErrorText();
    return fresh.Last(path, reach);
  };
  const char* const asks[] = {"/m/a.ogg",
                              "/m/b.ogg",
                              "/m/z.ogg",
                              "/m/none.ogg",
                              "/m/sub.ogg",
                              "/m/sub0.ogg",
                              "/m/sub/c.ogg",
                              "/m/sub/c.ogg",
                              "/m/sub/deeper/d.ogg",
                              "/m/s\xff.ogg",
                              "/m/only-all.ogg",
                              "/m/a.ogg",
                              "/m0/a.ogg",
                              "/m0/none.ogg",
                              "/m.ogg",
                              "/top.ogg",
                              "/none.ogg",
                              "/big/7.ogg",
                              "/big/4099.ogg",
                              "/big/4100.ogg",
                              "/big/0.ogg",
                              "/m/sub",
                              "/m/",
                              "/m/b.ogg"};
  for (const DbMode mode : {DbMode::kRecord, DbMode::kQuery}) {
    for (const Reach reach : {Reach::kVorbis, Reach::kAllCodecs}) {
      // A shared record outlives the folder's pass and the connection: a sweep holds it
      // until its file's verdict is out.
      std::vector<std::pair<std::shared_ptr<const StoredRecord>, VerdictRecord>> held;
      {
        CResultsDb db;
        ASSERT_TRUE(db.Open(file, mode)) << db.ErrorText();
        for (const char* path : asks) {
          SCOPED_TRACE(DisplayText(path) + (reach == Reach::kVorbis ? " vorbis" : " all-codecs"));
          const auto got = db.Last(path, reach);
          const auto expected = alone(path, reach);
          ASSERT_EQ(got.has_value(), expected.has_value());
          if (got) ExpectSame(*got, *expected);
          const auto shared = db.Recorded(path, reach);
          ASSERT_EQ(shared != nullptr, expected.has_value());
          if (shared) held.emplace_back(shared, *expected);
        }
      }
      for (const auto& [shared, expected] : held) {
        VerdictRecord r = *shared;
        r.path = expected.path;
        ExpectSame(r, expected);
      }
    }
  }
  // A folder's records are each read once, its subfolders stepped over at their first row;
  // only the first file of a folder, and the files of a folder too big to hold, are asked
  // for alone. (Within one read transaction, however slow the machine.)
  CResultsDb db;
  ASSERT_TRUE(db.Open(file, DbMode::kRecord, {.readMoment = std::chrono::hours(1)}))
      << db.ErrorText();
  for (const char* path : {"/m/a.ogg", "/m/b.ogg", "/m/z.ogg", "/m/none.ogg", "/m/sub0.ogg"}) {
    db.Last(path);
  }
  EXPECT_EQ(db.Lookups().alone, 1);
  EXPECT_EQ(db.Lookups().rowsInPasses, 9);  // 8 rows of 7 files, and the first of sub/
  for (const char* path : {"/big/1.ogg", "/big/2.ogg", "/big/3.ogg"}) db.Last(path);
  EXPECT_EQ(db.Lookups().alone, 4);
  EXPECT_EQ(db.Lookups().rowsInPasses, 9 + 4097);
  // What this run records is what later asks see, before its commit and after it.
  auto again = Verdict("/m/z.ogg", 1'900'000'000'000);
  auto fresh = Verdict("/m/new.ogg", 1'900'000'000'000);
  ASSERT_TRUE(db.Record(again) && db.Record(fresh));
  for (const bool committed : {false, true}) {
    if (committed) {
      ASSERT_TRUE(db.Flush()) << db.ErrorText();
    }
    SCOPED_TRACE(committed ? "committed" : "queued");
    ASSERT_TRUE(db.Last("/m/a.ogg"));
    const auto z = db.Last("/m/z.ogg");
    ASSERT_TRUE(z);
    ExpectSame(*z, again);
    const auto made = db.Last("/m/new.ogg");
    ASSERT_TRUE(made);
    ExpectSame(*made, fresh);
  }
  // Closed, it lets go of every statement, the passes' too: the file is whole, no -wal.
  db.Close();
  EXPECT_FALSE(std::filesystem::exists(file.native() + "-wal"));
}

// A database that cannot serve gives a message naming the file and what is wrong with it.
// One that fails before the run is left byte for byte as it was; one that fails while
// recording keeps everything committed before and counts every verdict it lost.
TEST(ResultsDb, FaultsAreNamedAndCounted) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&, const std::filesystem::path&, std::unique_ptr<CRawDb>&)>
        setup;
    DbMode mode = DbMode::kRecord;
    bool failsAtOpen = true;
    bool unprivileged = false;
    const char* phrase;
    int64_t maxPages = 0;
  };
  const auto harrowbitDb = [](const TempDir&, const std::filesystem::path& f, auto&) {
    CResultsDb db;
    ASSERT_TRUE(db.Open(f, DbMode::kRecord)) << db.ErrorText();
  };
  const Case cases[] = {
      {"NotADatabase",
       [](const TempDir& t, auto&, auto&) { t.Write("lib.db", std::string(4096, 'x')); },
       DbMode::kRecord, true, false, "not a database"},
      {"AnotherProgramsDatabase",
       [](const TempDir&, const std::filesystem::path& f, std::unique_ptr<CRawDb>&) {
         ASSERT_TRUE(CRawDb(f).Exec("CREATE TABLE bookmarks(url TEXT)"));
       },
       DbMode::kRecord, true, false, "another program"},
      {"NewerSchema",
       [&](const TempDir& t, const std::filesystem::path& f, std::unique_ptr<CRawDb>& raw) {
         harrowbitDb(t, f, raw);
         ASSERT_TRUE(CRawDb(f).Exec("PRAGMA user_version = 7"));
       },
       DbMode::kRecord, true, false, "newer Harrowbit"},
      {"ReadOnlyFile",
       [&](const TempDir& t, const std::filesystem::path& f, std::unique_ptr<CRawDb>& raw) {
         harrowbitDb(t, f, raw);
         ::chmod(f.c_str(), 0444);
       },
       DbMode::kRecord, true, true, "read-only"},
      {"ReadOnlyFolder", [](const TempDir& t, auto&, auto&) { ::chmod(t.path().c_str(), 0555); },
       DbMode::kRecord, true, true, "cannot be opened: Permission denied"},
      {"QueryOfAMissingFile", [](auto&, auto&, auto&) {}, DbMode::kQuery, true, false,
       "cannot be opened"},
      {"SchemaWithoutItsColumns",
       [&](const TempDir& t, const std::filesystem::path& f, std::unique_ptr<CRawDb>& raw) {
         harrowbitDb(t, f, raw);
         ASSERT_TRUE(CRawDb(f).Exec("ALTER TABLE files DROP COLUMN ctime_ns"));
       },
       DbMode::kQuery, true, false, "no such column: ctime_ns"},
      {"LockedBeyondTheWaitAtOpen",
       [](const TempDir&, const std::filesystem::path& f, std::unique_ptr<CRawDb>& raw) {
         raw = std::make_unique<CRawDb>(f);
         ASSERT_TRUE(raw->Exec("BEGIN EXCLUSIVE; CREATE TABLE t(x)"));
       },
       DbMode::kRecord, true, false, "locked by another program"},
      {"LockedBeyondTheWaitAtCommit",
       [&](const TempDir& t, const std::filesystem::path& f, std::unique_ptr<CRawDb>& raw) {
         harrowbitDb(t, f, raw);
         raw = std::make_unique<CRawDb>(f);
         ASSERT_TRUE(raw->Exec("BEGIN IMMEDIATE"));
       },
       DbMode::kRecord, false, false, "locked by another program"},
      {"DiskFull", [](auto&, auto&, auto&) {}, DbMode::kRecord, false, false, "the disk is full",
       16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    ::chmod(t.path().c_str(), 0777);
    const auto file = t / "lib.db";
    std::unique_ptr<CRawDb> raw;
    c.setup(t, file, raw);
    const std::string before = ReadAll(file);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const int status = RunChild(
        [&] {
          if (c.unprivileged && !DropRoot()) return 3;
          DbOptions options;
          options.busyTimeout = milliseconds(200);
          options.maxPages = c.maxPages;
          CResultsDb db;
          int64_t committed = 0;
          if (db.Open(file, c.mode, options)) {
            if (c.failsAtOpen) return 4;
            for (int batch = 0; batch < 100 && db.Flush(); ++batch) {
              committed = batch * 50;
              for (int i = 0; i < 50; ++i) {
                db.Record(Verdict("/l/" + std::string(200, 'p') + std::to_string(batch * 50 + i)));
              }
            }
            if (db.Unrecorded() != 50 || db.Record(Verdict("/late.ogg")) || db.Unrecorded() != 51) {
              return 5;
            }
          }
          const std::string text = db.ErrorText() + '\n' + std::to_string(committed);
          return ::write(report[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 6;
        },
        milliseconds(20000));
    ASSERT_EQ(status, 0);
    raw.reset();
    ::close(report[1]);
    char text[4096];
    const ssize_t got = ::read(report[0], text, sizeof text);
    ::close(report[0]);
    std::istringstream in(std::string(text, got > 0 ? std::size_t(got) : 0));
    std::string error;
    int64_t committed = -1;
    std::getline(in, error);
    in >> committed;
    EXPECT_NE(error.find(DisplayText(file.native())), std::string::npos) << error;
    EXPECT_NE(error.find(c.phrase), std::string::npos) << error;
    if (c.failsAtOpen) {
      EXPECT_TRUE(ReadAll(file) == before) << "the file was changed";
    } else {
      EXPECT_EQ(RecordedUnder(file, "/l"), committed);
    }
  }
}

TEST(ResultsDb, OlderSchemasAreBroughtUpToDate) {
  const struct {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
  } cases[] = {
      {"EmptyFile", [](const std::filesystem::path& f) { std::ofstream{f}; }},
      {"EmptyDatabaseInRollbackMode",
       [](const std::filesystem::path& f) {
         ASSERT_TRUE(
             CRawDb(f).Exec("PRAGMA user_version = 0; PRAGMA journal_mode = DELETE; "
                            "VACUUM"));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    const auto file = t / "lib.db";
    c.make(file);
    {
      CResultsDb db;
      ASSERT_TRUE(db.Open(file, DbMode::kRecord)) << db.ErrorText();
      ASSERT_TRUE(db.Record(Verdict("/x.ogg")));
    }
    CRawDb raw(file);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw.db, "PRAGMA user_version", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), CResultsDb::kSchemaVersion);
    sqlite3_finalize(stmt);
    EXPECT_EQ(RecordedUnder(file, "/"), 1);
  }
}

TEST(ResultsDb, TwoRunsAtOnceBothRecordEverything) {
  TempDir t;
  const auto file = t / "lib.db";
  constexpr int kEach = 3000;
  const auto writer = [&](char name) {
    return [&, name] {
      DbOptions options;
      options.commitInterval = milliseconds(5);
      options.batchLimit = 100;
      CResultsDb db;
      if (!db.Open(file, DbMode::kRecord, options)) {
        std::fprintf(stderr, "%s\n", db.ErrorText().c_str());
        return 10;
      }
      for (int i = 0; i < kEach; ++i)
        db.Record(Verdict(std::string("/w/") + name + std::to_string(i)));
      db.Close();
      return db.Unrecorded() == 0 ? 0 : 11;
    };
  };
  CChild first(writer('a'));
  CChild second(writer('b'));
  EXPECT_EQ(first.Wait(milliseconds(30000)), 0);
  EXPECT_EQ(second.Wait(milliseconds(30000)), 0);
  EXPECT_EQ(RecordedUnder(file, "/w"), 2 * kEach);
}

// kill -9 in the middle of a run loses at most the verdicts of the last commit interval,
// and the file opens cleanly afterwards.
TEST(ResultsDb, KillNineLosesAtMostTheLastSecond) {
  TempDir t;
  const auto file = t / "lib.db";
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  CChild child([&] {
    ::close(fds[0]);
    CResultsDb db;
    if (!db.Open(file, DbMode::kRecord)) return 10;
    for (int i = 0;; ++i) {
      db.Record(Verdict("/k/" + std::to_string(100000 + i), UnixMsNow()));
      if (::write(fds[1], &i, sizeof i) != sizeof i) return 11;
      // Not a wait: a scan's pace of verdicts, so that commits fall between them.
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  ::close(fds[1]);
  // Kills after at least 2.5 s of recording; a child that dies or stalls ends the reads.
  int64_t killedAtMs = 0;
  int reported = 0;
  int index = 0;
  // The longest the child went without a verdict: how long a loaded machine left it
  // unscheduled, which its committing thread may have suffered too.
  int64_t lastAtMs = -1;
  int64_t stalledMs = 0;
  pollfd ready{fds[0], POLLIN, 0};
  while (::poll(&ready, 1, 10000) == 1 && ::read(fds[0], &index, sizeof index) == sizeof index) {
    reported = index;
    if (lastAtMs >= 0) stalledMs = std::max(stalledMs, UnixMsNow() - lastAtMs);
    lastAtMs = UnixMsNow();
    if (index < 2500) continue;
    killedAtMs = UnixMsNow();
    ::kill(child.Pid(), SIGKILL);
    break;
  }
  const int status = child.Wait(milliseconds(30000));
  ::close(fds[0]);
  ASSERT_EQ(status, 128 + SIGKILL);
  ASSERT_GE(reported, 2000);

  const int64_t recorded = RecordedUnder(file, "/k");
  CResultsDb db;
  ASSERT_TRUE(db.Open(file, DbMode::kQuery)) << db.ErrorText();
  ASSERT_GT(recorded, 0);
  // Commits keep the order of the run: what survived is the start of it, without gaps.
  const auto lastKept = db.Last("/k/" + std::to_string(100000 + recorded - 1));
  ASSERT_TRUE(lastKept);
  EXPECT_FALSE(db.Last("/k/" + std::to_string(100000 + recorded)));
  EXPECT_LE(killedAtMs - lastKept->checkedAtMs, 1700 + stalledMs)
      << "more than a commit interval lost (the child stalled for up to " << stalledMs << " ms)";
}

// Schema 1 as it was made, with one row: what a library recorded before the change time.
void MakeSchemaOne(const std::filesystem::path& file) {
  CRawDb raw(file);
  ASSERT_TRUE(raw.Exec(
      "PRAGMA journal_mode = WAL;"
      "CREATE TABLE versions(id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);"
      "CREATE TABLE files(path BLOB PRIMARY KEY NOT NULL, device INTEGER NOT NULL,"
      " inode INTEGER NOT NULL, size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL,"
      " verdict TEXT NOT NULL CHECK (verdict IN ('ok', 'error')), reason TEXT, position REAL,"
      " length REAL, kind TEXT NOT NULL CHECK (kind IN ('full', 'quick')),"
      " checked_at INTEGER NOT NULL, version INTEGER NOT NULL REFERENCES versions(id))"
      " WITHOUT ROWID;"
      "CREATE INDEX files_with_errors ON files(path) WHERE verdict = 'error';"
      "INSERT INTO versions VALUES (1, 'libVorbis 1.3.7');"
      "INSERT INTO files VALUES (x'2F6F6C642E6F6767', 2049, 131, 4096, 1690000000123456789,"
      " 'error', 'OV_HOLE', 4.5, 60, 'full', 1700000000000, 1);"
      "PRAGMA user_version = 1; PRAGMA application_id = 1213350484;"));
}

int64_t UserVersion(const std::filesystem::path& file) {
  CRawDb raw(file);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(raw.db, "PRAGMA user_version", -1, &stmt, nullptr) != SQLITE_OK) return -1;
  const int64_t version = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  return version;
}

// A row of schema 1 has no change time: it is read, listed and kept, but never stands for
// a fresh check until the file is checked again.
TEST(ResultsDb, SchemaOneIsQueriedAsItIsAndUpgradedByARecordingRun) {
  TempDir t;
  const auto file = t / "lib.db";
  MakeSchemaOne(file);
  const FileIdentity now{2049, 131, 4096, 1'690'000'000'123'456'789, 1'690'000'000'123'456'789};
  {
    CResultsDb db;
    ASSERT_TRUE(db.Open(file, DbMode::kQuery)) << db.ErrorText();
    const auto old = db.Last("/old.ogg");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->identity.mtimeNs, 1'690'000'000'123'456'789);
    EXPECT_EQ(old->identity.ctimeNs, kUnknownTimeNs);
    EXPECT_EQ(old->reason, "OV_HOLE");
    EXPECT_EQ(old->libraryVersion, "libVorbis 1.3.7");
    EXPECT_FALSE(CanReuse(*old, now, CheckKind::kQuick, 90, 1'700'000'000'001));
    std::vector<ErrorRow> errors;
    ASSERT_TRUE(db.Errors(errors)) << db.ErrorText();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].identity.ctimeNs, kUnknownTimeNs);
    EXPECT_EQ(errors[0].identity.size, 4096);
  }
  EXPECT_EQ(UserVersion(file), 1) << "a query wrote to the file";

  CResultsDb db;
  ASSERT_TRUE(db.Open(file, DbMode::kRecord)) << db.ErrorText();
  ASSERT_TRUE(db.Record(Verdict("/new.ogg")));
  db.Close();
  EXPECT_EQ(UserVersion(file), CResultsDb::kSchemaVersion);
  {
    CRawDb raw(file);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw.db, "SELECT codec, ctime_ns IS NULL FROM files ORDER BY path",
                                 -1, &stmt, nullptr),
              SQLITE_OK);
    for (const int ctimeIsNull : {0, 1}) {  // "/new.ogg", then "/old.ogg"
      ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
      EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "vorbis");
      EXPECT_EQ(sqlite3_column_int(stmt, 1), ctimeIsNull);
    }
    sqlite3_finalize(stmt);
  }
  ASSERT_TRUE(db.Open(file, DbMode::kQuery)) << db.ErrorText();
  ExpectSame(*db.Last("/new.ogg"), Verdict("/new.ogg"));
  EXPECT_EQ(db.Last("/old.ogg")->identity.ctimeNs, kUnknownTimeNs);
}

// Rows of schema 3 take the reach their codec implies, read as they are and once upgraded:
// the Vorbis check recorded "vorbis" whatever the file held.
TEST(ResultsDb, RowsOfSchemaThreeTakeTheReachTheirCodecImplies) {
  TempDir t;
  const auto file = t / "lib.db";
  MakeSchemaOne(file);
  ASSERT_TRUE(CRawDb(file).Exec(
      "ALTER TABLE files ADD COLUMN ctime_ns INTEGER;"
      "ALTER TABLE files ADD COLUMN codec TEXT NOT NULL DEFAULT 'vorbis';"
      "ALTER TABLE files ADD COLUMN strict INTEGER NOT NULL DEFAULT 0;"
      "ALTER TABLE files ADD COLUMN warnings TEXT;"
      "INSERT INTO files SELECT x'2F6F7075732E6F6767', device, inode, size, mtime_ns, verdict,"
      " reason, position, length, kind, checked_at, version, 5, 'opus', 1, NULL FROM files;"
      "PRAGMA user_version = 3;"));
  for (const DbMode mode : {DbMode::kQuery, DbMode::kRecord}) {
    CResultsDb db;
    ASSERT_TRUE(db.Open(file, mode)) << db.ErrorText();
    EXPECT_TRUE(db.Last("/old.ogg", Reach::kVorbis) && !db.Last("/old.ogg", Reach::kAllCodecs));
    const auto opus = db.Last("/opus.ogg", Reach::kAllCodecs);
    EXPECT_TRUE(opus && opus->strict && opus->identity.ctimeNs == 5 && !db.Last("/opus.ogg"));
  }
  EXPECT_EQ(UserVersion(file), CResultsDb::kSchemaVersion);
}

// Rows of schema 4 have no audio hash: read as they are, upgraded in place, and given one
// at their next check; --show-changes lists the files whose last check heard another sound,
// once each whatever their reaches.
TEST(ResultsDb, RowsOfSchemaFourGainAHashAtTheirNextCheck) {
  TempDir t;
  const auto file = t / "lib.db";
  {
    CResultsDb db;
    ASSERT_TRUE(db.Open(file, DbMode::kRecord)) << db.ErrorText();
    ASSERT_TRUE(db.Record(Verdict("/old.ogg")));
  }
  ASSERT_TRUE(CRawDb(file).Exec(
      "ALTER TABLE files DROP COLUMN audio_hash; ALTER TABLE files DROP COLUMN audio_changed_from;"
      "PRAGMA user_version = 4;"));
  CResultsDb query;
  ASSERT_TRUE(query.Open(file, DbMode::kQuery)) << query.ErrorText();
  std::vector<AudioChangeRow> rows{{}};
  ASSERT_TRUE(query.Last("/old.ogg") && query.AudioChanges(rows)) << query.ErrorText();
  EXPECT_TRUE(rows.empty());
  query.Close();
  CResultsDb db;
  ASSERT_TRUE(db.Open(file, DbMode::kRecord)) << db.ErrorText();
  EXPECT_EQ(UserVersion(file), CResultsDb::kSchemaVersion);
  ASSERT_FALSE(db.Last("/old.ogg")->audioHash);
  auto heard = Verdict("/old.ogg", 1'800'000'000'000);
  heard.audioHash = AudioHash{7};
  heard.audioChangedFromMs = 1'700'000'000'000;
  auto wider = heard;
  wider.reach = Reach::kAllCodecs;
  wider.checkedAtMs = 1'800'000'000'001;
  auto same = Verdict("/same.ogg");
  same.audioHash = AudioHash{7};
  for (const auto* r : {&heard, &wider, &same}) ASSERT_TRUE(db.Record(*r));
  ASSERT_TRUE(db.AudioChanges(rows)) << db.ErrorText();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].path, "/old.ogg");
  EXPECT_EQ(rows[0].checkedAtMs, wider.checkedAtMs);
  EXPECT_EQ(rows[0].wasCheckedAtMs, 1'700'000'000'000);
  ExpectSame(*db.Last("/old.ogg"), heard);
}

// A query leaves no -wal or -shm beside a cleanly closed file, and notices when a run
// wrote to the file while it read it without locks.
TEST(ResultsDb, AQueryWritesNothingAndKnowsWhenAWriterCameMeanwhile) {
  TempDir t;
  const auto file = t / "lib.db";
  {
    CResultsDb db;
    ASSERT_TRUE(db.Open(file, DbMode::kRecord)) << db.ErrorText();
    ASSERT_TRUE(db.Record(Verdict("/a.ogg")));
  }
  ASSERT_FALSE(std::filesystem::exists(file.native() + "-wal"));
  CResultsDb query;
  ASSERT_TRUE(query.Open(file, DbMode::kQuery)) << query.ErrorText();
  ASSERT_TRUE(query.Last("/a.ogg"));
  EXPECT_TRUE(query.ReadWasStable());
  EXPECT_FALSE(std::filesystem::exists(file.native() + "-wal"));
  EXPECT_FALSE(std::filesystem::exists(file.native() + "-shm"));
  {
    CResultsDb writer;
    ASSERT_TRUE(writer.Open(file, DbMode::kRecord)) << writer.ErrorText();
    ASSERT_TRUE(writer.Record(Verdict("/b.ogg")));
    ASSERT_TRUE(writer.Flush());
    EXPECT_FALSE(query.ReadWasStable()) << "a -wal beside the file";
  }
  EXPECT_FALSE(query.ReadWasStable()) << "checkpointed into the file";
  query.Close();
  // With a -wal beside it, a query reads under the usual locks, and needs no check.
  CResultsDb writer;
  ASSERT_TRUE(writer.Open(file, DbMode::kRecord)) << writer.ErrorText();
  ASSERT_TRUE(writer.Record(Verdict("/c.ogg")));
  ASSERT_TRUE(writer.Flush());
  ASSERT_TRUE(query.Open(file, DbMode::kQuery)) << query.ErrorText();
  EXPECT_TRUE(query.Last("/c.ogg"));
  ASSERT_TRUE(writer.Record(Verdict("/d.ogg")));
  ASSERT_TRUE(writer.Flush());
  EXPECT_TRUE(query.ReadWasStable());
}

}  // namespace

namespace {

int64_t SqliteMemory() {
  sqlite3_int64 now = 0, highest = 0;
  sqlite3_status64(SQLITE_STATUS_MEMORY_USED, &now, &highest, 0);
  return now;
}

}  // namespace

TEST(ResultsDb, AnOpenThatFailsLetsGoOfEverySqliteObjectAtOnce) {
  TempDir t;
  {
    // SQLite's own start-up allocations are made once, for good.
    CResultsDb warm;
    ASSERT_TRUE(warm.Open(t / "warm.db", DbMode::kRecord)) << warm.ErrorText();
  }
  const struct {
    const char* name;
    std::function<void(const std::filesystem::path&)> setup;
    DbMode mode;
  } cases[] = {
      {"not a database", [&](auto& f) { t.Write(f.filename().string(), std::string(4096, 'x')); },
       DbMode::kRecord},
      {"another program's",
       [](auto& f) { ASSERT_TRUE(CRawDb(f).Exec("CREATE TABLE bookmarks(url TEXT)")); },
       DbMode::kRecord},
      {"in no folder", [](auto&) {}, DbMode::kRecord},
      {"missing, for a query", [](auto&) {}, DbMode::kQuery},
      {"a schema without its columns, for a query",
       [](auto& f) {
         {
           CResultsDb db;
           ASSERT_TRUE(db.Open(f, DbMode::kRecord)) << db.ErrorText();
         }
         ASSERT_TRUE(CRawDb(f).Exec("ALTER TABLE files DROP COLUMN ctime_ns"));
       },
       DbMode::kQuery},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string(c.name) == "in no folder" ? "gone/lib.db" : "lib.db";
    const auto file = t / (std::to_string(&c - cases) + name);
    c.setup(file);
    const int64_t before = SqliteMemory();
    CResultsDb db;
    EXPECT_FALSE(db.Open(file, c.mode));
    EXPECT_EQ(SqliteMemory(), before) << "the connection and its statements are gone";
    EXPECT_FALSE(db.ErrorText().empty());
  }
}

TEST(ResultsDb, ABatchThatFailsHalfwayHoldsNoLockAfterwards) {
  TempDir t;
  const auto file = t / "lib.db";
  {
    CResultsDb db;
    ASSERT_TRUE(db.Open(file, DbMode::kRecord)) << db.ErrorText();
  }
  // The second row of the batch is refused; the statement's own rollback leaves the
  // transaction open.
  ASSERT_TRUE(CRawDb(file).Exec(
      "CREATE TRIGGER refuse BEFORE INSERT ON files WHEN NEW.path = CAST('/m/b.ogg' AS BLOB)"
      " BEGIN SELECT RAISE(ABORT, 'refused'); END"));
  CResultsDb db;
  ASSERT_TRUE(db.Open(file, DbMode::kRecord)) << db.ErrorText();
  db.Record(Verdict("/m/a.ogg"));
  db.Record(Verdict("/m/b.ogg"));
  EXPECT_FALSE(db.Flush());
  EXPECT_NE(db.ErrorText().find("refused"), std::string::npos) << db.ErrorText();
  CRawDb other(file);
  sqlite3_busy_timeout(other.db, 0);
  EXPECT_TRUE(other.Exec("BEGIN IMMEDIATE; INSERT INTO versions(text) VALUES ('x'); COMMIT"))
      << "another program can write at once";
  EXPECT_FALSE(db.Last("/m/a.ogg")) << "nothing of the batch stands";
}
