#include "cli/json_formatter.h"

#include <charconv>
#include <cstdio>
#include <optional>

#include "text/path_text.h"

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t n = Utf8SequenceLength(bytes.substr(i));
    const auto c = static_cast<unsigned char>(bytes[i]);
    char escape[8];
    if (n == 0) {
      std::snprintf(escape, sizeof escape, "\\udc%02x", c);
      out += escape;
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out.append(bytes.substr(i, n));
    }
    i += n;
  }
  return out + '"';
}

namespace {

std::string Number(std::optional<double> value) {
  if (!value) return "null";
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, *value);
  return ec == std::errc() ? std::string(buffer, end) : "null";
}

const char* VerdictName(FileVerdict::Status status) {
  switch (status) {
    case FileVerdict::Status::kOk: return "ok";
    case FileVerdict::Status::kCancelled: return "cancelled";
    case FileVerdict::Status::kNotChecked: return "not_checked";
    case FileVerdict::Status::kPending:
    case FileVerdict::Status::kError: break;
  }
  return "error";
}

}  // namespace

void CJsonFormatter::File(const FileResult& r) {
  const FileVerdict& v = r.verdict;
  if (m_bErrorsOnly && !v.IsError()) return;
  const bool hasReason = v.IsError() || v.status == FileVerdict::Status::kNotChecked;
  const bool hasPosition = (v.IsError() && v.opened) || v.status == FileVerdict::Status::kCancelled;
  std::string line = "{\"type\":\"file\",\"number\":" + std::to_string(r.number);
  line += ",\"path\":" + JsonString(r.path.native());
  line += ",\"verdict\":\"" + std::string(VerdictName(v.status)) + '"';
  line += ",\"reason\":" + (hasReason ? JsonString(v.reason) : "null");
  line += ",\"position\":" + Number(hasPosition ? std::optional(v.position) : std::nullopt);
  line += ",\"length\":" + Number(v.opened ? std::optional(v.length) : std::nullopt) + "}\n";
  m_out.Write(line);
}

void CJsonFormatter::Summary(const ScanSummary& s, const RunFacts& run) {
  std::string line = "{\"type\":\"summary\",\"files\":" + std::to_string(s.files);
  line += ",\"errors\":" + std::to_string(s.errors) + ",\"failed\":[";
  for (std::size_t i = 0; i < s.failed.size(); ++i) {
    if (i > 0) line += ',';
    line += std::to_string(s.failed[i]);
  }
  line += "],\"listed\":" + std::to_string(s.listed);
  line += std::string(",\"cancelled\":") + (run.cancelled ? "true" : "false") + "}\n";
  m_out.Write(line);
}
