#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "decode/decoder_helper.h"
#include "scan/file_list.h"
#include "scan/file_tester.h"

// Decodes the files of a list on several helper processes at once while the scan takes
// their verdicts in list order, so its report is the one a single decoder would give.
// Files ahead of the scan are decoded into a summary (samples, verdict), never held as
// audio, and at most a window of them waits at a time.
class CParallelTester final : public IFileTester {
 public:
  CParallelTester(const CFileList& list, int jobs,
                  std::filesystem::path helper = CurrentExecutable(), DecoderLimits limits = {});
  ~CParallelTester() override;

  // Opens the list's next entry: the scan walks the list in order.
  bool Open(const std::filesystem::path& path) override;
  // Hands out the samples decoded since the last call, then the file's last result.
  int DecodeStep() override;
  const std::string& ErrorText() const override { return m_strError; }
  int64_t TotalSamples() const override { return m_nTotalSamples; }
  double PositionSeconds() const override { return m_position; }
  double TotalSeconds() const override { return m_totalSeconds; }

 private:
  struct Pending {
    explicit Pending(std::filesystem::path p) : path(std::move(p)) {}
    std::filesystem::path path;
    int helper = -1;
    bool openKnown = false;
    bool opened = false;
    bool ended = false;
    int result = 0;
    int64_t totalSamples = 0;
    double totalSeconds = 0;
    int64_t undelivered = 0;
    double position = 0;
    std::string error;
  };

  Pending& Current() { return m_pending.front(); }
  // Ends whatever runs and forgets every file taken ahead.
  void Forget();
  void Dispatch();
  // Takes in answers until `ready` holds, giving a runaway helper its verdict.
  template <typename Ready>
  void WaitUntil(Ready ready);
  void Take(int helper, const CDecoderHelper::Message& m);
  void Lost(int helper, bool overLimit);
  void DecodeHere(Pending& file);

  const CFileList& m_list;
  std::vector<std::unique_ptr<CDecoderHelper>> m_helpers;
  std::vector<Pending*> m_busy;
  std::chrono::milliseconds m_timeout;
  // The current file at the front, then those dispatched ahead of the scan.
  std::deque<Pending> m_pending;
  std::size_t m_nextIndex = 0;
  std::size_t m_window;
  bool m_bStarted = false;
  std::string m_strError;
  int64_t m_nTotalSamples = 0;
  double m_position = 0;
  double m_totalSeconds = 0;
};
