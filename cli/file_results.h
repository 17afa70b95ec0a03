#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scan/file_tester.h"

// What the scan found for one file, as scripts want it.
struct FileResult {
  enum class Verdict { kOk, kError, kCancelled };
  int number = 0;
  std::string path;  // the bytes as listed
  Verdict verdict = Verdict::kOk;
  std::string reason;
  std::optional<double> position;  // where a fault struck, or where a cancel stopped
  std::optional<double> length;    // when the file opened
};

// How far the scan has got, for the progress line.
struct ScanCounts {
  int filesDone = 0;
  int errors = 0;
  std::vector<int> failed;
  double audioSeconds = 0;
};

// Watches the tests the scan makes, as the scan makes them, and tells each file's result
// once it is known. Results come in list order, since the scan tests in that order.
class CResultTap final : public IFileTester {
 public:
  using Sink = std::function<void(const FileResult&)>;
  CResultTap(std::unique_ptr<IFileTester> inner, ScanCounts& counts, Sink sink);
  // A file still being decoded is the one a cancel stopped.
  ~CResultTap() override;

  bool Open(const std::filesystem::path& path) override;
  int DecodeStep() override;
  const std::string& ErrorText() const override { return m_inner->ErrorText(); }
  int64_t TotalSamples() const override { return m_inner->TotalSamples(); }
  double PositionSeconds() const override { return m_inner->PositionSeconds(); }
  double TotalSeconds() const override { return m_inner->TotalSeconds(); }

 private:
  void Finish(FileResult::Verdict verdict);

  std::unique_ptr<IFileTester> m_inner;
  ScanCounts& m_counts;
  Sink m_sink;
  std::optional<FileResult> m_current;
  double m_lastPosition = 0;
};

// A JSON string for bytes that may not be UTF-8: valid text as it is, and each byte that
// does not decode as the lone surrogate U+DC80 + (byte - 0x80), the "surrogateescape"
// that Python's os.fsencode and bytes.decode(..., "surrogateescape") undo.
std::string JsonString(std::string_view bytes);
std::string JsonLine(const FileResult& result);
std::string JsonSummary(const ScanCounts& counts, std::size_t listed, bool cancelled);
