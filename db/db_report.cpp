#include "db/db_report.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "text/json_text.h"
#include "text/path_text.h"

namespace {

std::string Number(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : "null";
}

std::string Number(std::optional<double> value) { return value ? Number(*value) : "null"; }

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

std::string ErrorsText(const std::vector<ErrorRow>& rows) {
  std::string text;
  for (const ErrorRow& row : rows) {
    text += DisplayText(row.path) + "...ERROR (" + DisplayText(row.reason) + ")\tchecked " +
            CheckedAtText(row.checkedAtMs) + '\n';
  }
  return text + Count(static_cast<int64_t>(rows.size()), "file", "files") +
         " whose last check found an error\n";
}

std::string ErrorsJson(const std::vector<ErrorRow>& rows) {
  std::string json;
  for (const ErrorRow& row : rows) {
    json += "{\"type\":\"file\",\"path\":" + JsonQuote(row.path) +
            ",\"verdict\":\"error\",\"reason\":" + JsonQuote(row.reason) +
            ",\"position\":" + Number(row.position) + ",\"length\":" + Number(row.length) +
            ",\"kind\":\"" + std::string(CheckKindName(row.kind)) + "\",\"checked_at\":\"" +
            CheckedAtText(row.checkedAtMs) + "\",\"from_db\":true}\n";
  }
  return json + "{\"type\":\"errors\",\"files\":" + std::to_string(rows.size()) + "}\n";
}

std::string CoverageText(std::string_view folderKey, double days, const Coverage& coverage) {
  std::string text = DisplayText(folderKey) + ": " + std::to_string(coverage.checkedWithin) +
                     " of " + Count(coverage.recorded, "recorded file", "recorded files") +
                     " checked within the last " + Number(days) + (days == 1 ? " day" : " days");
  if (coverage.recorded > 0) {
    const auto percent = static_cast<int>(static_cast<double>(coverage.checkedWithin) * 100 /
                                          static_cast<double>(coverage.recorded));
    text += " (" + std::to_string(percent) + "%)";
  }
  return text + '\n';
}

std::string CoverageJson(std::string_view folderKey, double days, const Coverage& coverage) {
  return "{\"type\":\"coverage\",\"folder\":" + JsonQuote(folderKey) + ",\"days\":" + Number(days) +
         ",\"recorded\":" + std::to_string(coverage.recorded) +
         ",\"checked\":" + std::to_string(coverage.checkedWithin) + "}\n";
}
