#include "decode/parallel_decoder.h"

#include <algorithm>
#include <cerrno>

#include "decode/helper_verdict.h"

namespace {

// How far reading ahead may run past the scan over entries nobody wants decoded: each of
// them keeps its decision in memory until the scan passes it.
constexpr std::size_t kLongestLookAhead = 4096;

}  // namespace

CParallelDecoder::CParallelDecoder(const CFileList& list, int jobs, std::filesystem::path helper,
                                   DecoderOptions options, Wanted wanted)
    : m_list(list),
      m_window(static_cast<std::size_t>(std::max(1, jobs)) * 4),
      m_cancelFd(options.cancelFd),
      m_wanted(std::move(wanted)) {
  for (int i = 0; i < std::max(1, jobs); ++i) {
    m_helpers.push_back(std::make_unique<CDecoderHelper>(helper, options));
  }
  m_busy.resize(m_helpers.size());
}

IVerdictSource::Decoded CParallelDecoder::Take(const ListedFile& file) {
  m_passed = file.index;
  for (auto it = m_jobs.begin(); it != m_jobs.end() && it->first < file.index;) {
    it = it->second.state == Job::State::kDecoding ? std::next(it) : m_jobs.erase(it);
  }
  // Asked for, it is wanted, whatever reading ahead made of it.
  m_jobs.try_emplace(file.index, file);
  m_nextToRead = std::max(m_nextToRead, file.index + 1);
  WaitFor(file.index);
  const auto job = m_jobs.find(file.index);
  Decoded decoded = std::move(job->second.decoded);
  const bool same = job->second.file.path == file.path;
  m_jobs.erase(job);
  Dispatch();
  if (!same) {
    // The list is only ever appended to, so this cannot be; if it were, no verdict may
    // go to a file it was not decoded from.
    decoded = {};
    decoded.verdict.status = FileVerdict::Status::kNotChecked;
    decoded.verdict.stopsScan = true;
    decoded.verdict.reason = "the decoders' list does not match the scan's";
  }
  return decoded;
}

bool CParallelDecoder::ReadAhead() {
  while (m_jobs.size() < m_window && m_nextToRead < m_passed + kLongestLookAhead) {
    const auto entry = m_list.Take(m_nextToRead);
    if (!entry) return false;
    ListedFile file{m_nextToRead, entry->path};
    ++m_nextToRead;
    if (m_wanted && !m_wanted(file)) continue;
    m_jobs.try_emplace(file.index, std::move(file));
    return true;
  }
  return false;
}

CParallelDecoder::Job* CParallelDecoder::NextWaiting() {
  for (auto it = m_jobs.lower_bound(m_passed); it != m_jobs.end(); ++it) {
    if (it->second.state == Job::State::kWaiting) return &it->second;
  }
  return nullptr;
}

bool CParallelDecoder::AnyBusy() const {
  return std::any_of(m_busy.begin(), m_busy.end(), [](const auto& b) { return b.has_value(); });
}

void CParallelDecoder::Dispatch() {
  for (std::size_t h = 0; h < m_helpers.size(); ++h) {
    if (m_busy[h]) continue;
    Job* next = NextWaiting();
    while (next == nullptr && ReadAhead()) next = NextWaiting();
    if (next == nullptr || !Assign(h, *next)) return;
  }
}

bool CParallelDecoder::Assign(std::size_t helper, Job& job) {
  CDecoderHelper& h = *m_helpers[helper];
  job.decoded = {};
  job.verdict.Reset();
  if (const std::error_code error = h.Start()) {
    // Another helper may still take the file; with none running, the run cannot go on.
    if (!AnyBusy()) {
      job.verdict.TakeStartFailure(error);
      job.decoded.verdict = job.verdict.TakeVerdict();
      job.state = Job::State::kDone;
    }
    return false;
  }
  job.state = Job::State::kDecoding;
  m_busy[helper] = job.file.index;
  if (!h.Request(job.file.path)) Ended(helper, h.End(HelperExit::How::kCrashed));
  return true;
}

