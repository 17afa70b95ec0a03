#include "decode/helper_client.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

std::filesystem::path CurrentExecutable() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec);
}

CDecoderHelper::CDecoderHelper(std::filesystem::path executable, DecoderOptions options)
    : m_executable(std::move(executable)), m_options(options) {}

CDecoderHelper::~CDecoderHelper() { End(true); }

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
  m_lastPosition = 0;
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

void CDecoderHelper::UnmapSharedPosition() {
  if (m_position == nullptr) return;
  m_lastPosition = m_position->load(std::memory_order_relaxed);
  ::munmap(m_position, sizeof(SharedPosition));
  m_position = nullptr;
}

bool CDecoderHelper::Spawn(int requestFd, int replyFd, int positionFd) {
  if (requestFd < 0 || replyFd < 0) return false;
  SpawnSetup setup(requestFd, replyFd, positionFd);
  const std::string exe = m_executable.native();
  const std::string parent = std::to_string(::getpid());
  const std::string stack = std::to_string(m_options.stackBytes);
  const std::string space = std::to_string(m_options.addressSpaceBytes);
  const std::string check = m_options.quick ? kQuickCheckArgument : kFullCheckArgument;
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
  const std::string request = EncodeRequest(file.native());
  // A helper that died leaves a pipe without a reader. That is a verdict on the file in
  // hand, so the write must fail with EPIPE rather than raise SIGPIPE in the scan.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  const bool written = WriteAll(m_requests, request.data(), request.size());
  if (!written && errno == EPIPE && !sigismember(&old, SIGPIPE)) {
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return written;
}

std::string CDecoderHelper::End(bool overLimit) {
  if (m_pid == 0) return "CRASH";
  CloseAll({m_requests, m_replies});
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
  UnmapSharedPosition();
  if (overLimit) return "LIMIT";
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    // SIGKILL is what the kernel sends a process that is out of memory.
    if (sig == SIGXCPU || sig == SIGXFSZ || sig == SIGKILL) return "LIMIT";
  }
  return "CRASH";
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
      case Parsed::kMessage: m_nBufferBegin += used; return Wait::kMessage;
      case Parsed::kMalformed: return Wait::kGone;
      case Parsed::kIncomplete: break;
    }
    if (const Wait w = Fill(timeout); w != Wait::kMessage) return w;
  }
}
