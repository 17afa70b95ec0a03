#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/process.h"

extern char** environ;

namespace {

// errno as the code of a failure, never "success": a call that failed failed all the same.
std::error_code Errno() { return {errno > 0 ? errno : EIO, std::generic_category()}; }

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

  SpawnSetup(const HelperDescriptors& to, int requestFd, int replyFd, int positionFd) {
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, requestFd, to.requests);
    posix_spawn_file_actions_adddup2(&actions, replyFd, to.replies);
    if (positionFd >= 0) posix_spawn_file_actions_adddup2(&actions, positionFd, to.shared);
    posix_spawn_file_actions_addclosefrom_np(&actions, to.shared + 1);
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

// Signals by which a process dies of its own fault rather than being killed.
bool IsCrashSignal(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGABRT ||
         sig == SIGSYS || sig == SIGTRAP;
}

void Limit(int resource, rlim_t value) {
  const rlimit limit{value, value};
  ::setrlimit(resource, &limit);
}

}  // namespace

std::filesystem::path CurrentExecutable() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec);
}

CHelperProcess::~CHelperProcess() {
  Finish(std::chrono::milliseconds(0));
  Unmap();
}

std::error_code CHelperProcess::Start(const HelperLaunch& launch) {
  if (m_id != 0) return {};
  Unmap();
  // A socket for the requests, which carries the files handed over with them.
  int requests[2] = {-1, -1};
  int replies[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, requests) != 0) return Errno();
  if (::pipe2(replies, O_CLOEXEC) != 0) {
    const std::error_code error = Errno();
    CloseAll({requests[0], requests[1]});
    return error;
  }
  for (int* fd : {&requests[0], &requests[1], &replies[0], &replies[1]}) *fd = Lifted(*fd);
  ::fcntl(replies[0], F_SETPIPE_SZ, static_cast<int>(launch.replyBufferBytes));
  // Without the shared page the helper decodes all the same, and a crash is placed by its
  // last answer.
  int memory = -1;
  if (launch.sharedBytes > 0) {
    memory = Lifted(::memfd_create("harrowbit-position", MFD_CLOEXEC));
    void* shared =
        memory >= 0 && ::ftruncate(memory, static_cast<off_t>(launch.sharedBytes)) == 0
            ? ::mmap(nullptr, launch.sharedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0)
            : MAP_FAILED;
    if (shared == MAP_FAILED) {
      if (memory >= 0) ::close(memory);
      memory = -1;
    } else {
      m_shared = shared;
      m_sharedBytes = launch.sharedBytes;
    }
  }
  // Lifting a descriptor that failed left it at -1 and the reason in errno.
  std::error_code error = requests[0] >= 0 && replies[1] >= 0 ? std::error_code() : Errno();
  if (!error) {
    SpawnSetup setup(launch.descriptors, requests[0], replies[1], memory);
    const std::string exe = launch.executable.native();
    const std::string parent = std::to_string(::getpid());
    std::vector<char*> argv{const_cast<char*>(exe.c_str()), const_cast<char*>(launch.flag.c_str()),
                            const_cast<char*>(parent.c_str())};
    for (const std::string& argument : launch.arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, exe.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
    if (spawned != 0) {
      error = {spawned, std::generic_category()};
    } else {
      m_id = pid;
    }
  }
  CloseAll({requests[0], replies[1], memory});
  if (error) {
    CloseAll({requests[1], replies[0]});
    Unmap();
    return error;
  }
  m_requests = requests[1];
  m_replies = replies[0];
  return {};
}

void CHelperProcess::Unmap() {
  if (m_shared == nullptr) return;
  ::munmap(m_shared, m_sharedBytes);
  m_shared = nullptr;
  m_sharedBytes = 0;
}

namespace {

// Sends `file` with the first bytes of `data`: the count sent, or -1 with errno.
ssize_t SendWithFile(int socket, const void* data, std::size_t size, int file) {
  iovec bytes{const_cast<void*>(data), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &bytes;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &file, sizeof file);
  return ::sendmsg(socket, &message, MSG_NOSIGNAL);
}

}  // namespace

