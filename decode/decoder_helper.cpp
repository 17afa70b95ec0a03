#include "decode/decoder_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

#include "filetest/ogg_check.h"

extern char** environ;

namespace {

// The helper reads requests on one descriptor and answers on another; both sit above
// the standard streams so nothing a library prints can mix into the answers.
constexpr int kRequestFd = 3;
constexpr int kReplyFd = 4;
// Where the helper keeps the position of its last decoded step, so a crash can be placed
// exactly even when answers were still waiting in its buffer.
constexpr int kPositionFd = 5;
// Keeps the helper from running far ahead of a paused scan: it blocks once this much of
// its answers wait unread.
constexpr int kReplyPipeBytes = 4096;
// Answers go out in batches: a write per decode step would cost more than isolation may.
constexpr std::size_t kBatchBytes = 2048;
constexpr uint32_t kLongestPath = 1 << 16;

using SharedPosition = std::atomic<double>;
static_assert(SharedPosition::is_always_lock_free, "shared between processes");


struct WireHeader {
  uint32_t type;
  int32_t value;
  int64_t samples;
  double seconds;
  uint32_t textLength;
  uint32_t reserved;
};

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Moves a descriptor above the ones the helper is given, so that placing them in the
// child never lands a descriptor on itself (which would keep its close-on-exec flag).
int Lifted(int fd) {
  const int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return lifted;
}

class Replier {
 public:
  void Add(CDecoderHelper::Type type, int32_t value, int64_t samples, double seconds,
           const std::string& text) {
    const WireHeader h{type, value, samples, seconds, static_cast<uint32_t>(text.size()), 0};
    m_buffer.append(reinterpret_cast<const char*>(&h), sizeof h);
    m_buffer += text;
  }
  bool Flush(bool always) {
    if (m_buffer.empty() || (!always && m_buffer.size() < kBatchBytes)) return true;
    const bool ok = WriteAll(kReplyFd, m_buffer.data(), m_buffer.size());
    m_buffer.clear();
    return ok;
  }

 private:
  std::string m_buffer;
};

void ServeRequests(SharedPosition* position) {
  COggCheck check;
  Replier out;
  SharedPosition unshared{0};
  if (position == nullptr) position = &unshared;
  for (;;) {
    uint32_t length = 0;
    if (!ReadAll(kRequestFd, &length, sizeof length) || length > kLongestPath) return;
    std::string path(length, '\0');
    if (!ReadAll(kRequestFd, path.data(), length)) return;
    position->store(0, std::memory_order_relaxed);
    const bool opened = check.Open(path);
    const double totalSeconds = opened ? ov_time_total(&check.m_vf, -1) : 0;
    out.Add(CDecoderHelper::kOpened, opened, check.m_nTotalSamples, totalSeconds, check.m_strError);
    if (!out.Flush(true)) return;
    if (!opened) continue;
    for (;;) {
      const int r = check.DecodeStep();
      const double seconds = ov_time_tell(&check.m_vf);
      position->store(seconds, std::memory_order_relaxed);
      out.Add(CDecoderHelper::kStep, r, 0, seconds, r < 0 ? check.m_strError : std::string());
      if (!out.Flush(r <= 0)) return;
      if (r <= 0) break;
    }
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

}  // namespace

std::filesystem::path CurrentExecutable() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec);
}

int MaybeRunDecoderHelper(int argc, char** argv) {
  if (argc != 5 || std::strcmp(argv[1], kDecoderHelperFlag) != 0) return -1;
  const pid_t parent = static_cast<pid_t>(std::strtol(argv[2], nullptr, 10));
  const auto stackBytes = static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10));
  const auto addressSpace = static_cast<rlim_t>(std::strtoull(argv[4], nullptr, 10));
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) return 1;
  ::signal(SIGINT, SIG_IGN);
  // No core files from a crafted file, and no file is ever written.
  Limit(RLIMIT_CORE, 0);
  Limit(RLIMIT_FSIZE, 0);
  if (addressSpace > 0 && !kSanitized) Limit(RLIMIT_AS, addressSpace);

  void* shared = ::mmap(nullptr, sizeof(SharedPosition), PROT_READ | PROT_WRITE, MAP_SHARED,
                        kPositionFd, 0);
  auto* position = shared == MAP_FAILED ? nullptr : static_cast<SharedPosition*>(shared);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t thread;
  const auto run = [](void* p) -> void* {
    ServeRequests(static_cast<SharedPosition*>(p));
    return nullptr;
  };
  if (pthread_create(&thread, &attr, run, position) != 0) {
    ServeRequests(position);  // the process's own stack is better than no decoding
  } else {
    pthread_join(thread, nullptr);
  }
  pthread_attr_destroy(&attr);
  return 0;
}

CDecoderHelper::CDecoderHelper(std::filesystem::path executable, DecoderLimits limits)
    : m_executable(std::move(executable)), m_limits(limits) {}

// Nothing waits for a verdict any more: stop it at once, whatever it was doing.
CDecoderHelper::~CDecoderHelper() { End(true); }

