#include "cli/given_paths.h"

#include <cstdio>
#include <string>
#include <vector>

#include "cli/complaint.h"
#include "cli/path_list.h"
#include "platform/file_status.h"
#include "platform/path_bytes.h"
#include "scan/file_collection.h"

namespace {

class CListBuilder {
 public:
  CListBuilder(CFileList& list, IResultFormatter& formatter, OggNames names = OggNames::kOggOnly)
      : m_list(list), m_formatter(formatter), m_names(names) {}

  void Add(const std::string& path) {
    // Each path is looked at once: under Wine a look costs a millisecond.
    FileStatus::Kind kind = FileStatus::Kind::kOther;
    std::error_code lookError;
    if (!KindOf(path, kind, lookError)) {
      Trouble(path, lookError.message());
      return;
    }
    if (kind != FileStatus::Kind::kFolder && !IsOggFile(path, m_names)) {
      Trouble(path, m_names == OggNames::kOggOnly
                        ? "not checked: neither a folder nor a file whose name ends in \".ogg\""
                        : "not checked: neither a folder nor a file whose name ends in \".ogg\", "
                          "\".oga\" or \".opus\"");
      return;
    }
    if (kind != FileStatus::Kind::kFolder) {
      m_list.Append(PathFromUtf8(path));
      return;
    }
    ScanFolder(
        m_list, PathFromUtf8(path),
        [this](const std::filesystem::path& folder, std::error_code error) {
          Trouble(PathToUtf8(folder), error.message());
        },
        m_names);
  }
  bool AllUsed() const { return m_bAllUsed; }

 private:
  void Trouble(const std::string& path, const std::string& what) {
    Complain(path, what);
    m_bAllUsed = false;
    m_formatter.Unchecked(path, what);
  }

  CFileList& m_list;
  IResultFormatter& m_formatter;
  bool m_bAllUsed = true;
  OggNames m_names;
};

bool AddListedPaths(const CliOptions& options, CListBuilder& builder) {
  const auto separator = options.nulSeparated ? PathListSeparator::kNul : kLineSeparator;
  bool allRead = true;
  for (const std::string& list : options.filesFrom) {
    std::vector<std::string> entries;
    std::string error;
    if (!ReadPathList(list, separator, entries, error)) {
      std::fprintf(stderr, "harrowbit-cli: %s\n", error.c_str());
      allRead = false;
      continue;
    }
    for (const std::string& entry : entries) builder.Add(entry);
  }
  return allRead;
}

}  // namespace

bool ListGivenPaths(const CliOptions& options, CFileList& list, IResultFormatter& formatter) {
  CListBuilder builder(list, formatter, OggNamesOf(options));
  for (const std::string& path : options.paths) builder.Add(path);
  const bool listRead = options.filesFrom.empty() || AddListedPaths(options, builder);
  return builder.AllUsed() && listRead;
}
