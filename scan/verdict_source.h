#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "scan/file_tester.h"

// Files decoded whole, ahead of the worker, handed out in list order.
class IVerdictSource {
 public:
  struct Decoded {
    FileVerdict verdict;
    // Samples per channel decoded, and the last step's result (0, or a fault).
    int64_t samplesDecoded = 0;
    int64_t lastResult = 0;
  };
  virtual ~IVerdictSource() = default;
  // The verdict of the list's entry `file`, waiting until it is decoded. Entries before it
  // that were not asked for are the scan's own business and are not decoded for it.
  virtual Decoded Take(const ListedFile& file) = 0;
};

// Plays verdicts decoded ahead back to the worker as a single step, so the worker's loop
// (progress, pause, cancel between steps) is the same whatever does the decoding. The
// worker opens the list's entries in order, as the source decodes them.
class CVerdictReplay final : public IFileTester {
 public:
  explicit CVerdictReplay(std::unique_ptr<IVerdictSource> source) : m_source(std::move(source)) {}
  bool Open(const ListedFile& file) override {
    m_decoded = m_source->Take(file);
    m_bStepped = false;
    return m_decoded.verdict.opened;
  }
  int64_t DecodeStep() override {
    if (!m_bStepped && m_decoded.samplesDecoded > 0) {
      m_bStepped = true;
      return m_decoded.samplesDecoded;
    }
    return m_decoded.lastResult;
  }
  const FileVerdict& Verdict() const override { return m_decoded.verdict; }

 private:
  std::unique_ptr<IVerdictSource> m_source;
  IVerdictSource::Decoded m_decoded;
  bool m_bStepped = false;
};
