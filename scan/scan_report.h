#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The line that follows the summary when files were left unchecked, the same for every
// front end and every cause: "Cancelled: 2052 of 2500 files not checked".
std::string NotCheckedLine(std::string_view reason, std::size_t notChecked, std::size_t listed);

// The report as the window shows it: a line per file, "[n/total]\tpath...", then "OK",
// "ERROR (reason)" or nothing for a file a cancel stopped; a line for each path given or
// met that yielded nothing to test; a closing summary with the numbers of the failed files;
// and, when the scan stopped early, what it left unchecked. Lines are joined by "\r\n".
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
  // --strict: a file that decoded cleanly but breaks `count` format rules ("WARN (2)"),
  // counted in the summary as such.
  void AddWarned(int64_t count);
  // A failed file, or one in a codec no check here decodes, that breaks format rules as
  // well: counted in the summary.
  void NoteWarned();
  // "Not checked: path (reason)".
  void AddUnchecked(const std::filesystem::path& path, std::string_view reason);
  void AddSummary(int filesBegun);
  // After the summary: see NotCheckedLine.
  void AddNotChecked(std::string_view reason, std::size_t notChecked, std::size_t listed);

  const std::string& Text() const { return m_strText; }
  // The line being written, or the last one written.
  std::string_view CurrentLine() const;
  // The summary line once written, else empty.
  std::string_view SummaryLine() const;
  std::vector<std::string> UncheckedLines() const;
  // The line after the summary, else empty.
  std::string_view NotCheckedLine() const;
  int ErrorCount() const { return static_cast<int>(m_failed.size()); }
  const std::vector<int>& Failed() const { return m_failed; }
  // The numbers of the files that break format rules (--strict).
  const std::vector<int>& Warned() const { return m_warned; }

 private:
  void BeginLine();
  void BeginTailLine();

  bool m_bKeepAll;
  // The files' lines are over: every line from here on is kept.
  bool m_bTail = false;
  std::string m_strText;
  std::size_t m_nLineStart = 0;
  std::size_t m_nSummaryStart = 0;
  std::size_t m_nSummaryEnd = 0;
  std::size_t m_nNotCheckedStart = 0;
  // Where each "Not checked:" line begins and ends.
  std::vector<std::pair<std::size_t, std::size_t>> m_uncheckedSpans;
  int m_nCurrentFile = 0;
  std::vector<int> m_failed;
  std::vector<int> m_warned;
};
