#pragma once

#include "filetest/ogg_check.h"
#include "scan/file_tester.h"

// Decodes in the calling thread.
class CInProcessTester final : public IFileTester {
 public:
  bool Open(const std::filesystem::path& path) override { return m_check.Open(path); }
  int DecodeStep() override { return m_check.DecodeStep(); }
  const std::string& ErrorText() const override { return m_check.m_strError; }
  int64_t TotalSamples() const override { return m_check.m_nTotalSamples; }
  double PositionSeconds() const override;
  double TotalSeconds() const override;

 private:
  COggCheck m_check;
};

TesterFactory InProcessTesterFactory();
