#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "decode/helper_protocol.h"
#include "platform/cancel_signal.h"
#include "platform/process.h"

// The system's libvorbis can be crashed by a crafted file. Decoding therefore runs in a
// helper process (the product's own executable, or harrowbit-decoder, started with
// kDecoderHelperFlag), so a crash, an abort or a runaway takes down the helper and not
// the scan.

struct DecoderOptions {
  // What a hostile header may make the decoder allocate.
  uint64_t addressSpaceBytes = uint64_t{4} << 30;
  // libvorbis sizes stack buffers from the codebook sizes a file declares: up to 12 bytes
  // for each of 2^23 entries. The default 8 MiB of a process is far too little.
  std::size_t stackBytes = std::size_t{512} << 20;
  // The processor time a helper may spend without an answer before it counts as a
  // runaway; a helper that goes as long by the wall clock while using hardly any of it
  // is stalled (stopped, or waiting on a file system that does not answer).
  std::chrono::milliseconds stepTimeout{60000};
  // Raised when the scan is cancelled: waits for the helper end at once then.
  NativeWaitable cancelFd = kNoWaitable;
  // The way each file is checked; with `strict`, its breaches come with the verdict.
  CheckMode mode{};
  // A helper that cannot confine itself (platform/sandbox.h) checks nothing: each file it
  // was asked for is a fault of the run. Otherwise it says so once and decodes unconfined.
  bool requireSandbox = false;
};

// How a helper's work on a file ended when it did not answer to the end.
struct HelperExit {
  enum class How {
    kCrashed,    // it died by itself: a crash, an abort, an exit
    kKilled,     // a signal that kills outright reached it from outside the scan (the
                 // kernel's out-of-memory killer sends SIGKILL), or it wrote a file
    kOverLimit,  // the scan stopped it: too much processor time without an answer
    kStalled,    // the scan stopped it: no answer for long, and hardly any processor time
    kCancelled,  // the scan stopped it: the check was cancelled
    kSandboxed,  // its sandbox ended it for a system call the sandbox does not allow
    kUnconfined  // it could not confine itself, and was told to check nothing then
  };
  How how = How::kCrashed;
  // The signal it died of, when it died by itself; 0 otherwise.
  int signal = 0;
  // Where its decoding got to by its own record, past the answers a crash kept back.
  double lastPosition = 0;
  // Whether the scan itself ended it: then nothing about the file is to be retried.
  bool ByTheScan() const {
    return how == How::kOverLimit || how == How::kStalled || how == How::kCancelled;
  }
  // Whether a fresh helper could end otherwise: not after the scan or the sandbox ended it,
  // which a second helper would do again.
  bool Retried() const { return !ByTheScan() && how != How::kSandboxed && how != How::kUnconfined; }
  bool operator==(const HelperExit&) const = default;
};

// One helper process, seen from the scan.
class CDecoderHelper {
 public:
  enum class Wait { kMessage, kGone, kTimedOut, kCancelled };

  CDecoderHelper(std::filesystem::path executable, DecoderOptions options);
  // Nothing waits for a verdict any more: stops the helper at once.
  ~CDecoderHelper();
  CDecoderHelper(const CDecoderHelper&) = delete;
  CDecoderHelper& operator=(const CDecoderHelper&) = delete;

  // Starts the helper unless it runs already; says why it could not.
  std::error_code Start();
  NativeProcessId Pid() const { return m_process.Id(); }
  // What to wait on for answers (WaitForAny).
  NativeWaitable Replies() { return m_process.Answers(); }
  const DecoderOptions& Options() const { return m_options; }
  bool Request(const std::filesystem::path& file);
  // The next answer, waiting at most `timeout` for it; a zero timeout only takes what
  // has already arrived.
  Wait Next(HelperMessage& message, std::chrono::milliseconds timeout);
  // Ends the helper: `why` is the scan's reason to stop it, or kCrashed when it went by
  // itself (its answers ended); then the signal it died of decides.
  HelperExit End(HelperExit::How why);
  // What to make of a helper that has not answered for a while, counting from its last
  // answer (or request): nothing yet, or kOverLimit or kStalled, the reason to stop it.
  std::optional<HelperExit::How> Judge();
  // How often a wait for answers stops to judge the helper.
  std::chrono::milliseconds LookEvery() const;

 private:
  // Returns the last position the helper recorded.
  double UnmapSharedPosition();
  Wait Fill(std::chrono::milliseconds timeout);

  std::filesystem::path m_executable;
  DecoderOptions m_options;
  CHelperProcess m_process;
  SharedPosition* m_position = nullptr;
  // When the last answer came, by the wall clock and by the helper's processor time.
  std::chrono::steady_clock::time_point m_answeredAt;
  std::chrono::nanoseconds m_cpuAtAnswer{0};
  bool m_bJudging = false;
  // Answers read but not yet taken begin at m_nBufferBegin.
  std::string m_buffer;
  std::size_t m_nBufferBegin = 0;
};