bool CHelperProcess::Write(const void* data, std::size_t size, NativeFile file) {
  if (m_id == 0) return false;
  // A helper that died leaves a pipe without a reader. That is a verdict on the file in
  // hand, so the write must fail with EPIPE rather than raise SIGPIPE in the scan.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  const char* p = static_cast<const char*>(data);
  bool written = true;
  while (size > 0) {
    const ssize_t n =
        file >= 0 ? SendWithFile(m_requests, p, size, file) : ::write(m_requests, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) file = -1;
    if (n <= 0) {
      written = false;
      break;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  if (!written && errno == EPIPE && !sigismember(&old, SIGPIPE)) {
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return written;
}

CHelperProcess::Wait CHelperProcess::Read(void* buffer, std::size_t size, std::size_t& got,
                                          std::chrono::milliseconds timeout,
                                          NativeWaitable cancel) {
  got = 0;
  for (;;) {
    pollfd p[2] = {{m_replies, POLLIN, 0}, {cancel, POLLIN, 0}};
    const int ready = ::poll(p, cancel >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return Wait::kTimedOut;
    if (p[0].revents == 0 && p[1].revents != 0) return Wait::kCancelled;
    const ssize_t n = ::read(m_replies, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Wait::kGone;
    got = static_cast<std::size_t>(n);
    return Wait::kData;
  }
}

NativeWaitable CHelperProcess::Answers() { return m_replies; }

// From the kernel's account of the process; 0 when it cannot be read, so that a helper
// whose time cannot be seen is never blamed for it.
std::chrono::nanoseconds CHelperProcess::ProcessorTime() const {
  char name[64];
  std::snprintf(name, sizeof name, "/proc/%d/stat", m_id);
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

CHelperProcess::End CHelperProcess::Finish(std::chrono::milliseconds grace) {
  End end;
  if (m_id == 0) return end;
  CloseAll({m_requests, m_replies});
  m_requests = m_replies = -1;
  int status = 0;
  // A helper whose answers ended is on its way out, with a signal to show for it if one
  // killed it. Give it a moment before making sure.
  pid_t reaped = 0;
  const auto tick = std::chrono::milliseconds(5);
  for (auto waited = tick; waited <= grace; waited += tick) {
    reaped = ::waitpid(m_id, &status, WNOHANG);
    if (reaped != 0) break;
    std::this_thread::sleep_for(tick);
  }
  if (reaped == 0) {
    ::kill(m_id, SIGKILL);
    ::waitpid(m_id, &status, 0);
  }
  m_id = 0;
  end.byItself = reaped > 0;
  if (end.byItself && WIFEXITED(status)) end.exitStatus = WEXITSTATUS(status);
  if (end.byItself && WIFSIGNALED(status)) {
    end.signal = WTERMSIG(status);
    end.killedFromOutside = !IsCrashSignal(end.signal);
    // What a seccomp filter's kill looks like; nothing else sends a helper SIGSYS.
    end.bySandbox = end.signal == SIGSYS;
  }
  return end;
}

void CHelperProcess::UnmapShared() { Unmap(); }

int WaitForAny(const std::vector<NativeWaitable>& waitables, std::chrono::milliseconds timeout,
               std::vector<char>& ready) {
  std::vector<pollfd> fds;
  for (const int fd : waitables) fds.push_back({fd, POLLIN, 0});
  const int n = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
  ready.assign(waitables.size(), 0);
  for (std::size_t i = 0; n > 0 && i < fds.size(); ++i) ready[i] = fds[i].revents != 0;
  return n;
}

bool BecomeHelper(const char* channel, const HelperDescriptors& descriptors,
                  uint64_t addressSpaceBytes, std::size_t sharedBytes, void** shared) {
  const auto parent = static_cast<pid_t>(std::strtol(channel, nullptr, 10));
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) return false;
  // The signals that ask a scan to stop reach the helpers too when they go to the whole
  // process group (kill of the group, systemctl stop): the scan handles them, and the
  // helper dies with the scan anyway.
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGTERM, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // glibc's malloc gives each thread an arena of its own, and shrinking a thread's heap
  // reads /proc/sys/vm/overcommit_memory first: after a file that made the decoding thread
  // take much memory, the next file's first free would open a file, which the sandbox
  // forbids. With one arena every thread's memory is the main heap's, shrunk by brk.
  ::mallopt(M_ARENA_MAX, 1);
  // No core files from a crafted file, and no file is ever written.
  Limit(RLIMIT_CORE, 0);
  Limit(RLIMIT_FSIZE, 0);
  if (addressSpaceBytes > 0) Limit(RLIMIT_AS, static_cast<rlim_t>(addressSpaceBytes));
  void* mapped = sharedBytes > 0 ? ::mmap(nullptr, sharedBytes, PROT_READ | PROT_WRITE, MAP_SHARED,
                                          descriptors.shared, 0)
                                 : MAP_FAILED;
  *shared = mapped == MAP_FAILED ? nullptr : mapped;
  return true;
}

namespace {

struct StackWork {
  void (*work)(void*);
  void* argument;
};

void* RunStackWork(void* p) {
  const auto* w = static_cast<const StackWork*>(p);
  w->work(w->argument);
  return nullptr;
}

}  // namespace

void RunOnStack(std::size_t stackBytes, void (*work)(void*), void* argument) {
  StackWork w{work, argument};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t thread;
  if (pthread_create(&thread, &attr, RunStackWork, &w) != 0) {
    work(argument);  // the process's own stack is better than none
  } else {
    pthread_join(thread, nullptr);
  }
  pthread_attr_destroy(&attr);
}

int64_t ReadDescriptor(int fd, void* data, std::size_t size) { return ::read(fd, data, size); }

int64_t ReceiveDescriptor(int fd, void* data, std::size_t size, NativeFile& handed) {
  iovec bytes{data, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &bytes;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
  for (cmsghdr* h = CMSG_FIRSTHDR(&message); n >= 0 && h != nullptr; h = CMSG_NXTHDR(&message, h)) {
    if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_RIGHTS &&
        h->cmsg_len == CMSG_LEN(sizeof(int))) {
      std::memcpy(&handed, CMSG_DATA(h), sizeof handed);
    }
  }
  return n;
}

int64_t WriteDescriptor(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}
