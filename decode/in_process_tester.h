#pragma once

#include "filetest/ogg_check.h"
#include "scan/file_tester.h"

// Decodes in the calling thread: a file that crashes the decoder ends the process.
class CInProcessTester final : public IFileTester {
 public:
  bool Open(const std::filesystem::path& path) override;
  int64_t DecodeStep() override;
  const FileVerdict& Verdict() const override { return m_verdict; }

 private:
  COggCheck m_check;
  FileVerdict m_verdict;
};

TesterFactory InProcessTesterFactory();
