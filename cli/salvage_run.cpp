#include "cli/salvage_run.h"

#include <cstdio>
#include <system_error>

#include "platform/file_status.h"
#include "platform/path_bytes.h"
#include "salvage/salvage_file.h"
#include "text/json_text.h"
#include "text/path_text.h"

namespace {

std::filesystem::path Absolute(const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return (error ? path : absolute).lexically_normal();
}

bool IsUnder(const std::filesystem::path& path, const std::filesystem::path& folder) {
  const std::filesystem::path relative = Absolute(path).lexically_relative(Absolute(folder));
  return !relative.empty() && *relative.begin() != "..";
}

std::string JsonLost(const RepairOutcome& repair) {
  std::string list = "[";
  for (std::size_t i = 0; i < repair.lost.size(); ++i) {
    if (i > 0) list += ',';
    const LostRange& range = repair.lost[i];
    list += '[' + JsonNumber(range.from) + ',' +
            JsonNumber(range.openEnded ? std::nullopt : std::optional(range.to)) + ']';
  }
  return list + ']';
}

}  // namespace

bool SalvageFolderUsable(const std::string& folder) {
  FileStatus status{};
  std::error_code error;
  if (!StatusOf(folder, status, error)) {
    if (IsMissing(error)) return true;  // made with the first salvage
  } else if (status.kind != FileStatus::Kind::kFolder) {
    std::fprintf(stderr, "harrowbit-cli: the salvage folder %s is not a folder\n",
                 DisplayText(folder).c_str());
    return false;
  } else if (const int denied = AccessError(folder, Access::kCreateIn); denied == 0) {
    return true;
  } else {
    error = std::error_code(denied, std::generic_category());
  }
  std::fprintf(stderr, "harrowbit-cli: cannot write in the salvage folder %s: %s\n",
               DisplayText(folder).c_str(), error.message().c_str());
  return false;
}

CSalvageRun::CSalvageRun(const CliOptions& options, COutput& out)
    : m_folder(PathFromUtf8(options.salvageDir)),
      m_otherCopies(PathFromUtf8(options.otherCopies)),
      m_bForce(options.force),
      m_bStrict(options.mode.strict),
      m_bJson(options.json),
      m_out(out) {
  for (const std::string& path : options.paths) m_given.push_back(PathFromUtf8(path));
}

void CSalvageRun::KeepOutOfList(CFileList& list) const {
  std::vector<std::filesystem::path> kept;
  std::size_t left = 0;
  // A salvage folder reached through a link lies where the system resolves it, perhaps in
  // a folder checked under another name: its files are kept out there too.
  const std::filesystem::path resolvedFolder = PathFromUtf8(ResolvedPath(PathToUtf8(m_folder)));
  std::filesystem::path lastParent;
  std::filesystem::path lastResolved;
  const auto underResolved = [&](const std::filesystem::path& file) {
    if (resolvedFolder.empty()) return false;
    if (file.parent_path() != lastParent) {
      lastParent = file.parent_path();
      lastResolved = PathFromUtf8(ResolvedPath(PathToUtf8(lastParent)));
    }
    return !lastResolved.empty() && IsUnder(lastResolved / file.filename(), resolvedFolder);
  };
  for (std::size_t i = 0; i < list.Count(); ++i) {
    const std::optional<CFileList::Entry> entry = list.Take(i);
    if (!entry) continue;
    if (IsUnder(entry->path, m_folder) || underResolved(entry->path)) {
      ++left;
    } else {
      kept.push_back(entry->path);
    }
  }
  if (left == 0) return;
  const std::vector<CFileList::Unchecked> unchecked = list.UncheckedSoFar();
  list.Clear();
  for (const std::filesystem::path& path : kept) list.Append(path);
  for (const CFileList::Unchecked& u : unchecked) list.AddUnchecked(u.path, u.reason);
  std::fprintf(stderr, "harrowbit-cli: %zu files under the salvage folder %s are not checked\n",
               left, DisplayText(PathToUtf8(m_folder)).c_str());
}

