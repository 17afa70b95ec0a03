#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The system's libvorbis can be crashed by a crafted file. Decoding therefore runs in a
// helper process (the product's own executable, started with kDecoderHelperFlag), so a
// crash, an abort or a runaway takes down the helper and not the scan.

struct DecoderLimits {
  // What a hostile header may make the decoder allocate.
  uint64_t addressSpaceBytes = uint64_t{4} << 30;
  // libvorbis sizes stack buffers from the codebook sizes a file declares: up to 12 bytes
  // for each of 2^23 entries. The default 8 MiB of a process is far too little.
  std::size_t stackBytes = std::size_t{512} << 20;
  // The longest wait for the helper's next answer before it counts as a runaway.
  std::chrono::milliseconds stepTimeout{60000};
};

inline constexpr char kDecoderHelperFlag[] = "--decoder-helper";

// When argv asks for the decoder helper, serves requests until the scan closes the pipe
// and returns the exit status; otherwise returns -1. Every front end's main calls it first.
int MaybeRunDecoderHelper(int argc, char** argv);

std::filesystem::path CurrentExecutable();

// One helper process, seen from the scan. It answers each requested file with one
// kOpened message and, if the file opened, kStep messages up to the one whose value is
// 0 or negative; then it waits for the next request.
class CDecoderHelper {
 public:
  enum Type : uint32_t { kOpened = 1, kStep = 2 };
  struct Message {
    uint32_t type = 0;
    // kOpened: 1 if the file opened. kStep: the step result.
    int32_t value = 0;
    // kOpened: the length in samples.
    int64_t samples = 0;
    // kOpened: the length in seconds. kStep: the position after the step.
    double seconds = 0;
    // The reason of a failed open or a fault.
    std::string text;
  };
  enum class Wait { kMessage, kGone, kTimedOut };

  CDecoderHelper(std::filesystem::path executable, DecoderLimits limits);
  ~CDecoderHelper();
  CDecoderHelper(const CDecoderHelper&) = delete;
  CDecoderHelper& operator=(const CDecoderHelper&) = delete;

  bool Start();
  bool Running() const { return m_pid != 0; }
  pid_t Pid() const { return m_pid; }
  // What to poll for answers.
  int ReplyFd() const { return m_replies; }
  bool Request(const std::filesystem::path& file);
  // The next answer, waiting at most `timeout` for it; a zero timeout only takes what
  // has already arrived.
  Wait Next(Message& message, std::chrono::milliseconds timeout);
  // Stops the helper if it still runs and names how it ended: "LIMIT" when it was over
  // its limits (or `overLimit`), "CRASH" otherwise.
  std::string End(bool overLimit);
  // Where the helper's decoding got to, by its own record: past the answers that a crash
  // kept from being sent.
  double LastPosition() const { return m_lastPosition; }

 private:
  std::filesystem::path m_executable;
  DecoderLimits m_limits;
  pid_t m_pid = 0;
  int m_requests = -1;
  int m_replies = -1;
  std::atomic<double>* m_position = nullptr;
  double m_lastPosition = 0;
  std::vector<char> m_buffer;
  std::size_t m_bufferBegin = 0;
};
