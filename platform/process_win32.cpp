#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/sandbox_win32.h"
#include "platform/unique_handle_win32.h"
#include "platform/win32_status.h"
#include "platform/win32_text.h"

namespace {

// The system's last error, as the code of a failure.
std::error_code Failed() { return {ErrnoOf(::GetLastError()), std::generic_category()}; }

// One argument as the C runtime of the helper splits the command line again.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
  if (!line.empty()) line += L' ';
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

std::wstring Wide(const std::string& utf8) { return WidePath(utf8); }

uint64_t HandleNumber(HANDLE handle) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

HANDLE HandleFromNumber(const char* text, char** end) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(text, end, 10)));
}

// A pipe for the helper's answers: the scan's end overlapped, so that it can be waited on
// together with a cancel; the helper's end plain.
bool MakeAnswerPipe(DWORD bufferBytes, CUniqueHandle& scanEnd, CUniqueHandle& helperEnd) {
  static std::atomic<unsigned> serial{0};
  // A process id is soon reused (under Wine, by the very next process), and a pipe's name
  // lives on while a dying helper of an earlier scan holds its end: the start time tells
  // this scan's names apart, and a name still taken is passed over.
  static const auto started = [] {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
  }();
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::wstring name = L"\\\\.\\pipe\\harrowbit-" +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(started) + L"-" + std::to_wstring(serial++);
    scanEnd = CUniqueHandle(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        bufferBytes, bufferBytes, 0, nullptr));
    if (scanEnd.Valid()) {
      helperEnd = CUniqueHandle(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      return helperEnd.Valid();
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_PIPE_BUSY) break;
  }
  return false;
}

bool Inheritable(HANDLE handle) {
  return ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

// The scan's standard error, for the helper's to say what its sandbox lacks, when it is a
// file or a pipe (a console is not the helper's: it has none); else invalid.
CUniqueHandle ScanErrorOutput() {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return {};
  const DWORD type = ::GetFileType(error);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) return {};
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), error, ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return {};
  }
  return CUniqueHandle(copy);
}

// Less than the user has: its own job, which allows it no other process and none of the
// desktop (sandbox_win32.h), where the system takes those limits; the helper says which
// did not take.
void ConfineJob(HANDLE job, JOBOBJECT_EXTENDED_LIMIT_INFORMATION& limits) {
  limits.BasicLimitInformation.LimitFlags |= kHelperJobLimits;
  limits.BasicLimitInformation.ActiveProcessLimit = kHelperActiveProcesses;
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{kHelperUiLimits};
  ::SetInformationJobObject(job, JobObjectBasicUIRestrictions, &ui, sizeof ui);
}

}  // namespace

// The read kept pending on the answers' pipe, so that its event is what a wait for answers
// waits on.
struct CHelperProcess::PendingRead {
  OVERLAPPED overlapped{};
  CUniqueHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  // As large as the pipe's buffer: one read takes all that waits.
  std::vector<char> buffer;
  // Bytes read but not yet taken: [left, right) of buffer.
  std::size_t left = 0;
  std::size_t right = 0;
  bool pending = false;
  // The pipe broke, or a read could not be started: the helper's answers have ended.
  bool ended = false;
  // The port the job reports to: a helper that hit its memory cap is told apart by it.
  CUniqueHandle port;
};

std::filesystem::path CurrentExecutable() {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      return std::filesystem::path(name);
    }
    name.resize(name.size() * 2);
  }
}

CHelperProcess::~CHelperProcess() {
  Finish(std::chrono::milliseconds(0));
  Unmap();
}

