#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "decode/helper_client.h"
#include "decode/helper_verdict.h"
#include "scan/file_list.h"
#include "scan/verdict_source.h"

// Decodes the files of a list on several helper processes at once and hands out their
// verdicts in list order, so the scan's report is the one a single decoder would give.
// Files ahead of the scan are kept as verdicts, never as audio, and at most a window of
// them waits at a time. Every job carries its list entry from the list to the verdict
// handed out, and a verdict is only ever handed out for the entry it was decoded from.
class CParallelDecoder final : public IVerdictSource {
 public:
  // Whether the list's entry is to be decoded ahead at all: the scan asks for no verdict
  // of those it does not want. Asked at most once per entry, in list order.
  using Wanted = std::function<bool(const ListedFile& file)>;

  CParallelDecoder(const CFileList& list, int jobs,
                   std::filesystem::path helper = CurrentExecutable(), DecoderOptions options = {},
                   Wanted wanted = {});

  Decoded Take(const ListedFile& file) override;

 private:
  struct Job {
    explicit Job(ListedFile listed) : file(std::move(listed)) {}
    ListedFile file;
    enum class State { kWaiting, kDecoding, kDone } state = State::kWaiting;
    // A helper that died by itself gets the file once more in a fresh helper.
    bool retried = false;
    Decoded decoded;
    // Its verdict while a helper decodes it; in `decoded` once done.
    CVerdictBuilder verdict;
  };

  // Reads the list on to its next wanted entry, within the window; false when none is to
  // be read now.
  bool ReadAhead();
  Job* NextWaiting();
  // Gives each idle helper the next file ahead.
  void Dispatch();
  // False when the helper could not be started.
  bool Assign(std::size_t helper, Job& job);
  bool AnyBusy() const;
  // Takes in answers until the job of `index` is done.
  void WaitFor(std::size_t index);
  void TakeAnswers(std::size_t helper);
  void Take(std::size_t helper, const HelperMessage& message);
  void Ended(std::size_t helper, const HelperExit& exit);
  void Finish(std::size_t helper);

  const CFileList& m_list;
  std::vector<std::unique_ptr<CDecoderHelper>> m_helpers;
  // The list index each helper decodes, if any.
  std::vector<std::optional<std::size_t>> m_busy;
  // Entries read from the list and not yet handed out, by list index. A map: jobs are
  // added while others are referred to, and an entry's address never moves.
  std::map<std::size_t, Job> m_jobs;
  // The first list index not yet read.
  std::size_t m_nextToRead = 0;
  // Every entry before it has been handed out or passed by: a job there that a helper is
  // still on is dropped when its answers are in.
  std::size_t m_passed = 0;
  std::size_t m_window;
  std::chrono::steady_clock::time_point m_nextLook;
  NativeWaitable m_cancelFd;
  Wanted m_wanted;
};
