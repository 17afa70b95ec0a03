#include "decode/helper_server.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "decode/codec_facts.h"
#include "decode/helper_protocol.h"
#include "filetest/any_ogg_check.h"
#include "filetest/ogg_check.h"
#include "filetest/quick_check.h"
#include "filetest/strict_check.h"

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

// The breaches of a strict check, which the scan takes in before the last step.
template <typename Check>
void AddWarnings(const Check& check, CReplier& out) {
  if constexpr (kHoldsToRules<Check>) {
    for (const StructureWarning& w : check.Warnings()) {
      out.Add({HelperMessage::kWarning, 0, w.byteOffset, w.seconds,
               std::string(StructureRuleName(w.rule)) + '\t' + w.text});
    }
    if (check.Suppressed() > 0) {
      out.Add({HelperMessage::kWarningsNotListed, 0, check.Suppressed(), 0, {}});
    }
  }
}

// Decodes one opened file to its end or first fault; false when the scan is gone.
template <typename Check>
bool DecodeToEnd(Check& check, CReplier& out, SharedPosition& position) {
  for (;;) {
    const int r = check.DecodeStep();
    const double seconds = check.PositionSeconds();
    position.store(seconds, std::memory_order_relaxed);
    if (r <= 0) AddWarnings(check, out);
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
  HelperRequest request;
  while (ReadRequest(kRequestFd, request)) {
    position.store(0, std::memory_order_relaxed);
    // The command line refuses --strict with --all-codecs: a helper of every codec has no
    // rules to hold a file to.
    if constexpr (kHoldsToRules<Check>) check.SetStrict(request.strict);
    const bool opened = check.Open(request.path);
    const double totalSeconds = opened ? check.TotalSeconds() : 0;
    if constexpr (std::is_base_of_v<CAnyOggCheck, Check>) out.Add(CodecMessage(check));
    // A file that did not open sends its breaches first, as its verdict is then final.
    if (!opened) AddWarnings(check, out);
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

void Limit(int resource, rlim_t value) {
  const rlimit limit{value, value};
  ::setrlimit(resource, &limit);
}

SharedPosition* MapSharedPosition() {
  void* shared =
      ::mmap(nullptr, sizeof(SharedPosition), PROT_READ | PROT_WRITE, MAP_SHARED, kPositionFd, 0);
  return shared == MAP_FAILED ? nullptr : static_cast<SharedPosition*>(shared);
}

// libvorbis sizes stack buffers from what a file declares, so decoding runs on a thread
// whose stack is as large as the scan asks.
struct Serving {
  SharedPosition* position;
  bool quick;
  bool allCodecs = false;
};

void* Serve(void* p) {
  const auto* serving = static_cast<const Serving*>(p);
  if (serving->allCodecs && serving->quick) {
    ServeRequests<CAnyOggQuickCheck>(serving->position);
  } else if (serving->allCodecs) {
    ServeRequests<CAnyOggCheck>(serving->position);
  } else if (serving->quick) {
    ServeRequests<CStrictCheck<COggQuickCheck>>(serving->position);
  } else {
    ServeRequests<CStrictCheck<COggCheck>>(serving->position);
  }
  return nullptr;
}

void ServeOnStack(std::size_t stackBytes, Serving serving) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t thread;
  if (pthread_create(&thread, &attr, Serve, &serving) != 0) {
    Serve(&serving);  // the process's own stack is better than no decoding
  } else {
    pthread_join(thread, nullptr);
  }
  pthread_attr_destroy(&attr);
}

}  // namespace

int MaybeRunDecoderHelper(int argc, char** argv) {
  if (argc != 6 || std::strcmp(argv[1], kDecoderHelperFlag) != 0) return -1;
  const bool quick = std::strcmp(argv[5], kQuickCheckArgument) == 0 ||
                     std::strcmp(argv[5], kAllCodecsQuickArgument) == 0;
  const bool allCodecs = std::strcmp(argv[5], kAllCodecsFullArgument) == 0 ||
                         std::strcmp(argv[5], kAllCodecsQuickArgument) == 0;
  const auto parent = static_cast<pid_t>(std::strtol(argv[2], nullptr, 10));
  const auto stackBytes = static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10));
  const auto addressSpace = static_cast<rlim_t>(std::strtoull(argv[4], nullptr, 10));
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) return 1;
  // The signals that ask a scan to stop reach the helpers too when they go to the whole
  // process group (kill of the group, systemctl stop): the scan handles them, and the
  // helper dies with the scan anyway.
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGTERM, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // No core files from a crafted file, and no file is ever written.
  Limit(RLIMIT_CORE, 0);
  Limit(RLIMIT_FSIZE, 0);
  if (addressSpace > 0 && !kSanitized) Limit(RLIMIT_AS, addressSpace);
  ServeOnStack(stackBytes, {MapSharedPosition(), quick, allCodecs});
  return 0;
}
