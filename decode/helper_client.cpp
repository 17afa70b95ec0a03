#include "decode/helper_client.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "platform/path_bytes.h"
#include "platform/sandbox.h"

CDecoderHelper::CDecoderHelper(std::filesystem::path executable, DecoderOptions options)
    : m_executable(std::move(executable)), m_options(options) {}

CDecoderHelper::~CDecoderHelper() { End(HelperExit::How::kCancelled); }

namespace {

// Where the helper cannot be confined it says so on standard error, but once in a run:
// the first helper is told to, every later one to keep quiet.
std::atomic<bool> g_sandboxSpoken{false};

}  // namespace

std::error_code CDecoderHelper::Start() {
  if (m_process.Running()) return {};
  const char* sandbox = m_options.requireSandbox         ? kSandboxRequired
                        : g_sandboxSpoken.exchange(true) ? kSandboxQuiet
                                                         : kSandboxTell;
  HelperLaunch launch{.executable = m_executable,
                      .flag = kDecoderHelperFlag,
                      .arguments = {std::to_string(m_options.stackBytes),
                                    std::to_string(m_options.addressSpaceBytes),
                                    std::string(HelperArgument(m_options.mode)), sandbox},
                      .descriptors = {kRequestFd, kReplyFd, kPositionFd},
                      .sharedBytes = sizeof(SharedPosition),
                      .replyBufferBytes = kReplyPipeBytes,
                      .memoryBytes = m_options.addressSpaceBytes};
  if (const std::error_code error = m_process.Start(launch)) return error;
  // Without the shared page the helper decodes all the same, and a crash is placed by its
  // last answer.
  m_position = m_process.Shared() != nullptr ? new (m_process.Shared()) SharedPosition(0) : nullptr;
  m_buffer.clear();
  m_nBufferBegin = 0;
  return {};
}

double CDecoderHelper::UnmapSharedPosition() {
  if (m_position == nullptr) return 0;
  const double last = m_position->load(std::memory_order_relaxed);
  m_position = nullptr;
  m_process.UnmapShared();
  return last;
}

bool CDecoderHelper::Request(const std::filesystem::path& file) {
  if (!m_process.Running()) return false;
  // The helper cannot open files: it is handed each one, opened here.
  CReadFile handed;
  const std::string path = PathToUtf8(file);
  const std::string request = EncodeRequest(path, m_options.mode, handed.OpenToHandOver(path));
  const bool written = m_process.Write(request.data(), request.size(), handed.Native());
  m_answeredAt = std::chrono::steady_clock::now();
  m_bJudging = false;
  return written;
}

HelperExit CDecoderHelper::End(HelperExit::How why) {
  HelperExit exit{why, 0, 0};
  if (!m_process.Running()) return exit;
  // A helper whose answers ended is on its way out, with a signal to show for it if one
  // killed it: it gets a moment before being made sure of.
  const auto end =
      m_process.Finish(why == HelperExit::How::kCrashed ? std::chrono::milliseconds(1000)
                                                        : std::chrono::milliseconds(0));
  exit.lastPosition = UnmapSharedPosition();
  if (why == HelperExit::How::kCrashed && end.byItself) {
    exit.signal = end.signal;
    if (end.killedFromOutside) exit.how = HelperExit::How::kKilled;
    if (end.bySandbox) exit.how = HelperExit::How::kSandboxed;
    if (end.exitStatus == kUnconfinedExitStatus) exit.how = HelperExit::How::kUnconfined;
  }
  return exit;
}

std::optional<HelperExit::How> CDecoderHelper::Judge() {
  if (!m_process.Running()) return std::nullopt;
  const auto cpu = m_process.ProcessorTime();
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
  m_buffer.erase(0, m_nBufferBegin);
  m_nBufferBegin = 0;
  const std::size_t kept = m_buffer.size();
  // Straight into the buffer: a batch is a pipe's worth.
  m_buffer.resize(kept + kReplyPipeBytes);
  std::size_t got = 0;
  const auto read =
      m_process.Read(m_buffer.data() + kept, kReplyPipeBytes, got, timeout, m_options.cancelFd);
  m_buffer.resize(kept + got);
  switch (read) {
    case CHelperProcess::Wait::kTimedOut: return Wait::kTimedOut;
    case CHelperProcess::Wait::kCancelled: return Wait::kCancelled;
    case CHelperProcess::Wait::kGone: return Wait::kGone;
    case CHelperProcess::Wait::kData: break;
  }
  return Wait::kMessage;
}

CDecoderHelper::Wait CDecoderHelper::Next(HelperMessage& message,
                                          std::chrono::milliseconds timeout) {
  if (!m_process.Running()) return Wait::kGone;
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
