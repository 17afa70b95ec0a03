#include "db/db_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/file_status.h"
#include "platform/path_bytes.h"
#include "text/json_text.h"
#include "text/path_text.h"

namespace {

std::string Count(int64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + ' ' + std::string(n == 1 ? one : many);
}

}  // namespace

std::string CheckedAtText(int64_t unixMs) {
  // Floor division, so times before 1970 still read right.
  int64_t seconds = unixMs / 1000;
  int64_t ms = unixMs % 1000;
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  const auto t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (gmtime_r(&t, &utc) == nullptr) return std::to_string(unixMs) + " ms";
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms));
  return text;
}

std::string DaysText(double days) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", days);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

int64_t LeaveOutGone(std::vector<ErrorRow>& rows) {
  const auto before = rows.size();
  std::erase_if(rows, [](ErrorRow& row) {
    FileStatus st;
    std::error_code error;
    if (!StatusOf(row.path, st, error)) {
      // A file that cannot be looked at for another reason may still be there.
      return IsMissing(error);
    }
    const auto now = IdentityOf(PathFromUtf8(row.path));
    row.changedSince = !now || ChangedSince(row.identity, *now);
    return false;
  });
  return static_cast<int64_t>(before - rows.size());
}

std::string ErrorsText(const std::vector<ErrorRow>& rows, int64_t gone) {
  std::string text;
  for (const ErrorRow& row : rows) {
    text += DisplayText(row.path) + "...ERROR (" + DisplayText(row.reason) + ")\tchecked " +
            CheckedAtText(row.checkedAtMs) + (row.changedSince ? "\tchanged since\n" : "\n");
  }
  text += Count(static_cast<int64_t>(rows.size()), "file", "files") +
          " whose last check found an error";
  if (gone > 0) text += "; " + Count(gone, "more is", "more are") + " gone from disk";
  return text + '\n';
}

std::string ErrorsJson(const std::vector<ErrorRow>& rows, int64_t gone) {
  std::string json;
  for (const ErrorRow& row : rows) {
    json += "{\"type\":\"file\",\"path\":" + JsonQuote(row.path) +
            ",\"verdict\":\"error\",\"reason\":" + JsonQuote(row.reason) +
            ",\"position\":" + JsonNumber(row.position) + ",\"length\":" + JsonNumber(row.length) +
            ",\"kind\":\"" + std::string(CheckKindName(row.kind)) + "\",\"checked_at\":\"" +
            CheckedAtText(row.checkedAtMs) +
            "\",\"changed_since\":" + (row.changedSince ? "true" : "false") +
            ",\"from_db\":true}\n";
  }
  return json + "{\"type\":\"errors\",\"files\":" + std::to_string(rows.size()) +
         ",\"gone\":" + std::to_string(gone) + "}\n";
}

std::string AudioChangesText(const std::vector<AudioChangeRow>& rows) {
  std::string text;
  for (const AudioChangeRow& row : rows) {
    text += DisplayText(row.path) + "\tchecked " + CheckedAtText(row.checkedAtMs) +
            "\tsounded different at " + CheckedAtText(row.wasCheckedAtMs) + '\n';
  }
  return text + Count(static_cast<int64_t>(rows.size()), "file", "files") +
         " whose last check found the audio changed since the check before\n";
}

std::string AudioChangesJson(const std::vector<AudioChangeRow>& rows) {
  std::string json;
  for (const AudioChangeRow& row : rows) {
    json += "{\"type\":\"file\",\"path\":" + JsonQuote(row.path) +
            ",\"audio_changed\":true,\"checked_at\":\"" + CheckedAtText(row.checkedAtMs) +
            "\",\"audio_was_checked_at\":\"" + CheckedAtText(row.wasCheckedAtMs) +
            "\",\"from_db\":true}\n";
  }
  return json + "{\"type\":\"audio_changes\",\"files\":" + std::to_string(rows.size()) + "}\n";
}

std::string CoverageText(std::string_view folderKey, double days, const LibraryCoverage& coverage) {
  std::string text = DisplayText(folderKey) + ": " + std::to_string(coverage.current) + " of " +
                     Count(coverage.onDisk, "file on disk", "files on disk") +
                     " checked within the last " + DaysText(days) + (days == 1 ? " day" : " days");
  if (coverage.onDisk > 0) {
    const auto percent = static_cast<int>(static_cast<double>(coverage.current) * 100 /
                                          static_cast<double>(coverage.onDisk));
    text += " (" + std::to_string(percent) + "%)";
  }
  return text + '\n';
}

std::string CoverageJson(std::string_view folderKey, double days, const LibraryCoverage& coverage) {
  return "{\"type\":\"coverage\",\"folder\":" + JsonQuote(folderKey) +
         ",\"days\":" + JsonNumber(days) + ",\"on_disk\":" + std::to_string(coverage.onDisk) +
         ",\"checked\":" + std::to_string(coverage.current) + "}\n";
}
