#pragma once

#include "decode/helper_client.h"
#include "scan/file_tester.h"

// Decodes one file at a time in a helper process, step by step as the scan asks. A file
// that kills the decoder gets "CRASH" ("LIMIT" when it went past its limits) with the
// position of the last decoded step, or alone when it happened while opening; the next
// file gets a new helper.
class CIsolatedTester final : public IFileTester {
 public:
  explicit CIsolatedTester(std::filesystem::path helper = CurrentExecutable(),
                           DecoderOptions options = {});

  bool Open(const std::filesystem::path& path) override;
  int64_t DecodeStep() override;
  const FileVerdict& Verdict() const override { return m_verdict; }

  // The running helper, 0 when none runs. For tests that stop it from outside.
  pid_t HelperPid() const { return m_helper.Pid(); }

 private:
  CDecoderHelper m_helper;
  bool m_bDecoding = false;
  FileVerdict m_verdict;
};

TesterFactory IsolatedTesterFactory(std::filesystem::path helper = CurrentExecutable(),
                                    DecoderOptions options = {});
