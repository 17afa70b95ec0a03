#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "decode/helper_client.h"
#include "scan/file_list.h"
#include "scan/verdict_source.h"

// Decodes the files of a list on several helper processes at once and hands out their
// verdicts in list order, so the scan's report is the one a single decoder would give.
// Files ahead of the scan are kept as verdicts, never as audio, and at most a window of
// them waits at a time.
class CParallelDecoder final : public IVerdictSource {
 public:
  // Whether the list's entry (index, path) is to be decoded at all: the scan asks for no
  // verdict of those it does not want.
  using Wanted = std::function<bool(std::size_t index, const std::filesystem::path& path)>;

  CParallelDecoder(const CFileList& list, int jobs,
                   std::filesystem::path helper = CurrentExecutable(), DecoderOptions options = {},
                   Wanted wanted = {});

  Decoded Take(const std::filesystem::path& path) override;

 private:
  struct Job {
    std::size_t index = 0;
    std::filesystem::path path;
    Decoded decoded;
    bool done = false;
    // Not wanted: never decoded.
    bool skipped = false;
  };
  void Append(std::size_t index, std::filesystem::path path);

  Job& JobAt(std::size_t index) { return m_jobs[index - m_jobs.front().index]; }
  // Gives each idle helper the next file ahead, within the window.
  void Dispatch();
  // False when the helper could not be started.
  bool Assign(std::size_t helper, Job& job);
  bool AnyBusy() const;
  // Takes in answers until the job of `index` is done.
  void WaitFor(std::size_t index);
  void TakeAnswers(std::size_t helper);
  void Take(std::size_t helper, const HelperMessage& message);
  void Lost(std::size_t helper, bool overLimit);
  void Finish(std::size_t helper);

  const CFileList& m_list;
  std::vector<std::unique_ptr<CDecoderHelper>> m_helpers;
  // The list index each helper decodes, if any.
  std::vector<std::optional<std::size_t>> m_busy;
  // Files taken from the list and not yet handed out, in list order.
  std::deque<Job> m_jobs;
  std::size_t m_nextToList = 0;
  std::size_t m_window;
  std::chrono::milliseconds m_timeout;
  int m_cancelFd;
  Wanted m_wanted;
};
