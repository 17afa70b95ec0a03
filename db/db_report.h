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

// One line per file, "PATH...ERROR (REASON)\tchecked TIME", then a count.
std::string ErrorsText(const std::vector<ErrorRow>& rows);
// {"type":"file","path":..,"verdict":"error","reason":..,"position":..,"length":..,
//  "kind":"full","checked_at":"..","from_db":true} per file, then {"type":"errors","files":N}.
std::string ErrorsJson(const std::vector<ErrorRow>& rows);

std::string CoverageText(std::string_view folderKey, double days, const Coverage& coverage);
// {"type":"coverage","folder":..,"days":..,"recorded":..,"checked":..}
std::string CoverageJson(std::string_view folderKey, double days, const Coverage& coverage);
