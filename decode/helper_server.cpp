#include "decode/helper_server.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "decode/helper_protocol.h"
#include "filetest/ogg_check.h"
#include "filetest/quick_check.h"
#include "platform/path_bytes.h"
#include "platform/process.h"

namespace {

// Answers go out in batches: a write per decode step would cost more than isolation may.
constexpr std::size_t kBatchBytes = 2048;

class CReplier {
 public:
  void Add(const HelperMessage& message) { AppendMessage(m_buffer, message); }
  // Sends what waits once a batch is full, or at once when `now`.
  bool Flush(bool now) {
    if (m_buffer.empty() || (!now && m_buffer.size() < kBatchBytes)) return true;
    const bool ok = WriteAll(kReplyFd, m_buffer.data(), m_buffer.size());
    m_buffer.clear();
    return ok;
  }

 private:
  std::string m_buffer;
};

bool ReadRequest(std::string& path) {
  uint32_t length = 0;
  if (!ReadAll(kRequestFd, &length, sizeof length) || length > kLongestPath) return false;
  path.assign(length, '\0');
  return ReadAll(kRequestFd, path.data(), length);
}

// Decodes one opened file to its end or first fault; false when the scan is gone.
template <typename Check>
bool DecodeToEnd(Check& check, CReplier& out, SharedPosition& position) {
  for (;;) {
    const int r = check.DecodeStep();
    const double seconds = ov_time_tell(&check.Vf());
    position.store(seconds, std::memory_order_relaxed);
    out.Add({HelperMessage::kStep, r, 0, seconds, r < 0 ? check.m_strError : std::string()});
    if (!out.Flush(r <= 0)) return false;
    if (r <= 0) return true;
  }
}

template <typename Check>
void ServeRequests(SharedPosition* shared) {
  Check check;
  CReplier out;
  SharedPosition unshared{0};
  SharedPosition& position = shared != nullptr ? *shared : unshared;
  std::string path;
  while (ReadRequest(path)) {
    position.store(0, std::memory_order_relaxed);
    const bool opened = check.Open(PathFromUtf8(path));
    const double totalSeconds = opened ? ov_time_total(&check.Vf(), -1) : 0;
    out.Add(
        {HelperMessage::kOpened, opened, check.m_nTotalSamples, totalSeconds, check.m_strError});
    if (!out.Flush(true)) return;
    if (opened && !DecodeToEnd(check, out, position)) return;
  }
}

// The sanitizers reserve terabytes of shadow address space at start; under them the
// helper runs without its address-space limit rather than not at all.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// libvorbis sizes stack buffers from what a file declares, so decoding runs on a thread
// whose stack is as large as the scan asks.
struct Serving {
  SharedPosition* position;
  bool quick;
};

void Serve(void* p) {
  const auto* serving = static_cast<const Serving*>(p);
  if (serving->quick) {
    ServeRequests<COggQuickCheck>(serving->position);
  } else {
    ServeRequests<COggCheck>(serving->position);
  }
}

}  // namespace

int MaybeRunDecoderHelper(int argc, char** argv) {
  if (argc != 6 || std::strcmp(argv[1], kDecoderHelperFlag) != 0) return -1;
  const bool quick = std::strcmp(argv[5], kQuickCheckArgument) == 0;
  const auto stackBytes = static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10));
  const auto addressSpace = static_cast<uint64_t>(std::strtoull(argv[4], nullptr, 10));
  void* shared = nullptr;
  if (!BecomeHelper(argv[2], {kRequestFd, kReplyFd, kPositionFd}, kSanitized ? 0 : addressSpace,
                    sizeof(SharedPosition), &shared)) {
    return 1;
  }
  Serving serving{static_cast<SharedPosition*>(shared), quick};
  RunOnStack(stackBytes, Serve, &serving);
  return 0;
}
