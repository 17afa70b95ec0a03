#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/check_mode.h"

// The hash of a file's sound (FileVerdict::audioHash).
using AudioHash = std::array<uint8_t, 16>;

// What the results database keeps about one file: the verdict of its last check and what
// the file was like then, so that a later run can tell whether it changed since.

enum class CheckKind { kQuick, kFull };
// kUnsupported: a check of every codec found no stream in a codec it checks. It is no
// verdict on the bytes, but it is what that check says of the file now.
enum class StoredVerdict { kOk, kError, kUnsupported };

// What a check can see: Vorbis only (a plain run), or every Ogg codec (--all-codecs). The
// two may both be right about one file and disagree (an Opus file is OV_ENOTVORBIS to the
// first and OK to the second), so each keeps its own record of it.
enum class Reach { kVorbis, kAllCodecs };

// The kind and the reach of the records a run checking in `mode` makes and is served by.
// (A record of a quick run is still of a full check for a file in another codec: see
// CRememberedVerdicts::Record.)
constexpr CheckKind CheckKindOf(CheckMode mode) {
  return mode.quick ? CheckKind::kQuick : CheckKind::kFull;
}
constexpr Reach ReachOf(CheckMode mode) {
  return mode.everyCodec ? Reach::kAllCodecs : Reach::kVorbis;
}

// A time that does not fit in int64 nanoseconds (before 1677 or after 2262), or none
// recorded (rows of schema 1 have no change time). It never matches, not even itself:
// clamping would make two different times equal.
inline constexpr int64_t kUnknownTimeNs = INT64_MIN;

// Enough of a file's status to notice that it was replaced, rewritten or touched in any
// way the kernel records. operator== compares field by field; whether a file is unchanged
// is Unchanged()'s question.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;  // nanoseconds since the Unix epoch, or kUnknownTimeNs
  int64_t ctimeNs = 0;  // the inode's change time, the same way
  bool operator==(const FileIdentity&) const = default;
};

// Seconds and nanoseconds as int64 nanoseconds, or kUnknownTimeNs when they do not fit.
int64_t TimeNs(int64_t seconds, int64_t nanoseconds);

// The same file with the same bytes and status: device, inode, size, modification and
// change time all equal and known. A file overwritten in place with its time put back
// (touch -r), or a chmod, moves the change time, which no one can set.
bool Unchanged(const FileIdentity& recorded, const FileIdentity& now);

// Whether the file now is known to differ from what was recorded: a field known on both
// sides that differs. A record without a change time is not thereby "changed".
bool ChangedSince(const FileIdentity& recorded, const FileIdentity& now);

// A breach of a format rule that a strict check found (FileVerdict::Warning).
class CStatusesInFolder;

struct StoredWarning {
  std::string name;
  std::string text;
  int64_t offset = 0;
  double position = 0;
  bool operator==(const StoredWarning&) const = default;
};

struct VerdictRecord {
  std::string path;  // the bytes of PathKey(), not text: any name round-trips
  FileIdentity identity;
  StoredVerdict verdict = StoredVerdict::kOk;
  std::string reason;  // empty for kOk
  std::optional<double> position;
  std::optional<double> length;
  CheckKind kind = CheckKind::kFull;
  int64_t checkedAtMs = 0;  // Unix time in milliseconds
  std::string libraryVersion;
  // What the file holds as the check saw it ("opus", "vorbis+flac"); a check of Vorbis
  // only records "vorbis" whatever the file is.
  std::string codec = "vorbis";
  Reach reach = Reach::kVorbis;
  // What the check left unverified, for the report of a record that stands: the codecs of
  // links it skipped ("speex", joined by "+"), a FLAC stream without the MD5 of its audio.
  std::string skippedLinks;
  bool md5Unverifiable = false;
  // --strict: the check held the file to the format rules too, and found these.
  bool strict = false;
  std::vector<StoredWarning> warnings;
  int64_t warningsNotListed = 0;
  // The hash of the file's sound at that check; none where it did not decode to its end.
  std::optional<AudioHash> audioHash;
  // That check heard a sound other than the check before, made at this time.
  std::optional<int64_t> audioChangedFromMs;
};
using StoredRecord = VerdictRecord;

// The warnings column: NULL (nullopt) when there are none, else a line per breach,
// "name<TAB>offset<TAB>position<TAB>text", and "+N" for those not listed.
std::optional<std::string> EncodeWarnings(const VerdictRecord& record);
void DecodeWarnings(std::string_view column, VerdictRecord& record);

// The status of the file a path names, following links as the file collection does;
// nullopt when it cannot be read.
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path);
// The same, for the files of a sweep, looked up in their folder (CStatusesInFolder).
std::optional<FileIdentity> IdentityOf(const std::string& utf8Path, CStatusesInFolder& statuses);

// The form a path is recorded under: absolute, its folder resolved through links, and its
// own name as given, so that runs from other working folders, through links to the
// library, and the folder queries agree on it.
std::string PathKey(const std::filesystem::path& path);

int64_t UnixMsNow();

// Whether `last` can stand for a fresh check of the file as it is `now`: the same file,
// unchanged, checked at least as thoroughly as `wanted` (a full check serves for a
// quick one, not the reverse; a strict one for one that is not, not the reverse), less
// than `maxAgeDays` days before `nowMs`. A record dated after `nowMs` means a clock that
// was wrong once, so it is not trusted.
bool CanReuse(const StoredRecord& last, const FileIdentity& now, CheckKind wanted,
              double maxAgeDays, int64_t nowMs, bool strictWanted = false);

// Whether `last`, which CanReuse lets stand, says what a check of `wanted` reach would say
// of the file. A record of the same reach does. A check of every codec hands a file of
// Vorbis only (codec "vorbis") whole to the Vorbis check, so its record says what a check
// of Vorbis only would. A check of Vorbis only that found a file OK decoded it to its end:
// the file is Vorbis, and a check of every codec says OK too. Its errors say nothing of
// the other codecs (an Opus file is OV_ENOTVORBIS to it).
bool FitsReach(const StoredRecord& last, Reach wanted);

// Whether `last` is a current record of the file as it is `now`: unchanged, and checked,
// quickly or in full, less than `days` days before `nowMs`. What --coverage counts.
bool IsCurrent(const StoredRecord& last, const FileIdentity& now, double days, int64_t nowMs);

// A file that was OK at its last check and now fails to decode although it opened, with
// the same size and modification time, to a check of the same reach as `last`'s (an Opus
// file that a check of every codec found OK is OV_ENOTVORBIS to the Vorbis check, and no
// worse for it): its bytes went bad with nobody writing to it.
// `decodingFault` is the caller's word that the new verdict is such a fault: not OPENFILE
// (a file that did not open, as one unreadable for a night), not LIMIT, not a fault of the
// run. The change time is not compared: a chmod or a new link moves it without touching the
// bytes, and rot happens without anybody writing. The device and inode may differ too (a
// library copied to a new disk with its times kept is still the same data).
bool IsNewlyDamaged(const std::optional<StoredRecord>& last, const FileIdentity& now,
                    bool decodingFault);

std::string_view StoredVerdictName(StoredVerdict verdict);
StoredVerdict StoredVerdictNamed(std::string_view name);
std::string_view CheckKindName(CheckKind kind);
std::string_view ReachName(Reach reach);
