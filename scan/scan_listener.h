#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "scan/file_verdict.h"
#include "scan/listed_file.h"

struct FileResult {
  // The report's number, and the entry's place in the list (number - 1 for every scan
  // today, but nothing relies on that).
  int number = 0;
  std::size_t index = 0;
  std::filesystem::path path;
  FileVerdict verdict;
  // The file's line of the report, without a line break.
  std::string_view line;
};

struct ScanSummary {
  int files = 0;
  int errors = 0;
  std::vector<int> failed;
  std::size_t listed = 0;
  // The summary line.
  std::string_view line;
  // A cancel stopped the scan; `notChecked` of the `listed` files were never begun.
  bool cancelled = false;
  std::size_t notChecked = 0;
  // The report's lines before the summary for what yielded nothing to test (a folder that
  // cannot be read, ...), and the line after it for what the scan left unchecked (empty
  // when it left nothing). Copies, so that a front end may keep them past the scan.
  std::vector<std::string> uncheckedLines;
  std::string notCheckedLine;
  // --strict: the numbers of the files that break format rules, failed ones and those in a
  // codec Harrowbit does not check included.
  std::vector<int> warned;
};

// Structured results of a scan, for front ends that need more than the report's text:
// formats for scripts, a results database, a live progress line. Called on the worker's
// thread, in list order.
class IScanListener {
 public:
  virtual ~IScanListener() = default;
  virtual void OnFileBegun(int number, const ListedFile& file) {
    (void)number;
    (void)file;
  }
  // After every decode step of an opened file, with the verdict so far.
  virtual void OnFileStep(const FileVerdict& soFar) { (void)soFar; }
  // Once for every file begun; the file a cancel stopped ends as cancelled.
  virtual void OnFileEnded(const FileResult& result) = 0;
  virtual void OnScanEnded(const ScanSummary& summary) = 0;
};
