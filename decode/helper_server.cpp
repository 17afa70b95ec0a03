#include "decode/helper_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "decode/check_answers.h"
#include "decode/check_choice.h"
#include "decode/helper_protocol.h"
#include "filetest/codecs/check_traits.h"
#include "platform/path_bytes.h"
#include "platform/process.h"
#include "platform/read_file.h"
#include "platform/sandbox.h"
#include "platform/sanitized.h"

namespace {

// Answers go out in batches: a write per decode step would cost more than isolation may,
// and under Wine every write and every read of them is a round trip through its server.
// A batch goes when it fills the pipe...
constexpr std::size_t kBatchBytes = kReplyPipeBytes;
// ... or once its first answer has waited this long, so that the scan sees a long file
// progress and judges its helper by fresh answers.
constexpr auto kBatchWait = std::chrono::milliseconds(50);
// A step can take microseconds: the clock is read only each time this much more waits.
constexpr std::size_t kClockEveryBytes = 2048;

class CReplier {
 public:
  void Add(const HelperMessage& message) {
    if (m_buffer.empty()) {
      m_began = std::chrono::steady_clock::now();
      m_nNextLook = kClockEveryBytes;
    }
    AppendMessage(m_buffer, message);
  }
  // Sends what waits once a batch is full or old enough, or at once when `now`.
  bool Flush(bool now) {
    if (m_buffer.empty()) return true;
    if (!now && m_buffer.size() < kBatchBytes) {
      if (m_buffer.size() < m_nNextLook) return true;
      m_nNextLook = m_buffer.size() + kClockEveryBytes;
      if (std::chrono::steady_clock::now() - m_began < kBatchWait) return true;
    }
    const bool ok = WriteAll(kReplyFd, m_buffer.data(), m_buffer.size());
    m_buffer.clear();
    return ok;
  }

 private:
  std::string m_buffer;
  std::chrono::steady_clock::time_point m_began;
  std::size_t m_nNextLook = 0;
};

template <typename Check>
void ServeRequests(SharedPosition* shared, HelperProbe probe) {
  Check check;
  CReplier out;
  SharedPosition unshared{0};
  SharedPosition& position = shared != nullptr ? *shared : unshared;
  const auto answer = [&](const HelperMessage& message) {
    if (message.type == HelperMessage::kStep)
      position.store(message.seconds, std::memory_order_relaxed);
    out.Add(message);
  };
  HelperRequest request;
  while (ReadRequest(kRequestFd, request)) {
    CReadFile::HandedOver(request.path, request.file, request.opened);
    if (probe != nullptr) probe(request.path);
    position.store(0, std::memory_order_relaxed);
    if constexpr (kHoldsToRules<Check>) check.SetStrict(request.strict);
    const bool opened = AnswerOpen(check, PathFromUtf8(request.path), answer);
    if (!out.Flush(true)) return;
    // Decodes the file to its end or first fault, unless the scan is gone.
    for (int r = opened ? 1 : 0; r > 0;) {
      r = AnswerStep(check, answer);
      if (!out.Flush(r <= 0)) return;
    }
  }
}

// The sanitizers reserve terabytes of shadow address space at start; under them the
// helper runs without its address-space limit rather than not at all.
using platform_build::kSanitized;

// libvorbis sizes stack buffers from what a file declares, so decoding runs on a thread
// whose stack is as large as the scan asks.
struct Serving {
  SharedPosition* position;
  CheckMode mode{};
  std::string_view sandbox;
  HelperProbe probe;
  bool confined = false;
  int status = 0;
};

// Confines the helper, every thread of it, before it reads a request, let alone a file.
// False when it must not serve.
bool Confine(Serving& serving) {
  serving.confined = ConfineDecoderHelper(kReplyFd).confined;
  if (serving.confined || serving.sandbox != kSandboxRequired) return true;
  serving.status = kUnconfinedExitStatus;
  return false;
}

// Says what the system lacks for the sandbox while standard error can still be written
// (from BecomeHelper on, a write to a file ends the helper); false when it must not serve.
bool SayWhatTheSandboxLacks(std::string_view sandbox) {
  const std::string missing = SandboxMissing();
  if (missing.empty()) return true;
  if (sandbox == kSandboxRequired) {
    std::fprintf(stderr,
                 "harrowbit: the decoder helper cannot be confined (%s), and "
                 "--require-sandbox forbids decoding unconfined\n",
                 missing.c_str());
    return false;
  }
  if (sandbox == kSandboxTell) {
    std::fprintf(stderr, "harrowbit: the decoder helper runs unconfined: %s\n", missing.c_str());
  }
  return true;
}

void Serve(void* p) {
  auto* serving = static_cast<Serving*>(p);
  if (!Confine(*serving)) return;
  WithCheckOf(serving->mode, [serving]<typename Check>() {
    ServeRequests<Check>(serving->position, serving->probe);
  });
}

}  // namespace

int MaybeRunDecoderHelper(int argc, char** argv, HelperProbe probe) {
  if (argc != 7 || std::strcmp(argv[1], kDecoderHelperFlag) != 0) return -1;
  // An argument it does not know gets the check every helper has served from the first:
  // Vorbis, in full.
  const CheckMode mode = CheckModeOfHelperArgument(argv[5]).value_or(CheckMode{});
  const auto stackBytes = static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10));
  const auto addressSpace = static_cast<uint64_t>(std::strtoull(argv[4], nullptr, 10));
  if (!SayWhatTheSandboxLacks(argv[6])) return kUnconfinedExitStatus;
  void* shared = nullptr;
  if (!BecomeHelper(argv[2], {kRequestFd, kReplyFd, kPositionFd}, kSanitized ? 0 : addressSpace,
                    sizeof(SharedPosition), &shared)) {
    return 1;
  }
  Serving serving{static_cast<SharedPosition*>(shared), mode, argv[6], probe};
  RunOnStack(stackBytes, Serve, &serving);
  // Exit handlers (the sanitizers' leak check among them) would reach for what the
  // sandbox forbids, and have nothing left to do: the answers are all written.
  if (serving.confined) std::_Exit(serving.status);
  return serving.status;
}
