#include "cli/file_results.h"

#include <charconv>
#include <cstdio>

#include "text/path_text.h"

CResultTap::CResultTap(std::unique_ptr<IFileTester> inner, ScanCounts& counts, Sink sink)
    : m_inner(std::move(inner)), m_counts(counts), m_sink(std::move(sink)) {}

CResultTap::~CResultTap() {
  if (m_current) {
    m_current->position = m_inner->PositionSeconds();
    Finish(FileResult::Verdict::kCancelled);
  }
}

bool CResultTap::Open(const std::filesystem::path& path) {
  if (m_current) Finish(FileResult::Verdict::kCancelled);
  FileResult result;
  result.number = m_counts.filesDone + 1;
  result.path = path.native();
  m_current = std::move(result);
  m_lastPosition = 0;
  if (!m_inner->Open(path)) {
    m_current->reason = m_inner->ErrorText();
    Finish(FileResult::Verdict::kError);
    return false;
  }
  m_current->length = m_inner->TotalSeconds();
  return true;
}

int CResultTap::DecodeStep() {
  const int r = m_inner->DecodeStep();
  const double position = m_inner->PositionSeconds();
  if (position > m_lastPosition) m_counts.audioSeconds += position - m_lastPosition;
  m_lastPosition = position;
  if (r > 0) return r;
  if (r < 0) {
    m_current->reason = m_inner->ErrorText();
    m_current->position = position;
  }
  Finish(r == 0 ? FileResult::Verdict::kOk : FileResult::Verdict::kError);
  return r;
}

void CResultTap::Finish(FileResult::Verdict verdict) {
  m_current->verdict = verdict;
  ++m_counts.filesDone;
  if (verdict == FileResult::Verdict::kError) {
    ++m_counts.errors;
    m_counts.failed.push_back(m_current->number);
  }
  if (m_sink) m_sink(*m_current);
  m_current.reset();
}

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

const char* VerdictName(FileResult::Verdict v) {
  switch (v) {
    case FileResult::Verdict::kOk: return "ok";
    case FileResult::Verdict::kError: return "error";
    case FileResult::Verdict::kCancelled: return "cancelled";
  }
  return "error";
}

}  // namespace

std::string JsonLine(const FileResult& r) {
  std::string line = "{\"type\":\"file\",\"number\":" + std::to_string(r.number);
  line += ",\"path\":" + JsonString(r.path);
  line += ",\"verdict\":\"" + std::string(VerdictName(r.verdict)) + '"';
  line += ",\"reason\":" + (r.verdict == FileResult::Verdict::kError ? JsonString(r.reason) : "null");
  line += ",\"position\":" + Number(r.position);
  line += ",\"length\":" + Number(r.length) + "}\n";
  return line;
}

std::string JsonSummary(const ScanCounts& counts, std::size_t listed, bool cancelled) {
  std::string line = "{\"type\":\"summary\",\"files\":" + std::to_string(counts.filesDone);
  line += ",\"errors\":" + std::to_string(counts.errors) + ",\"failed\":[";
  for (std::size_t i = 0; i < counts.failed.size(); ++i) {
    if (i > 0) line += ',';
    line += std::to_string(counts.failed[i]);
  }
  line += "],\"listed\":" + std::to_string(listed);
  line += std::string(",\"cancelled\":") + (cancelled ? "true" : "false") + "}\n";
  return line;
}