std::error_code CHelperProcess::Start(const HelperLaunch& launch) {
  if (m_id != 0) return {};
  Unmap();
  auto pending = std::make_unique<PendingRead>();
  if (!pending->event.Valid()) return Failed();
  pending->buffer.resize(std::max<std::size_t>(launch.replyBufferBytes, 4096));
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!::CreatePipe(&read, &write, nullptr, 0)) return Failed();
  CUniqueHandle requestRead(read);
  CUniqueHandle requestWrite(write);
  CUniqueHandle replyRead;
  CUniqueHandle replyWrite;
  if (!MakeAnswerPipe(static_cast<DWORD>(launch.replyBufferBytes), replyRead, replyWrite)) {
    return Failed();
  }
  // Without the shared page the helper decodes all the same.
  CUniqueHandle mapping;
  if (launch.sharedBytes > 0) {
    mapping = CUniqueHandle(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                 static_cast<DWORD>(launch.sharedBytes), nullptr));
    if (mapping.Get() == nullptr) mapping.Release();
    if (mapping.Valid()) {
      m_shared = ::MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, launch.sharedBytes);
      if (m_shared == nullptr) {
        mapping.Reset();
      } else {
        m_sharedBytes = launch.sharedBytes;
      }
    }
  }
  CUniqueHandle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
  const CUniqueHandle errorOutput = ScanErrorOutput();
  std::vector<HANDLE> inherited{requestRead.Get(), replyWrite.Get()};
  if (mapping.Valid()) inherited.push_back(mapping.Get());
  if (nul.Valid()) inherited.push_back(nul.Get());
  if (errorOutput.Valid()) inherited.push_back(errorOutput.Get());
  for (const HANDLE h : inherited) {
    if (!Inheritable(h)) {
      Unmap();
      return Failed();
    }
  }

  // Its own job: closing the job kills it, so it never outlives the scan, and the job caps
  // its memory, ends it at an unhandled exception without a dialog, and confines it.
  CUniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (job.Get() == nullptr) job.Release();
  if (!job.Valid()) {
    Unmap();
    return Failed();
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (launch.memoryBytes > 0) {
    limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    limits.ProcessMemoryLimit = static_cast<SIZE_T>(launch.memoryBytes);
  }
  ConfineJob(job.Get(), limits);
  if (!::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
    Unmap();
    return Failed();
  }
  pending->port = CUniqueHandle(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  if (pending->port.Get() == nullptr) pending->port.Release();
  if (pending->port.Valid()) {
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT port{job.Get(), pending->port.Get()};
    if (!::SetInformationJobObject(job.Get(), JobObjectAssociateCompletionPortInformation, &port,
                                   sizeof port)) {
      pending->port.Reset();
    }
  }

  SIZE_T listBytes = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listBytes);
  std::vector<unsigned char> listStorage(listBytes);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listStorage.data());
  if (!::InitializeProcThreadAttributeList(list, 1, 0, &listBytes)) {
    Unmap();
    return Failed();
  }
  const bool listed =
      ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                  inherited.size() * sizeof(HANDLE), nullptr, nullptr) != 0;
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nul.Valid() ? nul.Get() : nullptr;
  startup.StartupInfo.hStdOutput = startup.StartupInfo.hStdInput;
  startup.StartupInfo.hStdError =
      errorOutput.Valid() ? errorOutput.Get() : startup.StartupInfo.hStdInput;
  startup.lpAttributeList = list;
  const std::string channel = std::to_string(HandleNumber(requestRead.Get())) + "," +
                              std::to_string(HandleNumber(replyWrite.Get())) + "," +
                              std::to_string(mapping.Valid() ? HandleNumber(mapping.Get()) : 0);
  const std::wstring exe = launch.executable.native();
  std::wstring line;
  AppendArgument(line, exe);
  AppendArgument(line, Wide(launch.flag));
  AppendArgument(line, Wide(channel));
  for (const std::string& argument : launch.arguments) AppendArgument(line, Wide(argument));
  PROCESS_INFORMATION info{};
  // No console at all (a Ctrl-C is for the scan to handle, and a window would flash for
  // each helper): CREATE_NO_WINDOW would give each helper a hidden console of its own, and
  // with it a console host process to start, which under Wine cost more than the helper.
  // Started suspended so that it runs nothing outside its job. With a token of less than
  // the user's where the system makes one, else (and where the system will not start a
  // process with it) with this one's: the helper then says what it lacks.
  constexpr DWORD kHow = CREATE_SUSPENDED | DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT |
                         CREATE_UNICODE_ENVIRONMENT;
  const CUniqueHandle token = HelperToken();
  bool created =
      listed && token.Valid() &&
      ::CreateProcessAsUserW(token.Get(), exe.c_str(), line.data(), nullptr, nullptr, TRUE, kHow,
                             nullptr, nullptr, &startup.StartupInfo, &info) != 0;
  if (listed && !created) {
    created = ::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, kHow, nullptr,
                               nullptr, &startup.StartupInfo, &info) != 0;
  }
  const DWORD createError = ::GetLastError();
  ::DeleteProcThreadAttributeList(list);
  if (!created) {
    Unmap();
    return {ErrnoOf(createError), std::generic_category()};
  }
  CUniqueHandle process(info.hProcess);
  CUniqueHandle thread(info.hThread);
  if (!::AssignProcessToJobObject(job.Get(), process.Get())) {
    const DWORD error = ::GetLastError();
    ::TerminateProcess(process.Get(), 1);
    ::WaitForSingleObject(process.Get(), 10000);
    Unmap();
    return {ErrnoOf(error), std::generic_category()};
  }
  ::ResumeThread(thread.Get());
  m_id = info.dwProcessId;
  m_process = process.Release();
  m_job = job.Release();
  m_requests = requestWrite.Release();
  m_replies = replyRead.Release();
  m_memoryBytes = launch.memoryBytes;
  m_pending = pending.release();
  return {};
}

