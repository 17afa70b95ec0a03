#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// What the results database keeps about one file: the verdict of its last check and what
// the file was like then, so that a later run can tell whether it changed since.

enum class CheckKind { kQuick, kFull };
enum class StoredVerdict { kOk, kError };

// Enough of a file's status to notice that it was replaced or rewritten.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;  // nanoseconds since the Unix epoch
  bool operator==(const FileIdentity&) const = default;
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
};
using StoredRecord = VerdictRecord;

// The status of the file a path names, following links as the file collection does;
// nullopt when it cannot be read.
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path);

// The form a path is recorded under: absolute and lexically normal, without a trailing
// '/', so that runs from other working folders and the folder queries agree on it.
std::string PathKey(const std::filesystem::path& path);

int64_t UnixMsNow();

// Whether `last` can stand for a fresh check of the file as it is `now`: the same file,
// unchanged, checked at least as thoroughly as `wanted` (a full check serves for a
// quick one, not the reverse), less than `maxAgeDays` days before `nowMs`. A record dated
// after `nowMs` means a clock that was wrong once, so it is not trusted.
bool CanReuse(const StoredRecord& last, const FileIdentity& now, CheckKind wanted,
              double maxAgeDays, int64_t nowMs);

// A file that was OK at its last check and has the same size and modification time now
// but fails: its bytes went bad with nobody writing to it. The device and inode may differ
// (a library copied to a new disk with its times kept is still the same data).
bool IsNewlyDamaged(const std::optional<StoredRecord>& last, const FileIdentity& now,
                    StoredVerdict nowVerdict);

std::string_view StoredVerdictName(StoredVerdict verdict);
std::string_view CheckKindName(CheckKind kind);
