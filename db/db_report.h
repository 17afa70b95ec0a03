#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/results_db.h"

// What the database answers without a scan, as text for people and as JSON lines for
// scripts (one object per line, the same "type" scheme as the scan's own JSON).

// RFC 3339 in UTC with milliseconds: "2026-12-07T10:22:01.123Z".
std::string CheckedAtText(int64_t unixMs);

// A number of days as people write it: "90", "0.5", at most three decimals.
std::string DaysText(double days);

// Takes out the rows of files that are gone from disk (nothing is at the path, or a folder
// on the way is gone) and returns how many; marks each row whose file is known to have
// changed since its check. A damaged file of the library is one still there.
int64_t LeaveOutGone(std::vector<ErrorRow>& rows);

// One line per file, "PATH...ERROR (REASON)\tchecked TIME" and "\tchanged since" for a
// file that changed since, then a count, and how many gone files were left out.
std::string ErrorsText(const std::vector<ErrorRow>& rows, int64_t gone);
// {"type":"file","path":..,"verdict":"error","reason":..,"position":..,"length":..,
//  "kind":"full","checked_at":"..","changed_since":false,"from_db":true} per file, then
// {"type":"errors","files":N,"gone":M}.
std::string ErrorsJson(const std::vector<ErrorRow>& rows, int64_t gone);

// One line per file, "PATH\tchecked TIME\tsounded different at TIME", then a count.
std::string AudioChangesText(const std::vector<AudioChangeRow>& rows);
// {"type":"file","path":..,"audio_changed":true,"checked_at":..,"audio_was_checked_at":..,
//  "from_db":true} per file, then {"type":"audio_changes","files":N}.
std::string AudioChangesJson(const std::vector<AudioChangeRow>& rows);

// The files on disk under a folder, walked as a scan walks it, and how many of them have a
// current record (IsCurrent).
struct LibraryCoverage {
  int64_t onDisk = 0;
  int64_t current = 0;
};

std::string CoverageText(std::string_view folderKey, double days, const LibraryCoverage& coverage);
// {"type":"coverage","folder":..,"days":..,"on_disk":..,"checked":..}
std::string CoverageJson(std::string_view folderKey, double days, const LibraryCoverage& coverage);