void CHelperProcess::Unmap() {
  if (m_shared == nullptr) return;
  ::UnmapViewOfFile(m_shared);
  m_shared = nullptr;
  m_sharedBytes = 0;
}

void CHelperProcess::UnmapShared() { Unmap(); }

// Windows helpers open their files by path: nothing is handed over.
bool CHelperProcess::Write(const void* data, std::size_t size, NativeFile /*file*/) {
  if (m_id == 0) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD n = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 20));
    if (!::WriteFile(m_requests, p, chunk, &n, nullptr) || n == 0) {
      errno = EPIPE;
      return false;
    }
    p += n;
    size -= n;
  }
  return true;
}

NativeWaitable CHelperProcess::Answers() {
  if (m_pending == nullptr) return kNoWaitable;
  PendingRead& r = *m_pending;
  if (r.left < r.right) {
    ::SetEvent(r.event.Get());
  } else if (!r.pending && !r.ended) {
    ::ResetEvent(r.event.Get());
    r.overlapped = OVERLAPPED{};
    r.overlapped.hEvent = r.event.Get();
    if (::ReadFile(m_replies, r.buffer.data(), static_cast<DWORD>(r.buffer.size()), nullptr,
                   &r.overlapped) ||
        ::GetLastError() == ERROR_IO_PENDING) {
      r.pending = true;
    } else {
      // The end of the answers wakes whoever waits for them.
      r.ended = true;
      ::SetEvent(r.event.Get());
    }
  }
  return r.event.Get();
}

CHelperProcess::Wait CHelperProcess::Read(void* buffer, std::size_t size, std::size_t& got,
                                          std::chrono::milliseconds timeout,
                                          NativeWaitable cancel) {
  got = 0;
  if (m_id == 0 || m_pending == nullptr) return Wait::kGone;
  PendingRead& r = *m_pending;
  for (;;) {
    const HANDLE answers = Answers();
    if (r.left == r.right && r.ended) return Wait::kGone;
    const HANDLE handles[2] = {answers, cancel};
    const DWORD woke = ::WaitForMultipleObjects(cancel != kNoWaitable ? 2 : 1, handles, FALSE,
                                                static_cast<DWORD>(timeout.count()));
    if (woke == WAIT_TIMEOUT) return Wait::kTimedOut;
    // Answers that arrived win over a cancel, as they do on POSIX.
    if (woke == WAIT_OBJECT_0 + 1) return Wait::kCancelled;
    if (woke != WAIT_OBJECT_0) return Wait::kGone;
    if (r.left < r.right) {
      got = std::min(r.right - r.left, size);
      std::memcpy(buffer, r.buffer.data() + r.left, got);
      r.left += got;
      return Wait::kData;
    }
    DWORD n = 0;
    const bool ok = ::GetOverlappedResult(m_replies, &r.overlapped, &n, FALSE) != 0;
    r.pending = false;
    if (!ok) {
      r.ended = true;
      return Wait::kGone;
    }
    if (n == 0) continue;
    r.left = 0;
    r.right = n;
  }
}

std::chrono::nanoseconds CHelperProcess::ProcessorTime() const {
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (m_process == nullptr || !::GetProcessTimes(m_process, &created, &exited, &kernel, &user)) {
    return {};
  }
  const auto ticks = [](const FILETIME& t) {
    return static_cast<int64_t>(uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime);
  };
  return std::chrono::nanoseconds((ticks(kernel) + ticks(user)) * 100);
}

