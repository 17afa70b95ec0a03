#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>

#include "db/db_report.h"
#include "db/verdict_record.h"

namespace {

constexpr int64_t kDay = 86'400'000;
constexpr int64_t kNow = 1'800'000'000'000;

StoredRecord Last(StoredVerdict verdict, CheckKind kind, int64_t ageMs) {
  StoredRecord r;
  r.identity = {10, 20, 3000, 4'000'000'001};
  r.verdict = verdict;
  r.kind = kind;
  r.checkedAtMs = kNow - ageMs;
  return r;
}

TEST(ReuseRule, OnlyAnUnchangedFileCheckedThoroughlyEnoughAndLatelyIsNotDecodedAgain) {
  const FileIdentity same{10, 20, 3000, 4'000'000'001};
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
  } cases[] = {
      {"Unchanged", Last(ok, full, kDay), same, full, 90, true},
      {"ErrorsAreReusedToo", Last(StoredVerdict::kError, full, kDay), same, full, 90, true},
      {"FullServesQuick", Last(ok, full, kDay), same, quick, 90, true},
      {"QuickDoesNotServeFull", Last(ok, quick, kDay), same, full, 90, false},
      {"QuickServesQuick", Last(ok, quick, kDay), same, quick, 90, true},
      {"OtherDevice", Last(ok, full, kDay), {11, 20, 3000, 4'000'000'001}, full, 90, false},
      {"OtherInode", Last(ok, full, kDay), {10, 21, 3000, 4'000'000'001}, full, 90, false},
      {"OtherSize", Last(ok, full, kDay), {10, 20, 3001, 4'000'000'001}, full, 90, false},
      {"MtimeDiffersInNanoseconds",
       Last(ok, full, kDay),
       {10, 20, 3000, 4'000'000'002},
       full,
       90,
       false},
      {"JustYoungEnough", Last(ok, full, 90 * kDay - 1), same, full, 90, true},
      {"ExactlyTooOld", Last(ok, full, 90 * kDay), same, full, 90, false},
      {"FractionOfADay", Last(ok, full, kDay / 4), same, full, 0.5, true},
      {"ZeroDaysNeverReuses", Last(ok, full, 0), same, full, 0, false},
      {"NaNDaysNeverReuses", Last(ok, full, 0), same, full, std::nan(""), false},
      {"RecordFromTheFuture", Last(ok, full, -kDay), same, full, 90, false},
      {"AncientRecordNoOverflow", Last(ok, full, kNow - INT64_MIN / 2), same, full, 1e300, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CanReuse(c.last, c.now, c.wanted, c.days, kNow), c.reuse) << c.name;
  }
}

TEST(NewlyDamagedRule, OnlyAFileThatWasOkAndIsUnchangedButFailsNow) {
  const FileIdentity same{10, 20, 3000, 4'000'000'001};
  const auto ok = Last(StoredVerdict::kOk, CheckKind::kFull, kDay);
  const struct {
    const char* name;
    std::optional<StoredRecord> last;
    FileIdentity now;
    StoredVerdict verdict;
    bool newlyDamaged;
  } cases[] = {
      {"RotInPlace", ok, same, StoredVerdict::kError, true},
      {"CopiedWithTimesKept", ok, {99, 98, 3000, 4'000'000'001}, StoredVerdict::kError, true},
      {"StillOk", ok, same, StoredVerdict::kOk, false},
      {"NeverCheckedBefore", std::nullopt, same, StoredVerdict::kError, false},
      {"WasAlreadyDamaged", Last(StoredVerdict::kError, CheckKind::kFull, kDay), same,
       StoredVerdict::kError, false},
      {"RewrittenSameSize", ok, {10, 20, 3000, 5'000'000'000}, StoredVerdict::kError, false},
      {"RewrittenSameTime", ok, {10, 20, 2999, 4'000'000'001}, StoredVerdict::kError, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsNewlyDamaged(c.last, c.now, c.verdict), c.newlyDamaged) << c.name;
  }
}

TEST(DbReport, RowsReadTheSameAsTheScanAndNamesSurviveInJson) {
  ErrorRow row;
  row.path = "/m/caf\xe9 \"1\".ogg";
  row.reason = "OV_HOLE @ 0m 04s";
  row.position = 4.5;
  row.checkedAtMs = -1;  // floor division: a millisecond before 1970
  EXPECT_EQ(ErrorsText({row}),
            "/m/caf\xef\xbf\xbd \"1\".ogg...ERROR (OV_HOLE @ 0m 04s)\tchecked "
            "1969-12-31T23:59:59.999Z\n1 file whose last check found an error\n");
  EXPECT_EQ(ErrorsJson({row}),
            "{\"type\":\"file\",\"path\":\"/m/caf\\udce9 \\\"1\\\".ogg\",\"verdict\":\"error\","
            "\"reason\":\"OV_HOLE @ 0m 04s\",\"position\":4.5,\"length\":null,\"kind\":\"full\","
            "\"checked_at\":\"1969-12-31T23:59:59.999Z\",\"from_db\":true}\n"
            "{\"type\":\"errors\",\"files\":1}\n");
  EXPECT_EQ(CoverageText("/m", 90, {3, 2}),
            "/m: 2 of 3 recorded files checked within the last 90 days (66%)\n");
  EXPECT_EQ(
      CoverageJson("/m", 0.5, {0, 0}),
      "{\"type\":\"coverage\",\"folder\":\"/m\",\"days\":0.5,\"recorded\":0,\"checked\":0}\n");
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
