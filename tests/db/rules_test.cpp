#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "db/db_report.h"
#include "db/verdict_record.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int64_t kDay = 86'400'000;
constexpr int64_t kNow = 1'800'000'000'000;

constexpr int64_t kCtime = 4'500'000'007;

StoredRecord Last(StoredVerdict verdict, CheckKind kind, int64_t ageMs) {
  StoredRecord r;
  r.identity = {10, 20, 3000, 4'000'000'001, kCtime};
  r.verdict = verdict;
  r.kind = kind;
  r.checkedAtMs = kNow - ageMs;
  return r;
}

StoredRecord Strict(StoredRecord r) {
  r.strict = true;
  return r;
}

StoredRecord WithIdentity(StoredRecord r, FileIdentity id) {
  r.identity = id;
  return r;
}

TEST(ReuseRule, OnlyAnUnchangedFileCheckedThoroughlyEnoughAndLatelyIsNotDecodedAgain) {
  const FileIdentity same{10, 20, 3000, 4'000'000'001, kCtime};
  const FileIdentity unknownMtime{10, 20, 3000, kUnknownTimeNs, kCtime};
  const FileIdentity unknownCtime{10, 20, 3000, 4'000'000'001, kUnknownTimeNs};
  const auto ok = StoredVerdict::kOk;
  const auto full = CheckKind::kFull;
  const auto quick = CheckKind::kQuick;
  const struct {
    const char* name;
    StoredRecord last;
    FileIdentity now;
    CheckKind wanted;
    double days;
    bool reuse;
    bool strictWanted = false;
  } cases[] = {
      {"Unchanged", Last(ok, full, kDay), same, full, 90, true},
      {"ErrorsAreReusedToo", Last(StoredVerdict::kError, full, kDay), same, full, 90, true},
      {"FullServesQuick", Last(ok, full, kDay), same, quick, 90, true},
      {"QuickDoesNotServeFull", Last(ok, quick, kDay), same, full, 90, false},
      {"QuickServesQuick", Last(ok, quick, kDay), same, quick, 90, true},
      {"OtherDevice", Last(ok, full, kDay), {11, 20, 3000, 4'000'000'001, kCtime}, full, 90, false},
      {"OtherInode", Last(ok, full, kDay), {10, 21, 3000, 4'000'000'001, kCtime}, full, 90, false},
      {"OtherSize", Last(ok, full, kDay), {10, 20, 3001, 4'000'000'001, kCtime}, full, 90, false},
      {"MtimeDiffersInNanoseconds",
       Last(ok, full, kDay),
       {10, 20, 3000, 4'000'000'002, kCtime},
       full,
       90,
       false},
      // Overwritten in place with the time put back by touch -r, or a chmod.
      {"CtimeDiffersInNanoseconds",
       Last(ok, full, kDay),
       {10, 20, 3000, 4'000'000'001, kCtime + 1},
       full,
       90,
       false},
      // Past 2262 or a row of schema 1: unknown on both sides is not "the same".
      {"UnknownMtimeOnBothSides", WithIdentity(Last(ok, full, kDay), unknownMtime), unknownMtime,
       full, 90, false},
      {"UnknownCtimeOnBothSides", WithIdentity(Last(ok, full, kDay), unknownCtime), unknownCtime,
       full, 90, false},
      {"RecordOfSchemaOneHasNoCtime", WithIdentity(Last(ok, full, kDay), unknownCtime), same, full,
       90, false},
      {"JustYoungEnough", Last(ok, full, 90 * kDay - 1), same, full, 90, true},
      {"ExactlyTooOld", Last(ok, full, 90 * kDay), same, full, 90, false},
      {"FractionOfADay", Last(ok, full, kDay / 4), same, full, 0.5, true},
      {"ZeroDaysNeverReuses", Last(ok, full, 0), same, full, 0, false},
      {"NaNDaysNeverReuses", Last(ok, full, 0), same, full, std::nan(""), false},
      {"RecordFromTheFuture", Last(ok, full, -kDay), same, full, 90, false},
      {"AncientRecordNoOverflow", Last(ok, full, kNow - INT64_MIN / 2), same, full, 1e300, true},
      {"StrictServesStrict", Strict(Last(ok, full, kDay)), same, full, 90, true, true},
      {"NotStrictDoesNotServeStrict", Last(ok, full, kDay), same, quick, 90, false, true},
      {"StrictServesNotStrict", Strict(Last(ok, quick, kDay)), same, quick, 90, true},
      {"StrictQuickDoesNotServeStrictFull", Strict(Last(ok, quick, kDay)), same, full, 90, false,
       true},
      {"NoCodecCheckedIsNoVerdict", Last(StoredVerdict::kUnsupported, full, kDay), same, quick, 90,
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CanReuse(c.last, c.now, c.wanted, c.days, kNow, c.strictWanted), c.reuse) << c.name;
  }
}

TEST(NewlyDamagedRule, OnlyADecodingFaultOfAFileThatWasOkWithTheSameSizeAndMtime) {
  const FileIdentity same{10, 20, 3000, 4'000'000'001, kCtime};
  const auto ok = Last(StoredVerdict::kOk, CheckKind::kFull, kDay);
  const bool fault = true;
  const struct {
    const char* name;
    std::optional<StoredRecord> last;
    FileIdentity now;
    bool decodingFault;
    bool newlyDamaged;
  } cases[] = {
      {"RotInPlace", ok, same, fault, true},
      {"CopiedWithTimesKept", ok, {99, 98, 3000, 4'000'000'001, 1}, fault, true},
      // A chmod moves the change time, not the bytes: rot is still rot.
      {"RotAfterAChmod", ok, {10, 20, 3000, 4'000'000'001, kCtime + 5}, fault, true},
      // OPENFILE, LIMIT, a fault of the run: the caller says it is no decoding fault.
      {"NotADecodingFault", ok, same, !fault, false},
      {"NeverCheckedBefore", std::nullopt, same, fault, false},
      {"WasAlreadyDamaged", Last(StoredVerdict::kError, CheckKind::kFull, kDay), same, fault,
       false},
      {"RewrittenSameSize", ok, {10, 20, 3000, 5'000'000'000, kCtime}, fault, false},
      {"RewrittenSameTime", ok, {10, 20, 2999, 4'000'000'001, kCtime}, fault, false},
      {"MtimeUnknownOnBothSides",
       WithIdentity(ok, {10, 20, 3000, kUnknownTimeNs, kCtime}),
       {10, 20, 3000, kUnknownTimeNs, kCtime},
       fault,
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsNewlyDamaged(c.last, c.now, c.decodingFault), c.newlyDamaged) << c.name;
  }
}

TEST(FileTimes, ATimeThatDoesNotFitInNanosecondsIsUnknownNeverClamped) {
  const struct {
    const char* name;
    int64_t seconds;
    int64_t nanoseconds;
    int64_t ns;
  } cases[] = {
      {"Ordinary", 1'700'000'000, 123, 1'700'000'000'000'000'123},
      {"BeforeTheEpoch", -1, 999'999'999, -1},
      {"LastThatFits", 9'223'372'036, 854'775'807, INT64_MAX},
      {"OneNanosecondTooLate", 9'223'372'036, 854'775'808, kUnknownTimeNs},
      {"Year2300", 10'413'792'000, 0, kUnknownTimeNs},
      {"Year1600", -11'676'096'000, 0, kUnknownTimeNs},
      {"FirstThatFits", -9'223'372'036, -854'775'807, INT64_MIN + 1},
      {"LandsOnTheMarkerItself", -9'223'372'036, -854'775'808, kUnknownTimeNs},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeNs(c.seconds, c.nanoseconds), c.ns) << c.name;
}

TEST(FileTimes, ChangedSinceOnlyWhatIsKnownToDiffer) {
  const FileIdentity recorded{10, 20, 3000, 4'000'000'001, kCtime};
  const struct {
    const char* name;
    FileIdentity recorded;
    FileIdentity now;
    bool changed;
  } cases[] = {
      {"Same", recorded, recorded, false},
      {"OtherDevice", recorded, {11, 20, 3000, 4'000'000'001, kCtime}, true},
      {"OtherInode", recorded, {10, 21, 3000, 4'000'000'001, kCtime}, true},
      {"OtherSize", recorded, {10, 20, 3001, 4'000'000'001, kCtime}, true},
      {"OtherMtime", recorded, {10, 20, 3000, 4'000'000'002, kCtime}, true},
      {"OtherCtime", recorded, {10, 20, 3000, 4'000'000'001, kCtime + 1}, true},
      {"RecordWithoutCtime", {10, 20, 3000, 4'000'000'001, kUnknownTimeNs}, recorded, false},
      {"MtimeNowUnknown", recorded, {10, 20, 3000, kUnknownTimeNs, kCtime}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(ChangedSince(c.recorded, c.now), c.changed) << c.name;
}

TEST(FileTimes, IdentityOfAFileReadsBothTimesToTheNanosecond) {
  TempDir t;
  const auto file = t.Write("a.ogg", "x");
  const timespec times[2] = {{5, 0}, {1'700'000'000, 123'456'789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  const auto id = IdentityOf(file);
  ASSERT_TRUE(id);
  EXPECT_EQ(id->mtimeNs, 1'700'000'000'123'456'789);
  EXPECT_EQ(id->ctimeNs, st.st_ctim.tv_sec * 1'000'000'000 + st.st_ctim.tv_nsec);
  EXPECT_EQ(id->size, 1);
  EXPECT_EQ(id->inode, st.st_ino);
  EXPECT_EQ(id->device, st.st_dev);
}

TEST(CoverageRule, ACurrentRecordFitsTheFileAndIsRecentWhateverTheKindOfCheck) {
  const FileIdentity same{10, 20, 3000, 4'000'000'001, kCtime};
  const struct {
    const char* name;
    StoredRecord last;
    FileIdentity now;
    double days;
    bool current;
  } cases[] = {
      {"Full", Last(StoredVerdict::kOk, CheckKind::kFull, kDay), same, 2, true},
      {"QuickCountsToo", Last(StoredVerdict::kOk, CheckKind::kQuick, kDay), same, 2, true},
      {"ErrorCountsToo", Last(StoredVerdict::kError, CheckKind::kFull, kDay), same, 2, true},
      {"TooOld", Last(StoredVerdict::kOk, CheckKind::kFull, 2 * kDay), same, 2, false},
      {"Changed",
       Last(StoredVerdict::kOk, CheckKind::kFull, kDay),
       {10, 20, 3000, 4'000'000'001, kCtime + 1},
       2,
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsCurrent(c.last, c.now, c.days, kNow), c.current) << c.name;
  }
}

TEST(DbReport, RowsReadTheSameAsTheScanAndNamesSurviveInJson) {
  ErrorRow row;
  row.path = "/m/caf\xe9 \"1\".ogg";
  row.reason = "OV_HOLE @ 0m 04s";
  row.position = 4.5;
  row.length = std::nan("");
  row.checkedAtMs = -1;  // floor division: a millisecond before 1970
  ErrorRow changed = row;
  changed.path = "/m/b.ogg";
  changed.changedSince = true;
  EXPECT_EQ(ErrorsText({row}, 0),
            "/m/caf\xef\xbf\xbd \"1\".ogg...ERROR (OV_HOLE @ 0m 04s)\tchecked "
            "1969-12-31T23:59:59.999Z\n1 file whose last check found an error\n");
  EXPECT_EQ(ErrorsText({changed}, 2),
            "/m/b.ogg...ERROR (OV_HOLE @ 0m 04s)\tchecked 1969-12-31T23:59:59.999Z\tchanged "
            "since\n1 file whose last check found an error; 2 more are gone from disk\n");
  EXPECT_EQ(ErrorsText({}, 1),
            "0 files whose last check found an error; 1 more is gone from disk\n");
  EXPECT_EQ(
      ErrorsJson({row}, 0),
      "{\"type\":\"file\",\"path\":\"/m/caf\\udce9 \\\"1\\\".ogg\",\"verdict\":\"error\","
      "\"reason\":\"OV_HOLE @ 0m 04s\",\"position\":4.5,\"length\":null,\"kind\":\"full\","
      "\"checked_at\":\"1969-12-31T23:59:59.999Z\",\"changed_since\":false,\"from_db\":true}\n"
      "{\"type\":\"errors\",\"files\":1,\"gone\":0}\n");
  EXPECT_NE(ErrorsJson({changed}, 3).find("\"changed_since\":true"), std::string::npos);
  EXPECT_NE(ErrorsJson({changed}, 3).find("\"files\":1,\"gone\":3}"), std::string::npos);
}

TEST(DbReport, CoverageCountsFilesOnDiskAndDaysReadAsPeopleWriteThem) {
  const struct {
    double days;
    LibraryCoverage coverage;
    std::string text;
  } cases[] = {
      {90, {3, 2}, "/m: 2 of 3 files on disk checked within the last 90 days (66%)\n"},
      {1, {1, 1}, "/m: 1 of 1 file on disk checked within the last 1 day (100%)\n"},
      {0.5, {0, 0}, "/m: 0 of 0 files on disk checked within the last 0.5 days\n"},
      {36500, {200, 1}, "/m: 1 of 200 files on disk checked within the last 36500 days (0%)\n"},
      {0.001, {7, 0}, "/m: 0 of 7 files on disk checked within the last 0.001 days (0%)\n"},
      {1.25, {3, 3}, "/m: 3 of 3 files on disk checked within the last 1.25 days (100%)\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(CoverageText("/m", c.days, c.coverage), c.text);
  EXPECT_EQ(CoverageJson("/m", 0.5, {4, 3}),
            "{\"type\":\"coverage\",\"folder\":\"/m\",\"days\":0.5,\"on_disk\":4,\"checked\":3}\n");
}

}  // namespace

TEST(PathKey, AbsoluteAndLexicallyNormalWhateverTheWayThePathWasWritten) {
  const std::string cwd = std::filesystem::current_path().native();
  const struct {
    std::string path;
    std::string key;
  } cases[] = {
      {"/m/a.ogg", "/m/a.ogg"},
      {"/m//a.ogg", "/m/a.ogg"},
      {"/m/./a.ogg", "/m/a.ogg"},
      {"/m/x/../a.ogg", "/m/a.ogg"},
      {"/m/", "/m"},
      {"/m/.", "/m"},
      {"/m/..a.ogg", "/m/..a.ogg"},
      {"a.ogg", cwd + "/a.ogg"},
      {"./d/../a.ogg", cwd + "/a.ogg"},
      {"/", "/"},
  };
  for (const auto& c : cases) EXPECT_EQ(PathKey(c.path), c.key) << c.path;
}

TEST(DbReport, FilesGoneFromDiskAreLeftOutAndCountedAndChangedOnesMarked) {
  TempDir t;
  const struct {
    const char* name;
    std::function<std::string()> make;  // returns the path the row names
    bool listed;
    bool changed;
  } cases[] = {
      {"StillThere", [&] { return t.Write("same.ogg", "x").native(); }, true, false},
      {"RewrittenSince", [&] { return t.Write("rewritten.ogg", "x").native(); }, true, true},
      {"Deleted", [&] { return (t / "deleted.ogg").native(); }, false, false},
      {"FolderGone", [&] { return (t / "gone" / "a.ogg").native(); }, false, false},
      {"FolderIsNowAFile", [&] { return (t / "same.ogg" / "a.ogg").native(); }, false, false},
  };
  std::vector<ErrorRow> rows;
  for (const auto& c : cases) {
    ErrorRow row;
    row.path = c.make();
    row.identity = IdentityOf(row.path).value_or(FileIdentity{});
    row.reason = c.name;
    rows.push_back(row);
  }
  t.Write("rewritten.ogg", "yy");
  EXPECT_EQ(LeaveOutGone(rows), 3);
  std::map<std::string, bool> listed;
  for (const auto& row : rows) listed[row.reason] = row.changedSince;
  for (const auto& c : cases) {
    EXPECT_EQ(listed.count(c.name), c.listed ? 1u : 0u) << c.name;
    if (c.listed) {
      EXPECT_EQ(listed[c.name], c.changed) << c.name;
    }
  }
}
