#pragma once

#include <memory>

#include "decode/decoder_helper.h"
#include "decode/in_process_tester.h"

// What DecodeStep gives when the helper died or was stopped at its limits.
inline constexpr int kDecoderDied = -1000;

// Decodes one file at a time in a helper process, step by step as the scan asks. A file
// that kills the decoder gets "CRASH" ("LIMIT" when it went past its limits) with the
// position of the last decoded step, or alone when it happened while opening; the next
// file gets a new helper.
class CIsolatedTester final : public IFileTester {
 public:
  explicit CIsolatedTester(std::filesystem::path helper = CurrentExecutable(),
                           DecoderLimits limits = {});

  bool Open(const std::filesystem::path& path) override;
  int DecodeStep() override;
  const std::string& ErrorText() const override { return m_strError; }
  int64_t TotalSamples() const override { return m_nTotalSamples; }
  double PositionSeconds() const override { return m_position; }
  double TotalSeconds() const override { return m_totalSeconds; }

  // The running helper, 0 when none runs. For tests that stop it from outside.
  pid_t HelperPid() const { return m_helper.Pid(); }

 private:
  CDecoderHelper m_helper;
  std::chrono::milliseconds m_stepTimeout;
  // Decoding where no helper can be started at all.
  std::unique_ptr<CInProcessTester> m_fallback;
  bool m_bDecoding = false;
  double m_position = 0;
  double m_totalSeconds = 0;
  std::string m_strError;
  int64_t m_nTotalSamples = 0;
};

TesterFactory IsolatedTesterFactory(std::filesystem::path helper = CurrentExecutable(),
                                    DecoderLimits limits = {});
