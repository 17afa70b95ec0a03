#include "cli/json_formatter.h"

#include <cstdio>
#include <optional>

#include "db/db_report.h"
#include "platform/path_bytes.h"
#include "text/json_text.h"

namespace {

std::string Number(std::optional<double> value) { return JsonNumber(value); }

std::string Numbers(const std::vector<int>& numbers) {
  std::string list = "[";
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (i > 0) list += ',';
    list += std::to_string(numbers[i]);
  }
  return list + ']';
}

std::string Warnings(const FileVerdict& v) {
  // An empty list would say the file breaks no rule.
  if (!v.warningsKnown) return ",\"warnings\":null";
  std::string list = ",\"warnings\":[";
  for (std::size_t i = 0; i < v.warnings.size(); ++i) {
    const FileVerdict::Warning& w = v.warnings[i];
    if (i > 0) list += ',';
    list += "{\"name\":" + JsonQuote(w.name) + ",\"text\":" + JsonQuote(w.text) +
            ",\"offset\":" + std::to_string(w.offset) + ",\"position\":" + Number(w.position) + '}';
  }
  list += ']';
  if (v.warningsNotListed > 0) {
    list += ",\"warnings_not_listed\":" + std::to_string(v.warningsNotListed);
  }
  return list;
}

// Where the file decoded to its clean end: the hash of its sound, else null.
std::string AudioHashJson(const FileVerdict& v) {
  if (!v.audioHash) return "null";
  return '"' + HexText({reinterpret_cast<const char*>(v.audioHash->data()), v.audioHash->size()}) +
         '"';
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

void CJsonFormatter::Unchecked(const std::string& path, const std::string& reason) {
  m_out.Write("{\"type\":\"unchecked\",\"path\":" + JsonQuote(path) +
              ",\"reason\":" + JsonQuote(reason) + "}\n");
}

void CJsonFormatter::File(const FileResult& r, const ResultNotes& notes) {
  const FileVerdict& v = r.verdict;
  if (v.unsupported) m_unsupported.push_back(r.number);
  if (m_bErrorsOnly && !v.IsError() && !v.HasWarnings()) return;
  const bool hasReason = v.IsError() || v.status == FileVerdict::Status::kNotChecked;
  const bool hasPosition = (v.IsError() && v.opened) || v.status == FileVerdict::Status::kCancelled;
  std::string line = "{\"type\":\"file\",\"number\":" + std::to_string(r.number);
  line += ",\"path\":" + JsonQuote(PathToUtf8(r.path));
  line += ",\"verdict\":\"" + std::string(VerdictName(v.status)) + '"';
  line += ",\"reason\":" + (hasReason ? JsonQuote(v.reason) : "null");
  line += ",\"position\":" + Number(hasPosition ? std::optional(v.position) : std::nullopt);
  line += ",\"length\":" + Number(v.opened ? std::optional(v.length) : std::nullopt);
  if (!v.codec.empty()) line += ",\"codec\":" + JsonQuote(v.codec);
  if (v.unsupported) line += ",\"unsupported\":true";
  if (!v.skippedLinks.empty()) line += ",\"links_not_checked\":" + JsonQuote(v.skippedLinks);
  if (v.md5Unverifiable) line += ",\"md5\":\"unverifiable\"";
  if (notes.recordedAtMs) {
    line +=
        ",\"checked_at\":" + JsonQuote(CheckedAtText(*notes.recordedAtMs)) + ",\"from_db\":true";
  }
  if (notes.wasOkAtMs) {
    line += ",\"was\":{\"verdict\":\"ok\",\"checked_at\":" +
            JsonQuote(CheckedAtText(*notes.wasOkAtMs)) + "}";
  }
  line += ",\"audio_hash\":" + AudioHashJson(v);
  if (notes.audioChangedFromMs) {
    m_audioChanged.push_back(r.number);
    line += ",\"audio_changed\":true,\"audio_was_checked_at\":" +
            JsonQuote(CheckedAtText(*notes.audioChangedFromMs));
  }
  if (m_bStrict) line += Warnings(v);
  m_out.Write(line + "}\n");
}

void CJsonFormatter::Summary(const ScanSummary& s, const RunFacts& run) {
  std::string line = "{\"type\":\"summary\",\"files\":" + std::to_string(s.files);
  line += ",\"errors\":" + std::to_string(s.errors) + ",\"failed\":[";
  for (std::size_t i = 0; i < s.failed.size(); ++i) {
    if (i > 0) line += ',';
    line += std::to_string(s.failed[i]);
  }
  line += "],\"listed\":" + std::to_string(s.listed);
  line += std::string(",\"cancelled\":") + (run.cancelled ? "true" : "false");
  line += ",\"check\":\"" + std::string(CheckName(run.mode)) + '"';
  if (run.budgetSpent) line += ",\"budget_spent\":true";
  if (run.mode.everyCodec) {
    line += ",\"unsupported\":[";
    for (std::size_t i = 0; i < m_unsupported.size(); ++i) {
      if (i > 0) line += ',';
      line += std::to_string(m_unsupported[i]);
    }
    line += ']';
  }
  if (run.mode.strict) line += ",\"strict\":true,\"warned\":" + Numbers(s.warned);
  if (!m_audioChanged.empty()) line += ",\"audio_changed\":" + Numbers(m_audioChanged);
  m_out.Write(line + "}\n");
}
