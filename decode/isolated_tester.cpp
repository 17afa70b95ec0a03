#include "decode/isolated_tester.h"

#include <algorithm>

CIsolatedTester::CIsolatedTester(std::filesystem::path helper, DecoderLimits limits)
    : m_helper(std::move(helper), limits), m_stepTimeout(limits.stepTimeout) {}

bool CIsolatedTester::Open(const std::filesystem::path& path) {
  m_strError.clear();
  m_nTotalSamples = 0;
  m_position = m_totalSeconds = 0;
  m_fallback.reset();
  // A file left mid-decode (the caller stopped early) cannot be told apart from the
  // next one's answers: start afresh.
  if (m_bDecoding) m_helper.End(true);
  m_bDecoding = false;
  if (!m_helper.Start()) {
    m_fallback = std::make_unique<CInProcessTester>();
    const bool opened = m_fallback->Open(path);
    m_strError = m_fallback->ErrorText();
    m_nTotalSamples = m_fallback->TotalSamples();
    m_totalSeconds = m_fallback->TotalSeconds();
    return opened;
  }
  CDecoderHelper::Message reply;
  CDecoderHelper::Wait w = CDecoderHelper::Wait::kGone;
  if (m_helper.Request(path)) w = m_helper.Next(reply, m_stepTimeout);
  if (w != CDecoderHelper::Wait::kMessage || reply.type != CDecoderHelper::kOpened) {
    m_strError = m_helper.End(w == CDecoderHelper::Wait::kTimedOut);
    return false;
  }
  m_strError = reply.text;
  m_nTotalSamples = reply.samples;
  m_totalSeconds = reply.seconds;
  m_bDecoding = reply.value != 0;
  return m_bDecoding;
}

int CIsolatedTester::DecodeStep() {
  if (m_fallback) {
    const int r = m_fallback->DecodeStep();
    m_strError = m_fallback->ErrorText();
    m_position = m_fallback->PositionSeconds();
    return r;
  }
  CDecoderHelper::Message step;
  const CDecoderHelper::Wait w = m_helper.Next(step, m_stepTimeout);
  if (w != CDecoderHelper::Wait::kMessage || step.type != CDecoderHelper::kStep) {
    const std::string how = m_helper.End(w == CDecoderHelper::Wait::kTimedOut);
    m_position = std::max(m_position, m_helper.LastPosition());
    m_strError = how + " @ " + FormatPosition(m_position);
    m_bDecoding = false;
    return kDecoderDied;
  }
  m_position = step.seconds;
  if (step.value <= 0) m_bDecoding = false;
  if (step.value < 0) m_strError = step.text;
  return step.value;
}

TesterFactory IsolatedTesterFactory(std::filesystem::path helper, DecoderLimits limits) {
  return [helper = std::move(helper), limits] {
    return std::make_unique<CIsolatedTester>(helper, limits);
  };
}
