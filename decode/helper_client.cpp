#include "decode/helper_client.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

extern char** environ;

namespace {

// Moves a descriptor above the ones the helper is given, so that placing them in the
// child never lands a descriptor on itself (which would keep its close-on-exec flag).
int Lifted(int fd) {
  if (fd < 0) return fd;
  const int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return lifted;
}

void CloseAll(std::initializer_list<int> fds) {
  for (const int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
}

struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;

  SpawnSetup(int requestFd, int replyFd, int positionFd) {
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, requestFd, kRequestFd);
    posix_spawn_file_actions_adddup2(&actions, replyFd, kReplyFd);
    if (positionFd >= 0) posix_spawn_file_actions_adddup2(&actions, positionFd, kPositionFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, kPositionFd + 1);
    posix_spawnattr_init(&attr);
    // The helper starts with the stop signals blocked and ignores them before it lets
    // them in: one sent to every process at once must not kill it while it starts.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &stops);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // Its own process group: a Ctrl-C at the terminal is for the scan to handle, and must
    // not kill the helper mid-file.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// The processor time a process has used so far, from the kernel's account of it; 0 when
// it cannot be read, so that a helper whose time cannot be seen is never blamed for it.
std::chrono::nanoseconds ProcessorTime(pid_t pid) {
  char name[64];
  std::snprintf(name, sizeof name, "/proc/%d/stat", static_cast<int>(pid));
  std::FILE* f = std::fopen(name, "re");
  if (f == nullptr) return {};
  char line[1024];
  const std::size_t n = std::fread(line, 1, sizeof line - 1, f);
  std::fclose(f);
  line[n] = '\0';
  // The command name may hold blanks and parentheses: the fields start after the last ')'.
  const char* fields = std::strrchr(line, ')');
  unsigned long long user = 0;
  unsigned long long system = 0;
  if (fields == nullptr ||
      std::sscanf(fields + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                  &system) != 2) {
    return {};
  }
  static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  if (ticksPerSecond <= 0) return {};
  return std::chrono::nanoseconds(static_cast<int64_t>(
      (user + system) * 1'000'000'000ULL / static_cast<unsigned long long>(ticksPerSecond)));
}

// Signals by which a process dies of its own fault rather than being killed.
bool IsCrashSignal(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGABRT ||
         sig == SIGSYS || sig == SIGTRAP;
}

}  // namespace

std::filesystem::path CurrentExecutable() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec);
}

CDecoderHelper::CDecoderHelper(std::filesystem::path executable, DecoderOptions options)
    : m_executable(std::move(executable)), m_options(options) {}

CDecoderHelper::~CDecoderHelper() { End(HelperExit::How::kCancelled); }

bool CDecoderHelper::Start() {
  if (m_pid != 0) return true;
  int requests[2] = {-1, -1};
  int replies[2] = {-1, -1};
  if (::pipe2(requests, O_CLOEXEC) != 0) return false;
  if (::pipe2(replies, O_CLOEXEC) != 0) {
    const int error = errno;
    CloseAll({requests[0], requests[1]});
    errno = error;
    return false;
  }
  for (int* fd : {&requests[0], &requests[1], &replies[0], &replies[1]}) *fd = Lifted(*fd);
  ::fcntl(replies[0], F_SETPIPE_SZ, kReplyPipeBytes);
  const int memory = MapSharedPosition();
  const bool spawned = Spawn(requests[0], replies[1], memory);
  CloseAll({requests[0], replies[1], memory});
  if (!spawned) {
    const int error = errno;
    CloseAll({requests[1], replies[0]});
    UnmapSharedPosition();
    errno = error;
    return false;
  }
  m_requests = requests[1];
  m_replies = replies[0];
  m_buffer.clear();
  m_nBufferBegin = 0;
  return true;
}

// Returns the descriptor of the shared page for the helper, or -1 when there is none:
// the helper then decodes without it, and a crash is placed by its last answer.
int CDecoderHelper::MapSharedPosition() {
  const int memory = Lifted(::memfd_create("harrowbit-position", MFD_CLOEXEC));
  if (memory < 0) return -1;
  void* shared =
      ::ftruncate(memory, sizeof(SharedPosition)) == 0
          ? ::mmap(nullptr, sizeof(SharedPosition), PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0)
          : MAP_FAILED;
  if (shared == MAP_FAILED) {
    ::close(memory);
    return -1;
  }
  m_position = new (shared) SharedPosition(0);
  return memory;
}

double CDecoderHelper::UnmapSharedPosition() {
  if (m_position == nullptr) return 0;
  const double last = m_position->load(std::memory_order_relaxed);
  ::munmap(m_position, sizeof(SharedPosition));
  m_position = nullptr;
  return last;
}

bool CDecoderHelper::Spawn(int requestFd, int replyFd, int positionFd) {
  if (requestFd < 0 || replyFd < 0) return false;
  SpawnSetup setup(requestFd, replyFd, positionFd);
  const std::string exe = m_executable.native();
  const std::string parent = std::to_string(::getpid());
  const std::string stack = std::to_string(m_options.stackBytes);
  const std::string space = std::to_string(m_options.addressSpaceBytes);
  const std::string check =
      m_options.allCodecs ? (m_options.quick ? kAllCodecsQuickArgument : kAllCodecsFullArgument)
                          : (m_options.quick ? kQuickCheckArgument : kFullCheckArgument);
  char* argv[] = {const_cast<char*>(exe.c_str()),
                  const_cast<char*>(kDecoderHelperFlag),
                  const_cast<char*>(parent.c_str()),
                  const_cast<char*>(stack.c_str()),
                  const_cast<char*>(space.c_str()),
                  const_cast<char*>(check.c_str()),
                  nullptr};
  pid_t pid = 0;
  if (const int error = posix_spawn(&pid, exe.c_str(), &setup.actions, &setup.attr, argv, environ);
      error != 0) {
    errno = error;
    return false;
  }
  m_pid = pid;
  return true;
}

bool CDecoderHelper::Request(const std::filesystem::path& file) {
  if (m_pid == 0) return false;
  const std::string request = EncodeRequest(file.native(), m_options.strict);
  // A helper that died leaves a pipe without a reader. That is a verdict on the file in
  // hand, so the write must fail with EPIPE rather than raise SIGPIPE in the scan.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  const bool written = WriteAll(m_requests, request.data(), request.size());
  m_answeredAt = std::chrono::steady_clock::now();
  m_bJudging = false;
  if (!written && errno == EPIPE && !sigismember(&old, SIGPIPE)) {
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return written;
}

HelperExit CDecoderHelper::End(HelperExit::How why) {
  HelperExit exit{why, 0, 0};
  if (m_pid == 0) return exit;
  CloseAll({m_requests, m_replies});
  m_requests = m_replies = -1;
  int status = 0;
  // A helper whose answers ended is on its way out, with a signal to show for it if one
  // killed it. Give it a moment before making sure.
  pid_t reaped = 0;
  for (int i = 0; i < 200 && why == HelperExit::How::kCrashed; ++i) {
    reaped = ::waitpid(m_pid, &status, WNOHANG);
    if (reaped != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (reaped == 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
  }
  m_pid = 0;
  exit.lastPosition = UnmapSharedPosition();
  if (why == HelperExit::How::kCrashed && reaped > 0 && WIFSIGNALED(status)) {
    exit.signal = WTERMSIG(status);
    if (!IsCrashSignal(exit.signal)) exit.how = HelperExit::How::kKilled;
  }
  return exit;
}

std::optional<HelperExit::How> CDecoderHelper::Judge() {
  if (m_pid == 0) return std::nullopt;
  const auto cpu = ProcessorTime(m_pid);
  // The processor time at the last answer is taken at the first look after it: reading the
  // kernel's account at every answer would cost more than the look it saves.
  if (!m_bJudging) {
    m_bJudging = true;
    m_cpuAtAnswer = cpu;
  }
  const auto spent = cpu - m_cpuAtAnswer;
  const auto waited = std::chrono::steady_clock::now() - m_answeredAt;
  const auto limit = std::chrono::duration_cast<std::chrono::nanoseconds>(m_options.stepTimeout);
  if (spent >= limit) return HelperExit::How::kOverLimit;
  // A runaway on a busy machine still gets its share of the processor; a stopped helper,
  // or one waiting on a file system that does not answer, gets next to none.
  if (waited >= limit && spent < waited / 20) return HelperExit::How::kStalled;
  return std::nullopt;
}

std::chrono::milliseconds CDecoderHelper::LookEvery() const {
  return std::clamp(m_options.stepTimeout / 10, std::chrono::milliseconds(10),
                    std::chrono::milliseconds(1000));
}

// Reads what the helper sent, waiting at most `timeout` for the first byte.
CDecoderHelper::Wait CDecoderHelper::Fill(std::chrono::milliseconds timeout) {
  for (;;) {
    pollfd p[2] = {{m_replies, POLLIN, 0}, {m_options.cancelFd, POLLIN, 0}};
    const int ready = ::poll(p, m_options.cancelFd >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return Wait::kTimedOut;
    if (p[0].revents == 0 && p[1].revents != 0) return Wait::kCancelled;
    char chunk[kReplyPipeBytes];
    const ssize_t n = ::read(m_replies, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Wait::kGone;
    m_buffer.erase(0, m_nBufferBegin);
    m_nBufferBegin = 0;
    m_buffer.append(chunk, static_cast<std::size_t>(n));
    return Wait::kMessage;
  }
}

CDecoderHelper::Wait CDecoderHelper::Next(HelperMessage& message,
                                          std::chrono::milliseconds timeout) {
  if (m_pid == 0) return Wait::kGone;
  for (;;) {
    std::size_t used = 0;
    switch (ParseMessage(std::string_view(m_buffer).substr(m_nBufferBegin), message, used)) {
      case Parsed::kMessage:
        m_nBufferBegin += used;
        m_answeredAt = std::chrono::steady_clock::now();
        m_bJudging = false;
        return Wait::kMessage;
      case Parsed::kMalformed: return Wait::kGone;
      case Parsed::kIncomplete: break;
    }
    if (const Wait w = Fill(timeout); w != Wait::kMessage) return w;
  }
}