void CParallelDecoder::WaitFor(std::size_t index) {
  std::vector<NativeWaitable> fds;
  std::vector<char> ready;
  std::vector<std::size_t> owners;
  const auto every = m_helpers.front()->LookEvery();
  for (;;) {
    Dispatch();
    if (m_jobs.at(index).state == Job::State::kDone) return;
    fds.clear();
    owners.clear();
    for (std::size_t h = 0; h < m_helpers.size(); ++h) {
      if (!m_busy[h]) continue;
      fds.push_back(m_helpers[h]->Replies());
      owners.push_back(h);
    }
    if (fds.empty()) continue;  // Dispatch gives the file a helper, or its verdict
    if (m_cancelFd != kNoWaitable) fds.push_back(m_cancelFd);
    const int n = WaitForAny(fds, every, ready);
    if (n < 0 && errno != EINTR) continue;
    for (std::size_t i = 0; n > 0 && i < owners.size(); ++i) {
      if (ready[i]) TakeAnswers(owners[i]);
    }
    if (n > 0 && owners.size() < fds.size() && ready.back() &&
        m_jobs.at(index).state != Job::State::kDone) {
      // Cancelled while the file the scan waits for is still decoding: nothing waits for
      // any of them now.
      for (std::size_t h = 0; h < m_helpers.size(); ++h) {
        if (m_busy[h]) Ended(h, m_helpers[h]->End(HelperExit::How::kCancelled));
      }
      continue;
    }
    // A helper that keeps the others waiting is judged however busy the rest are.
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextLook) continue;
    m_nextLook = now + every;
    for (std::size_t h = 0; h < m_helpers.size(); ++h) {
      if (!m_busy[h]) continue;
      if (const auto why = m_helpers[h]->Judge()) Ended(h, m_helpers[h]->End(*why));
    }
  }
}

void CParallelDecoder::TakeAnswers(std::size_t helper) {
  HelperMessage message;
  while (m_busy[helper]) {
    switch (m_helpers[helper]->Next(message, std::chrono::milliseconds(0))) {
      case CDecoderHelper::Wait::kTimedOut:
      case CDecoderHelper::Wait::kCancelled: return;
      case CDecoderHelper::Wait::kGone:
        Ended(helper, m_helpers[helper]->End(HelperExit::How::kCrashed));
        return;
      case CDecoderHelper::Wait::kMessage: Take(helper, message); break;
    }
  }
}

void CParallelDecoder::Take(std::size_t helper, const HelperMessage& message) {
  using Taken = CVerdictBuilder::Taken;
  Job& job = m_jobs.at(*m_busy[helper]);
  switch (job.verdict.Take(message)) {
    case Taken::kFact:
    case Taken::kOpened: return;
    case Taken::kRefused: Finish(helper); return;
    case Taken::kUnknown: Ended(helper, m_helpers[helper]->End(HelperExit::How::kCrashed)); return;
    case Taken::kStep: break;
  }
  const int64_t r = job.verdict.StepResult();
  if (r > 0) {
    job.decoded.samplesDecoded += r;
    return;
  }
  job.decoded.lastResult = r;
  Finish(helper);
}

void CParallelDecoder::Ended(std::size_t helper, const HelperExit& exit) {
  Job& job = m_jobs.at(*m_busy[helper]);
  if (exit.Retried() && !job.retried && job.file.index >= m_passed) {
    job.retried = true;
    job.state = Job::State::kWaiting;
    m_busy[helper].reset();
    return;
  }
  job.verdict.TakeEnd(exit);
  job.decoded.lastResult = kDecoderDied;
  Finish(helper);
}

void CParallelDecoder::Finish(std::size_t helper) {
  const std::size_t index = *m_busy[helper];
  m_busy[helper].reset();
  Job& job = m_jobs.at(index);
  job.decoded.verdict = job.verdict.TakeVerdict();
  if (index < m_passed) {
    m_jobs.erase(index);
    return;
  }
  job.state = Job::State::kDone;
}