std::filesystem::path CSalvageRun::RelativeName(const std::filesystem::path& file) const {
  for (const std::filesystem::path& given : m_given) {
    if (file == given) return file.filename();
    const std::filesystem::path relative = file.lexically_relative(given);
    if (!relative.empty() && *relative.begin() != ".." && *relative.begin() != ".") return relative;
  }
  // A relative name from a list (--files-from) keeps its folders: a library's files share
  // names across albums.
  const std::filesystem::path normal = file.lexically_normal();
  if (normal.is_relative() && !normal.empty() && *normal.begin() != "..") return normal;
  return file.filename();
}

void CSalvageRun::OnFileBegun(int, const ListedFile& file) {
  FileStatus status{};
  std::error_code error;
  m_nBegun = file.index;
  m_begunAs.reset();
  if (StatusOf(PathToUtf8(file.path), status, error)) m_begunAs = status;
}

void CSalvageRun::OnFileEnded(const FileResult& result) {
  const FileVerdict& v = result.verdict;
  if (!v.IsDecodingFault() &&
      !(m_bStrict && v.HasWarnings() && v.status == FileVerdict::Status::kOk))
    return;
  const std::filesystem::path name = RelativeName(result.path);
  SalvageRequest request{result.path, m_folder / name, std::nullopt, m_bForce, {}, {}};
  if (!m_otherCopies.empty()) request.otherCopy = m_otherCopies / name;
  if (m_nBegun == result.index) request.checkedAs = m_begunAs;
  SalvageResult salvage;
  if (!m_taken.insert(Absolute(request.destination)).second) {
    salvage.reason = "another file of this run was salvaged to " + PathToUtf8(request.destination);
  } else {
    salvage = SalvageFile(request);
  }
  const std::string destination = PathToUtf8(request.destination);
  std::string json = "{\"type\":\"salvage\",\"number\":" + std::to_string(result.number) +
                     ",\"path\":" + JsonQuote(PathToUtf8(result.path));
  if (salvage.status == SalvageResult::Status::kSalvaged) {
    ++m_nSalvaged;
    const RepairOutcome& r = salvage.repair;
    Report(result, "\tSALVAGED (" + DescribeSalvage(r) + ") as " + DisplayText(destination),
           json + ",\"salvaged\":true,\"destination\":" + JsonQuote(destination) +
               ",\"kept\":" + JsonNumber(r.keptSeconds) +
               ",\"length\":" + JsonNumber(r.totalSeconds) + ",\"lost\":" + JsonLost(r) +
               ",\"pages_from_other_copy\":" + std::to_string(r.pagesHealed) + "}");
    return;
  }
  ++m_nNotSalvaged;
  const bool notWritten = salvage.status == SalvageResult::Status::kNotWritten;
  m_bNotWritten = m_bNotWritten || notWritten;
  Report(result, "\tNOT SALVAGED (" + DisplayText(salvage.reason) + ")",
         json + ",\"salvaged\":false,\"reason\":" + JsonQuote(salvage.reason) +
             (notWritten ? ",\"write_failed\":true" : "") + "}");
}

void CSalvageRun::Report(const FileResult&, const std::string& text, const std::string& json) {
  m_out.Write((m_bJson ? json : text) + '\n');
}

void CSalvageRun::WriteSummary() {
  if (m_bJson) {
    m_out.Write("{\"type\":\"salvage_summary\",\"salvaged\":" + std::to_string(m_nSalvaged) +
                ",\"not_salvaged\":" + std::to_string(m_nNotSalvaged) + "}\n");
  } else {
    m_out.Write("Salvage: " + std::to_string(m_nSalvaged) + " SALVAGED, " +
                std::to_string(m_nNotSalvaged) + " NOT SALVAGED\n");
  }
}
