#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/file_status.h"
#include "salvage/ogg_repair.h"

// A repaired copy of a damaged file, offered only once it passes the check that found the
// damage, and held to the format rules as --strict holds files.
struct SalvageRequest {
  std::filesystem::path source;
  std::filesystem::path destination;
  // The same file elsewhere (a backup, a second download), for the pages the source lost.
  std::optional<std::filesystem::path> otherCopy;
  // Replace what the destination already holds.
  bool force = false;
  // The source as the check that found it damaged found it: a file changed since is not
  // what that check saw, and is not salvaged under its verdict.
  std::optional<FileStatus> checkedAs;
  // For tests: called once, when the repair begins writing, so that a test can change the
  // source at a known moment of the salvage.
  std::function<void()> onFirstWrite;
};

struct SalvageResult {
  enum class Status {
    kSalvaged,
    // The file could not be repaired, or its repair did not pass: nothing was left behind.
    kNotSalvaged,
    // A repair could not be written (a folder that cannot be made, a full disk).
    kNotWritten,
  };
  Status status = Status::kNotSalvaged;
  std::string reason;
  RepairOutcome repair;
};

// Writes the repair to a temporary name beside the destination, checks it, and renames it
// only when it passes; reads the source only.
SalvageResult SalvageFile(const SalvageRequest& request);

// "kept 3m 12s of 3m 15s; lost 0m 41s–0m 42s, 2m 58s–3m 00s"
std::string DescribeSalvage(const RepairOutcome& repair);
