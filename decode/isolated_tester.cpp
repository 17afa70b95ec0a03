#include "decode/isolated_tester.h"

#include <cerrno>

#include "decode/helper_verdict.h"

CIsolatedTester::CIsolatedTester(std::filesystem::path helper, DecoderOptions options)
    : m_helper(std::move(helper), options) {}

bool CIsolatedTester::Open(const std::filesystem::path& path) {
  m_verdict = {};
  // A file left mid-decode (the caller stopped early) cannot be told apart from the
  // next one's answers: start afresh.
  if (m_bDecoding) m_helper.End(true);
  m_bDecoding = false;
  if (!m_helper.Start()) {
    TakeStartFailure(m_verdict, errno);
    return false;
  }
  HelperMessage reply;
  auto w = CDecoderHelper::Wait::kGone;
  if (m_helper.Request(path)) w = m_helper.Next(reply, m_helper.Options().stepTimeout);
  if (w != CDecoderHelper::Wait::kMessage || reply.type != HelperMessage::kOpened) {
    TakeHelperEnd(m_verdict, m_helper.End(w != CDecoderHelper::Wait::kGone), 0);
    return false;
  }
  m_bDecoding = TakeOpened(m_verdict, reply);
  return m_bDecoding;
}

int64_t CIsolatedTester::DecodeStep() {
  HelperMessage step;
  const auto w = m_helper.Next(step, m_helper.Options().stepTimeout);
  if (w != CDecoderHelper::Wait::kMessage || step.type != HelperMessage::kStep) {
    TakeHelperEnd(m_verdict, m_helper.End(w != CDecoderHelper::Wait::kGone),
                  m_helper.LastPosition());
    m_bDecoding = false;
    return kDecoderDied;
  }
  const int64_t r = TakeStep(m_verdict, step);
  if (r <= 0) m_bDecoding = false;
  return r;
}

TesterFactory IsolatedTesterFactory(std::filesystem::path helper, DecoderOptions options) {
  return [helper = std::move(helper), options] {
    return std::make_unique<CIsolatedTester>(helper, options);
  };
}
