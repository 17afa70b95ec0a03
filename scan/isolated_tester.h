#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "scan/file_tester.h"

// The system's libvorbis can be crashed by a crafted file. Decoding therefore runs in a
// helper process (the product's own executable, started with kDecoderHelperFlag), so a
// crash, an abort or a runaway takes down the helper and not the scan.

struct DecoderLimits {
  // What a hostile header may make the decoder allocate.
  uint64_t addressSpaceBytes = uint64_t{4} << 30;
  // libvorbis sizes stack buffers from the codebook sizes a file declares: up to 12 bytes
  // for each of 2^23 entries. The default 8 MiB of a process is far too little.
  std::size_t stackBytes = std::size_t{512} << 20;
  // The longest wait for one step's result before the helper counts as a runaway.
  std::chrono::milliseconds stepTimeout{60000};
};

inline constexpr char kDecoderHelperFlag[] = "--decoder-helper";
// What DecodeStep gives when the helper died or was stopped at its limits.
inline constexpr int kDecoderDied = -1000;

// When argv asks for the decoder helper, serves requests until the scan closes the pipe
// and returns the exit status; otherwise returns -1. Every front end's main calls it first.
int MaybeRunDecoderHelper(int argc, char** argv);

std::filesystem::path CurrentExecutable();

class CIsolatedTester final : public IFileTester {
 public:
  explicit CIsolatedTester(std::filesystem::path helper = CurrentExecutable(),
                           DecoderLimits limits = {});
  ~CIsolatedTester() override;
  CIsolatedTester(const CIsolatedTester&) = delete;
  CIsolatedTester& operator=(const CIsolatedTester&) = delete;

  bool Open(const std::filesystem::path& path) override;
  int DecodeStep() override;
  const std::string& ErrorText() const override { return m_strError; }
  int64_t TotalSamples() const override { return m_nTotalSamples; }

  // The running helper, 0 when none runs. For tests that stop it from outside.
  pid_t HelperPid() const { return m_pid; }

  struct Message {
    uint32_t type = 0;
    int32_t value = 0;
    int64_t samples = 0;
    double seconds = 0;
    std::string text;
  };

 private:
  enum class Wait { kMessage, kGone, kTimedOut };

  bool StartHelper();
  // Stops the helper if it still runs and names how it ended: "CRASH" or "LIMIT".
  std::string EndHelper(bool timedOut);
  Wait ReadMessage(Message& message);

  std::filesystem::path m_helper;
  DecoderLimits m_limits;
  pid_t m_pid = 0;
  // The helper's own record of where its decoding got to.
  std::atomic<double>* m_position = nullptr;
  int m_requests = -1;
  int m_replies = -1;
  std::vector<char> m_buffer;
  std::size_t m_bufferBegin = 0;
  // Decoding where no helper can be started at all.
  std::unique_ptr<CInProcessTester> m_fallback;
  bool m_bDecoding = false;
  double m_lastSeconds = 0;
  std::string m_strError;
  int64_t m_nTotalSamples = 0;
};

TesterFactory IsolatedTesterFactory(std::filesystem::path helper = CurrentExecutable(),
                                    DecoderLimits limits = {});
