#include "db/verdict_record.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/file_status.h"
#include "platform/path_bytes.h"

namespace {

FileIdentity IdentityOfStatus(const FileStatus& st) {
  FileIdentity id;
  id.device = st.device;
  id.inode = st.index;
  id.size = st.size;
  id.mtimeNs = st.modifiedNs;
  id.ctimeNs = st.changedNs;
  return id;
}

}  // namespace

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
  FileStatus st;
  std::error_code error;
  if (!StatusOf(PathToUtf8(path), st, error)) return std::nullopt;
  return IdentityOfStatus(st);
}

std::optional<FileIdentity> IdentityOf(const std::string& utf8Path, CStatusesInFolder& statuses) {
  FileStatus st;
  std::error_code error;
  if (!statuses.StatusOf(utf8Path, st, error)) return std::nullopt;
  return IdentityOfStatus(st);
}

int64_t TimeNs(int64_t seconds, int64_t nanoseconds) {
  int64_t ns = 0;
  if (__builtin_mul_overflow(seconds, int64_t{1'000'000'000}, &ns) ||
      __builtin_add_overflow(ns, nanoseconds, &ns) || ns == kUnknownTimeNs) {
    return kUnknownTimeNs;
  }
  return ns;
}

bool Unchanged(const FileIdentity& recorded, const FileIdentity& now) {
  return recorded.mtimeNs != kUnknownTimeNs && recorded.ctimeNs != kUnknownTimeNs &&
         recorded == now;
}

bool ChangedSince(const FileIdentity& recorded, const FileIdentity& now) {
  const auto differs = [](int64_t a, int64_t b) {
    return a != kUnknownTimeNs && b != kUnknownTimeNs && a != b;
  };
  return recorded.device != now.device || recorded.inode != now.inode ||
         recorded.size != now.size || differs(recorded.mtimeNs, now.mtimeNs) ||
         differs(recorded.ctimeNs, now.ctimeNs);
}

namespace {

// Whether an absolute path is already in lexically normal form: no "." or ".." parts, no
// doubled or trailing separator. A sweep asks for the key of every file it meets.
bool IsNormalAbsolute(std::string_view p) {
  if (p.empty() || p.front() != '/') return false;
  if (p.size() > 1 && p.back() == '/') return false;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] != '/') continue;
    const std::string_view rest = p.substr(i + 1);
    if (rest.starts_with('/') || rest == "." || rest.starts_with("./") || rest == ".." ||
        rest.starts_with("../")) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {

// The absolute, lexically normal form of a path, without following links.
std::string LexicalKey(const std::filesystem::path& path) {
  const std::string bytes = PathToUtf8(path);
  if (IsNormalAbsolute(bytes)) return bytes;
  if (path.is_relative()) {
    // The working folder does not change during a run.
    static const std::string cwd = [] {
      std::error_code ec;
      return PathToUtf8(std::filesystem::current_path(ec));
    }();
    const std::string joined = cwd + "/" + bytes;
    if (!cwd.empty() && IsNormalAbsolute(joined)) return joined;
  }
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) absolute = path;
  std::string key = PathToUtf8(absolute.lexically_normal());
  while (key.size() > 1 && key.back() == kPathSeparator) key.pop_back();
  return key;
}

}  // namespace

std::string PathKey(const std::filesystem::path& path) {
  std::string key = LexicalKey(path);
  // The folder is named as the system resolves it, so that a library reached through a
  // link, through its real path, or from a working folder inside it (whose name the
  // system gives resolved) is one library to the database. The file keeps its own name.
  const std::size_t slash = key.rfind(kPathSeparator);
  if (slash == std::string::npos || slash == 0) return key;
  const std::string_view folder(key.data(), slash);
  // A scan asks folder by folder: one resolution per folder.
  thread_local std::string lastFolder;
  thread_local std::string lastResolved;
  if (folder != lastFolder) {
    lastFolder.assign(folder);
    lastResolved = ResolvedPath(lastFolder);
    if (lastResolved.empty()) lastResolved = lastFolder;
  }
  if (lastResolved == folder) return key;
  // A root ends in its separator already.
  return (EndsInSeparator(lastResolved) ? lastResolved.substr(0, lastResolved.size() - 1)
                                        : lastResolved) +
         key.substr(slash);
}

int64_t UnixMsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool CanReuse(const StoredRecord& last, const FileIdentity& now, CheckKind wanted,
              double maxAgeDays, int64_t nowMs, bool strictWanted) {
  if (!(maxAgeDays > 0)) return false;  // also NaN
  // Finding no codec it checks costs a check no more than reading the first page.
  if (last.verdict == StoredVerdict::kUnsupported) return false;
  if (!Unchanged(last.identity, now)) return false;
  if (last.kind == CheckKind::kQuick && wanted == CheckKind::kFull) return false;
  if (strictWanted && !last.strict) return false;
  if (last.checkedAtMs > nowMs) return false;
  const double ageMs = static_cast<double>(nowMs) - static_cast<double>(last.checkedAtMs);
  return ageMs < maxAgeDays * 86'400'000.0;
}

bool FitsReach(const StoredRecord& last, Reach wanted) {
  if (last.reach == wanted) return true;
  if (wanted == Reach::kVorbis) return last.codec == "vorbis";
  return last.verdict == StoredVerdict::kOk;
}

bool IsCurrent(const StoredRecord& last, const FileIdentity& now, double days, int64_t nowMs) {
  // A full check serves for a quick one: asking for quick accepts both.
  return CanReuse(last, now, CheckKind::kQuick, days, nowMs);
}

bool IsNewlyDamaged(const std::optional<StoredRecord>& last, const FileIdentity& now,
                    bool decodingFault) {
  return decodingFault && last && last->verdict == StoredVerdict::kOk &&
         last->identity.size == now.size && last->identity.mtimeNs != kUnknownTimeNs &&
         last->identity.mtimeNs == now.mtimeNs;
}

std::string_view StoredVerdictName(StoredVerdict verdict) {
  switch (verdict) {
    case StoredVerdict::kOk: return "ok";
    case StoredVerdict::kError: return "error";
    case StoredVerdict::kUnsupported: break;
  }
  return "unsupported";
}

StoredVerdict StoredVerdictNamed(std::string_view name) {
  if (name == "ok") return StoredVerdict::kOk;
  return name == "unsupported" ? StoredVerdict::kUnsupported : StoredVerdict::kError;
}

std::string_view ReachName(Reach reach) {
  return reach == Reach::kVorbis ? "vorbis" : "all-codecs";
}

std::string_view CheckKindName(CheckKind kind) {
  return kind == CheckKind::kFull ? "full" : "quick";
}

namespace {

// Our texts hold no tab or line break; a stray one must not split a line of the column.
std::string OneField(std::string_view text) {
  std::string field(text);
  for (char& c : field) {
    if (c == '\t' || c == '\n') c = ' ';
  }
  return field;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<std::string> EncodeWarnings(const VerdictRecord& record) {
  if (record.warnings.empty() && record.warningsNotListed == 0) return std::nullopt;
  std::string column;
  for (const StoredWarning& w : record.warnings) {
    char position[32];
    // Exactly the double that was recorded comes back.
    std::snprintf(position, sizeof position, "%.17g", w.position);
    column += OneField(w.name) + '\t' + std::to_string(w.offset) + '\t' + position + '\t' +
              OneField(w.text) + '\n';
  }
  if (record.warningsNotListed > 0) column += '+' + std::to_string(record.warningsNotListed) + '\n';
  return column;
}

void DecodeWarnings(std::string_view column, VerdictRecord& record) {
  record.warnings.clear();
  record.warningsNotListed = 0;
  while (!column.empty()) {
    const std::size_t end = column.find('\n');
    std::string_view line = column.substr(0, end);
    column.remove_prefix(end == std::string_view::npos ? column.size() : end + 1);
    if (line.starts_with('+')) {
      ParseNumber(line.substr(1), record.warningsNotListed);
      continue;
    }
    StoredWarning w;
    std::string_view fields[3];
    bool whole = true;
    for (std::string_view& field : fields) {
      const std::size_t tab = line.find('\t');
      whole = whole && tab != std::string_view::npos;
      if (!whole) break;
      field = line.substr(0, tab);
      line.remove_prefix(tab + 1);
    }
    // A line that is not one of ours (a hand-edited row) is passed over.
    if (!whole || !ParseNumber(fields[1], w.offset)) continue;
    w.name = std::string(fields[0]);
    w.position = std::strtod(std::string(fields[2]).c_str(), nullptr);
    w.text = std::string(line);
    record.warnings.push_back(std::move(w));
  }
}
