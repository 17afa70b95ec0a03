#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "decode/helper_protocol.h"

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
  // The longest wait for the helper's next answer before it counts as a runaway.
  std::chrono::milliseconds stepTimeout{60000};
  // Readable when the scan is cancelled: waits for the helper end at once then.
  int cancelFd = -1;
  // The quick check (no audio synthesis) instead of a full decode.
  bool quick = false;
};

std::filesystem::path CurrentExecutable();

// One helper process, seen from the scan.
class CDecoderHelper {
 public:
  enum class Wait { kMessage, kGone, kTimedOut, kCancelled };

  CDecoderHelper(std::filesystem::path executable, DecoderOptions options);
  // Nothing waits for a verdict any more: stops the helper at once.
  ~CDecoderHelper();
  CDecoderHelper(const CDecoderHelper&) = delete;
  CDecoderHelper& operator=(const CDecoderHelper&) = delete;

  // Starts the helper unless it runs already. False leaves the reason in errno.
  bool Start();
  pid_t Pid() const { return m_pid; }
  // What to poll for answers.
  int ReplyFd() const { return m_replies; }
  const DecoderOptions& Options() const { return m_options; }
  bool Request(const std::filesystem::path& file);
  // The next answer, waiting at most `timeout` for it; a zero timeout only takes what
  // has already arrived.
  Wait Next(HelperMessage& message, std::chrono::milliseconds timeout);
  // Stops the helper if it still runs and names how it ended: "LIMIT" when it was over
  // its limits (or `overLimit`), "CRASH" otherwise.
  std::string End(bool overLimit);
  // Where the helper's decoding got to, by its own record: past the answers that a crash
  // kept from being sent.
  double LastPosition() const { return m_lastPosition; }

 private:
  bool Spawn(int requestFd, int replyFd, int positionFd);
  int MapSharedPosition();
  void UnmapSharedPosition();
  Wait Fill(std::chrono::milliseconds timeout);

  std::filesystem::path m_executable;
  DecoderOptions m_options;
  pid_t m_pid = 0;
  int m_requests = -1;
  int m_replies = -1;
  SharedPosition* m_position = nullptr;
  double m_lastPosition = 0;
  // Answers read but not yet taken begin at m_nBufferBegin.
  std::string m_buffer;
  std::size_t m_nBufferBegin = 0;
};