CHelperProcess::End CHelperProcess::Finish(std::chrono::milliseconds grace) {
  End end;
  if (m_id == 0) return end;
  ::CloseHandle(m_requests);
  m_requests = nullptr;
  if (m_pending->pending) {
    DWORD n = 0;
    ::CancelIoEx(m_replies, &m_pending->overlapped);
    ::GetOverlappedResult(m_replies, &m_pending->overlapped, &n, TRUE);
  }
  ::CloseHandle(m_replies);
  m_replies = nullptr;
  end.byItself =
      ::WaitForSingleObject(m_process, static_cast<DWORD>(grace.count())) == WAIT_OBJECT_0;
  DWORD code = 0;
  if (end.byItself && ::GetExitCodeProcess(m_process, &code))
    end.exitStatus = static_cast<int>(code);
  if (!end.byItself) {
    ::TerminateJobObject(m_job, 1);
    // Bounded: the scan goes on even if the system does not confirm the end.
    ::WaitForSingleObject(m_process, 10000);
  } else if (m_pending->port.Valid()) {
    DWORD message = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* detail = nullptr;
    while (::GetQueuedCompletionStatus(m_pending->port.Get(), &message, &key, &detail, 0)) {
      if (message == JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT) end.killedFromOutside = true;
    }
  }
  ::CloseHandle(m_job);
  ::CloseHandle(m_process);
  m_job = m_process = nullptr;
  delete m_pending;
  m_pending = nullptr;
  m_id = 0;
  return end;
}

int WaitForAny(const std::vector<NativeWaitable>& waitables, std::chrono::milliseconds timeout,
               std::vector<char>& ready) {
  ready.assign(waitables.size(), 0);
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (waitables.size() <= MAXIMUM_WAIT_OBJECTS) {
      const DWORD woke =
          ::WaitForMultipleObjects(static_cast<DWORD>(waitables.size()), waitables.data(), FALSE,
                                   static_cast<DWORD>(timeout.count()));
      if (woke == WAIT_TIMEOUT) return 0;
      if (woke == WAIT_FAILED) {
        errno = EIO;
        return -1;
      }
    }
    int n = 0;
    for (std::size_t i = 0; i < waitables.size(); ++i) {
      ready[i] = ::WaitForSingleObject(waitables[i], 0) == WAIT_OBJECT_0;
      n += ready[i];
    }
    // More than one wait can take: looked at in turns.
    if (n > 0 || std::chrono::steady_clock::now() >= until) return n;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool BecomeHelper(const char* channel, const HelperDescriptors& descriptors,
                  uint64_t /*addressSpaceBytes: the scan's job caps it*/, std::size_t sharedBytes,
                  void** shared) {
  *shared = nullptr;
  // No dialog for a crash, a missing drive or a file that cannot open: the scan judges.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  char* end = nullptr;
  const HANDLE requests = HandleFromNumber(channel, &end);
  if (*end != ',') return false;
  const HANDLE replies = HandleFromNumber(end + 1, &end);
  if (*end != ',') return false;
  const HANDLE mapping = HandleFromNumber(end + 1, &end);
  // The pipes go onto the C runtime's descriptors the protocol names.
  const auto place = [](HANDLE handle, int flags, int to) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) return false;
    if (fd == to) return true;
    const bool placed = ::_dup2(fd, to) == 0;
    ::_close(fd);
    return placed;
  };
  if (!place(requests, _O_RDONLY, descriptors.requests) ||
      !place(replies, _O_WRONLY, descriptors.replies)) {
    return false;
  }
  if (mapping != nullptr && sharedBytes > 0) {
    *shared = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sharedBytes);
  }
  return true;
}

namespace {

struct StackWork {
  void (*work)(void*);
  void* argument;
};

DWORD WINAPI RunStackWork(void* p) {
  const auto* w = static_cast<const StackWork*>(p);
  w->work(w->argument);
  return 0;
}

}  // namespace

void RunOnStack(std::size_t stackBytes, void (*work)(void*), void* argument) {
  StackWork w{work, argument};
  // Reserved, not committed: the stack takes memory only as deep as decoding goes.
  const HANDLE thread = ::CreateThread(nullptr, stackBytes, RunStackWork, &w,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    work(argument);  // the process's own stack is better than none
    return;
  }
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
}

int64_t ReadDescriptor(int fd, void* data, std::size_t size) {
  return ::_read(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

int64_t ReceiveDescriptor(int fd, void* data, std::size_t size, NativeFile& /*handed*/) {
  return ReadDescriptor(fd, data, size);
}

int64_t WriteDescriptor(int fd, const void* data, std::size_t size) {
  return ::_write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}
