#include "decode/parallel_decoder.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "decode/helper_verdict.h"

namespace {}  // namespace

CParallelDecoder::CParallelDecoder(const CFileList& list, int jobs, std::filesystem::path helper,
                                   DecoderOptions options, Wanted wanted)
    : m_list(list),
      m_window(static_cast<std::size_t>(std::max(1, jobs)) * 4),
      m_timeout(options.stepTimeout),
      m_cancelFd(options.cancelFd),
      m_wanted(std::move(wanted)) {
  for (int i = 0; i < std::max(1, jobs); ++i) {
    m_helpers.push_back(std::make_unique<CDecoderHelper>(helper, options));
  }
  m_busy.resize(m_helpers.size());
}

IVerdictSource::Decoded CParallelDecoder::Take(const std::filesystem::path& path) {
  // Entries the scan does not want were never given to a helper.
  while (!m_jobs.empty() && m_jobs.front().skipped) m_jobs.pop_front();
  while (m_jobs.empty()) {
    const auto entry = m_list.Take(m_nextToList);
    if (!entry) {
      Decoded none;
      none.verdict.status = FileVerdict::Status::kNotChecked;
      none.verdict.reason = "not in the list: " + path.native();
      return none;
    }
    Append(m_nextToList, entry->path);
    if (m_jobs.back().skipped) m_jobs.pop_back();
  }
  const std::size_t index = m_jobs.front().index;
  WaitFor(index);
  Decoded decoded = std::move(m_jobs.front().decoded);
  m_jobs.pop_front();
  Dispatch();
  return decoded;
}

void CParallelDecoder::Append(std::size_t index, std::filesystem::path path) {
  const bool wanted = !m_wanted || m_wanted(index, path);
  m_jobs.push_back({index, std::move(path), {}, !wanted, !wanted});
  ++m_nextToList;
}

bool CParallelDecoder::AnyBusy() const {
  return std::any_of(m_busy.begin(), m_busy.end(), [](const auto& b) { return b.has_value(); });
}

void CParallelDecoder::Dispatch() {
  for (std::size_t h = 0; h < m_helpers.size(); ++h) {
    if (m_busy[h]) continue;
    auto waiting = std::find_if(m_jobs.begin(), m_jobs.end(), [this](const Job& job) {
      return !job.done && std::find(m_busy.begin(), m_busy.end(), job.index) == m_busy.end();
    });
    while (waiting == m_jobs.end()) {
      const auto wanted =
          std::count_if(m_jobs.begin(), m_jobs.end(), [](const Job& job) { return !job.skipped; });
      if (static_cast<std::size_t>(wanted) >= m_window) return;
      const auto entry = m_list.Take(m_nextToList);
      if (!entry) return;
      Append(m_nextToList, entry->path);
      if (!m_jobs.back().skipped) waiting = std::prev(m_jobs.end());
    }
    if (!Assign(h, *waiting)) return;
  }
}

bool CParallelDecoder::Assign(std::size_t helper, Job& job) {
  CDecoderHelper& h = *m_helpers[helper];
  if (!h.Start()) {
    const int error = errno;
    // Another helper may still take the file; with none running, the run cannot go on.
    if (!AnyBusy()) {
      TakeStartFailure(job.decoded.verdict, error);
      job.done = true;
    }
    return false;
  }
  m_busy[helper] = job.index;
  if (!h.Request(job.path)) Lost(helper, false);
  return true;
}

void CParallelDecoder::WaitFor(std::size_t index) {
  std::vector<pollfd> fds;
  std::vector<std::size_t> owners;
  for (;;) {
    Dispatch();
    if (JobAt(index).done) return;
    fds.clear();
    owners.clear();
    for (std::size_t h = 0; h < m_helpers.size(); ++h) {
      if (!m_busy[h]) continue;
      fds.push_back({m_helpers[h]->ReplyFd(), POLLIN, 0});
      owners.push_back(h);
    }
    if (fds.empty()) continue;  // Dispatch gives the file a helper, or its verdict
    if (m_cancelFd >= 0) fds.push_back({m_cancelFd, POLLIN, 0});
    const int n = ::poll(fds.data(), fds.size(), static_cast<int>(m_timeout.count()));
    if (n < 0) continue;
    if (n == 0) {
      // No helper answered in time: the one the scan waits for has run away.
      const auto head = std::find(m_busy.begin(), m_busy.end(), index);
      Lost(head != m_busy.end() ? std::size_t(head - m_busy.begin()) : owners.front(), true);
      continue;
    }
    for (std::size_t i = 0; i < owners.size(); ++i) {
      if (fds[i].revents != 0) TakeAnswers(owners[i]);
    }
    if (owners.size() < fds.size() && fds.back().revents != 0 && !JobAt(index).done) {
      // Cancelled while the file the scan waits for is still decoding: nothing waits for
      // any of them now.
      for (std::size_t h = 0; h < m_helpers.size(); ++h) {
        if (m_busy[h]) Lost(h, true);
      }
    }
  }
}

void CParallelDecoder::TakeAnswers(std::size_t helper) {
  HelperMessage message;
  while (m_busy[helper]) {
    switch (m_helpers[helper]->Next(message, std::chrono::milliseconds(0))) {
      case CDecoderHelper::Wait::kTimedOut:
      case CDecoderHelper::Wait::kCancelled: return;
      case CDecoderHelper::Wait::kGone: Lost(helper, false); return;
      case CDecoderHelper::Wait::kMessage: Take(helper, message); break;
    }
  }
}

void CParallelDecoder::Take(std::size_t helper, const HelperMessage& message) {
  Decoded& d = JobAt(*m_busy[helper]).decoded;
  if (message.type == HelperMessage::kOpened) {
    if (!TakeOpened(d.verdict, message)) Finish(helper);
    return;
  }
  const int64_t r = TakeStep(d.verdict, message);
  if (r > 0) {
    d.samplesDecoded += r;
    return;
  }
  d.lastResult = r;
  Finish(helper);
}

void CParallelDecoder::Lost(std::size_t helper, bool overLimit) {
  CDecoderHelper& h = *m_helpers[helper];
  Decoded& d = JobAt(*m_busy[helper]).decoded;
  TakeHelperEnd(d.verdict, h.End(overLimit), h.LastPosition());
  d.lastResult = kDecoderDied;
  Finish(helper);
}

void CParallelDecoder::Finish(std::size_t helper) {
  JobAt(*m_busy[helper]).done = true;
  m_busy[helper].reset();
}
