#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/output.h"
#include "platform/file_status.h"
#include "scan/file_list.h"
#include "scan/scan_listener.h"

// Whether salvages can be written under `folder`: it is a folder this process may make
// files in, or can be made. Says why not on standard error.
bool SalvageFolderUsable(const std::string& folder);

// --salvage: hears each file's result once it was written and, for a damaged file, writes
// a repaired copy under the salvage folder and a line (or JSON object) saying what became
// of it; after the run's summary, a line counting both outcomes.
class CSalvageRun final : public IScanListener {
 public:
  CSalvageRun(const CliOptions& options, COutput& out);

  // Takes out of `list` the files under the salvage folder, which this run's salvages
  // join: they are never checked by the run that writes them. Says so on standard error.
  void KeepOutOfList(CFileList& list) const;
  // Notes the file as it is when its check begins.
  void OnFileBegun(int number, const ListedFile& file) override;
  void OnFileEnded(const FileResult& result) override;
  void OnScanEnded(const ScanSummary&) override {}
  void WriteSummary();
  // A repaired copy could not be written.
  bool NotWritten() const { return m_bNotWritten; }

 private:
  // Where below the salvage folder a file's copy goes: its path below the PATH it was found
  // under; a PATH that is a file, its name.
  std::filesystem::path RelativeName(const std::filesystem::path& file) const;
  void Report(const FileResult& result, const std::string& text, const std::string& json);

  std::filesystem::path m_folder;
  std::filesystem::path m_otherCopies;
  std::vector<std::filesystem::path> m_given;
  bool m_bForce;
  bool m_bStrict;
  bool m_bJson;
  COutput& m_out;
  // Destinations written by this run: a second file reaching one is not salvaged over it.
  std::set<std::filesystem::path> m_taken;
  // The file whose check began last, by its place in the list, as it was then.
  std::size_t m_nBegun = 0;
  std::optional<FileStatus> m_begunAs;
  int m_nSalvaged = 0;
  int m_nNotSalvaged = 0;
  bool m_bNotWritten = false;
};
