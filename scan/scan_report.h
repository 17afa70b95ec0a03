#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// The report as the window shows it: a line per file, "[n/total]\tpath...", then "OK",
// "ERROR (reason)" or nothing for a file a cancel stopped; lines joined by "\r\n"; a
// closing summary with the numbers of the failed files.
class CScanReport {
 public:
  // `keepAll` false: only the line being written is kept (Text() is that line), for a
  // scan whose report nobody reads whole.
  explicit CScanReport(bool keepAll = true) : m_bKeepAll(keepAll) {}

  // `total` is the list's length as the line begins: files added later raise the next
  // lines' totals, not this one's.
  void BeginFile(int number, std::size_t total, const std::filesystem::path& path);
  void AddOk();
  void AddError(std::string_view reason);
  void AddSummary(int filesBegun);

  const std::string& Text() const { return m_strText; }
  // The line being written, or the last one written.
  std::string_view CurrentLine() const;
  int ErrorCount() const { return static_cast<int>(m_failed.size()); }
  const std::vector<int>& Failed() const { return m_failed; }

 private:
  void BeginLine();

  bool m_bKeepAll;
  std::string m_strText;
  std::size_t m_nLineStart = 0;
  int m_nCurrentFile = 0;
  std::vector<int> m_failed;
};
