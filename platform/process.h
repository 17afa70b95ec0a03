#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/cancel_signal.h"
#include "platform/read_file.h"

// A helper process that the scan starts and talks to over two pipes (requests in, answers
// out) and one page of memory they share, and the helper's own side of that. POSIX:
// requests go over a Unix socket, which carries the files the scan opens for the helper;
// posix_spawn into a process group of its own, the helper dying with its parent
// (PR_SET_PDEATHSIG), limits by setrlimit, a shared mmap. Windows: CreateProcessW with an
// explicit handle list, so helpers started side by side never hold each other's pipes; each
// helper with a token of less than the user's, in a job object that kills it when the scan
// lets go of it, caps its memory and allows it no other process and none of the desktop
// (sandbox_win32.h); no crash dialog; a shared file mapping; answers read through an overlapped
// named pipe so that they can be waited on together with a cancel event.

#ifdef _WIN32
using NativeProcessId = unsigned long;  // a DWORD
#else
using NativeProcessId = int;  // a pid_t
#endif

// The path of the program running now ("" when the system cannot tell).
std::filesystem::path CurrentExecutable();

// Where the helper finds its pipes and the shared page (POSIX: the descriptors they land
// on; on Windows the first two are the C runtime's descriptors the helper puts them on).
struct HelperDescriptors {
  int requests;
  int replies;
  int shared;
};

struct HelperLaunch {
  std::filesystem::path executable;
  // The first argument; the process's channel argument follows it, then `arguments`.
  std::string flag;
  std::vector<std::string> arguments;
  HelperDescriptors descriptors;
  // The size of the shared page (0: none).
  std::size_t sharedBytes = 0;
  // How much of the answers may wait unread before the helper blocks.
  std::size_t replyBufferBytes = 4096;
  // Windows: the job's cap on the helper's committed memory (0: none). On POSIX the
  // helper sets its own limit from its arguments.
  uint64_t memoryBytes = 0;
};

class CHelperProcess {
 public:
  enum class Wait { kData, kGone, kTimedOut, kCancelled };
  struct End {
    // It ended by itself within the grace it was given.
    bool byItself = false;
    // POSIX: the signal that ended it, when one did (0 otherwise).
    int signal = 0;
    // It was ended from outside and not by its own fault: a signal that kills outright
    // (the kernel's out-of-memory killer sends SIGKILL) or a file it wrote past its limit;
    // on Windows, reaching its job's memory cap.
    bool killedFromOutside = false;
    // Its sandbox ended it for a system call it does not allow (POSIX: SIGSYS).
    bool bySandbox = false;
    // Its exit status when it exited by itself (-1 otherwise).
    int exitStatus = -1;
  };

  CHelperProcess() = default;
  // Ends the helper at once.
  ~CHelperProcess();
  CHelperProcess(const CHelperProcess&) = delete;
  CHelperProcess& operator=(const CHelperProcess&) = delete;

  // Says why the helper did not start (the system's code); none when it runs.
  std::error_code Start(const HelperLaunch& launch);
  bool Running() const { return m_id != 0; }
  NativeProcessId Id() const { return m_id; }
  // The shared page, or null when the system gave none (the helper then works without).
  void* Shared() const { return m_shared; }
  // Writes all of it, with `file` handed over beside its first byte where the system can
  // (POSIX); false once the helper is gone (never a SIGPIPE in the scan).
  bool Write(const void* data, std::size_t size, NativeFile file);
  // Reads what the helper sent, up to `size` bytes, waiting at most `timeout` for the
  // first byte or until `cancel` is raised (an invalid waitable: no cancel).
  Wait Read(void* buffer, std::size_t size, std::size_t& got, std::chrono::milliseconds timeout,
            NativeWaitable cancel);
  // What to wait on for answers together with other helpers' (see WaitForAny).
  NativeWaitable Answers();
  // The processor time it has used so far; 0 when the system cannot tell.
  std::chrono::nanoseconds ProcessorTime() const;
  // Closes the pipes, gives it `grace` to end by itself, then kills it, and says how it
  // ended. The shared page stays readable until UnmapShared or the next Start.
  End Finish(std::chrono::milliseconds grace);
  void UnmapShared();

 private:
  void Unmap();

  NativeProcessId m_id = 0;
  void* m_shared = nullptr;
  std::size_t m_sharedBytes = 0;
#ifdef _WIN32
  void* m_process = nullptr;
  void* m_job = nullptr;
  void* m_mapping = nullptr;
  void* m_requests = nullptr;
  void* m_replies = nullptr;
  // The overlapped read kept pending on the answers' pipe.
  struct PendingRead;
  PendingRead* m_pending = nullptr;
  uint64_t m_memoryBytes = 0;
#else
  int m_requests = -1;
  int m_replies = -1;
#endif
};

// Waits until one of `waitables` is ready, at most `timeout`; marks each ready one in
// `ready` and returns how many are, 0 on timeout, -1 on a failure (interrupted).
int WaitForAny(const std::vector<NativeWaitable>& waitables, std::chrono::milliseconds timeout,
               std::vector<char>& ready);

// The helper's side: called first in a helper with the channel argument the scan gave it.
// Makes it a helper (no crash dialogs or core files, dying with its scan, its memory
// limited to `addressSpaceBytes` where the system leaves that to the process itself), puts
// its pipes on `descriptors` and maps the shared page (null when there is none). False
// when it must not serve: its scan is already gone.
bool BecomeHelper(const char* channel, const HelperDescriptors& descriptors,
                  uint64_t addressSpaceBytes, std::size_t sharedBytes, void** shared);

// Runs `work(argument)` on a thread with a stack of `stackBytes`, and waits for it (on the
// calling thread when no such thread can be made).
void RunOnStack(std::size_t stackBytes, void (*work)(void*), void* argument);

// The C runtime's read and write on a descriptor: the count, 0 at the end, -1 with errno.
int64_t ReadDescriptor(int fd, void* data, std::size_t size);
// ReadDescriptor that also takes a file handed over beside what it reads (CHelperProcess::
// Write), into `handed` when one came; on Windows none ever does.
int64_t ReceiveDescriptor(int fd, void* data, std::size_t size, NativeFile& handed);
int64_t WriteDescriptor(int fd, const void* data, std::size_t size);