bool CDecoderHelper::Start() {
  if (m_pid != 0) return true;
  int requests[2];
  int replies[2];
  if (::pipe2(requests, O_CLOEXEC) != 0) return false;
  if (::pipe2(replies, O_CLOEXEC) != 0) {
    ::close(requests[0]);
    ::close(requests[1]);
    return false;
  }
  for (int* fd : {&requests[0], &requests[1], &replies[0], &replies[1]}) *fd = Lifted(*fd);
  ::fcntl(replies[0], F_SETPIPE_SZ, kReplyPipeBytes);
  int memory = ::memfd_create("harrowbit-position", MFD_CLOEXEC);
  if (memory >= 0) {
    memory = Lifted(memory);
    void* shared = ::ftruncate(memory, sizeof(SharedPosition)) == 0
                       ? ::mmap(nullptr, sizeof(SharedPosition), PROT_READ | PROT_WRITE,
                                MAP_SHARED, memory, 0)
                       : MAP_FAILED;
    if (shared != MAP_FAILED) {
      m_position = new (shared) SharedPosition(0);
    } else {
      ::close(memory);
      memory = -1;
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, requests[0], kRequestFd);
  posix_spawn_file_actions_adddup2(&actions, replies[1], kReplyFd);
  if (memory >= 0) posix_spawn_file_actions_adddup2(&actions, memory, kPositionFd);
  posix_spawn_file_actions_addclosefrom_np(&actions, kPositionFd + 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // Its own process group: a Ctrl-C at the terminal is for the scan to handle, and must
  // not kill the helper mid-file.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  const std::string exe = m_executable.native();
  const std::string parent = std::to_string(::getpid());
  const std::string stack = std::to_string(m_limits.stackBytes);
  const std::string space = std::to_string(m_limits.addressSpaceBytes);
  char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(kDecoderHelperFlag),
                  const_cast<char*>(parent.c_str()), const_cast<char*>(stack.c_str()),
                  const_cast<char*>(space.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, exe.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(requests[0]);
  ::close(replies[1]);
  if (memory >= 0) ::close(memory);
  if (spawned != 0) {
    ::close(requests[1]);
    ::close(replies[0]);
    if (m_position != nullptr) ::munmap(m_position, sizeof(SharedPosition));
    m_position = nullptr;
    return false;
  }
  m_pid = pid;
  m_requests = requests[1];
  m_replies = replies[0];
  m_buffer.clear();
  m_bufferBegin = 0;
  m_lastPosition = 0;
  return true;
}

bool CDecoderHelper::Request(const std::filesystem::path& file) {
  if (m_pid == 0) return false;
  const std::string& bytes = file.native();
  const auto length = static_cast<uint32_t>(std::min<std::size_t>(bytes.size(), kLongestPath));
  std::string request(reinterpret_cast<const char*>(&length), sizeof length);
  request.append(bytes, 0, length);
  return WriteAll(m_requests, request.data(), request.size());
}

std::string CDecoderHelper::End(bool overLimit) {
  if (m_pid == 0) return "CRASH";
  ::close(m_requests);
  ::close(m_replies);
  m_requests = m_replies = -1;
  int status = 0;
  // A helper whose answers ended is on its way out; one that was stopped by its own
  // limits has a signal to show for it. Give it a moment before making sure.
  pid_t reaped = 0;
  for (int i = 0; i < 200 && !overLimit; ++i) {
    reaped = ::waitpid(m_pid, &status, WNOHANG);
    if (reaped != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (reaped == 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
  }
  m_pid = 0;
  if (m_position != nullptr) {
    m_lastPosition = m_position->load(std::memory_order_relaxed);
    ::munmap(m_position, sizeof(SharedPosition));
    m_position = nullptr;
  }
  if (overLimit) return "LIMIT";
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    // SIGKILL is what the kernel sends a process that is out of memory.
    if (sig == SIGXCPU || sig == SIGXFSZ || sig == SIGKILL) return "LIMIT";
  }
  return "CRASH";
}

CDecoderHelper::Wait CDecoderHelper::Next(Message& message,
                                          std::chrono::milliseconds timeout) {
  if (m_pid == 0) return Wait::kGone;
  const auto available = [&] { return m_buffer.size() - m_bufferBegin; };
  const auto need = [&](std::size_t bytes) -> Wait {
    while (available() < bytes) {
      if (m_bufferBegin > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + std::ptrdiff_t(m_bufferBegin));
        m_bufferBegin = 0;
      }
      pollfd p{m_replies, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return Wait::kTimedOut;
      const std::size_t old = m_buffer.size();
      m_buffer.resize(old + kReplyPipeBytes);
      const ssize_t n = ::read(m_replies, m_buffer.data() + old, kReplyPipeBytes);
      m_buffer.resize(old + static_cast<std::size_t>(n > 0 ? n : 0));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Wait::kGone;
    }
    return Wait::kMessage;
  };
  Wait w = need(sizeof(WireHeader));
  if (w != Wait::kMessage) return w;
  WireHeader h;
  std::memcpy(&h, m_buffer.data() + m_bufferBegin, sizeof h);
  if (h.textLength > kLongestPath) return Wait::kGone;
  w = need(sizeof h + h.textLength);
  if (w != Wait::kMessage) return w;
  message.type = h.type;
  message.value = h.value;
  message.samples = h.samples;
  message.seconds = h.seconds;
  message.text.assign(m_buffer.data() + m_bufferBegin + sizeof h, h.textLength);
  m_bufferBegin += sizeof h + h.textLength;
  return Wait::kMessage;
}
