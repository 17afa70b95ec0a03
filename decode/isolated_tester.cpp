#include "decode/isolated_tester.h"

#include "decode/helper_verdict.h"

using How = HelperExit::How;

CIsolatedTester::CIsolatedTester(std::filesystem::path helper, DecoderOptions options)
    : m_helper(std::move(helper), options) {}

bool CIsolatedTester::Answer(HelperMessage& message, HelperMessage::Type type, HelperExit& exit) {
  for (;;) {
    switch (m_helper.Next(message, m_helper.LookEvery())) {
      case CDecoderHelper::Wait::kMessage:
        if (message.type == type) return true;
        // What comes before the answer awaited is a fact beside the verdict; anything
        // else is out of turn: the helper is not itself.
        if (message.type != HelperMessage::kOpened && message.type != HelperMessage::kStep &&
            m_verdict.Take(message) == CVerdictBuilder::Taken::kFact)
          break;
        exit = m_helper.End(How::kCrashed);
        return false;
      case CDecoderHelper::Wait::kGone: exit = m_helper.End(How::kCrashed); return false;
      case CDecoderHelper::Wait::kCancelled: exit = m_helper.End(How::kCancelled); return false;
      case CDecoderHelper::Wait::kTimedOut:
        if (const auto why = m_helper.Judge()) {
          exit = m_helper.End(*why);
          return false;
        }
        break;
    }
  }
}

bool CIsolatedTester::Begin(HelperMessage& opened, HelperExit& exit, std::error_code& startError) {
  startError = m_helper.Start();
  if (startError) return false;
  if (!m_helper.Request(m_file.path)) {
    exit = m_helper.End(How::kCrashed);
    return false;
  }
  return Answer(opened, HelperMessage::kOpened, exit);
}

bool CIsolatedTester::Open(const ListedFile& file) {
  m_verdict.Reset();
  m_file = file;
  m_bRetried = false;
  m_nSteps = 0;
  // A file left mid-decode (the caller stopped early) cannot be told apart from the
  // next one's answers: start afresh.
  if (m_bDecoding) m_helper.End(How::kCancelled);
  m_bDecoding = false;
  HelperMessage opened;
  HelperExit exit;
  std::error_code startError;
  for (;;) {
    if (Begin(opened, exit, startError)) break;
    if (startError) {
      m_verdict.TakeStartFailure(startError);
      return false;
    }
    if (!exit.Retried() || m_bRetried) {
      m_verdict.TakeEnd(exit);
      return false;
    }
    m_bRetried = true;
  }
  m_bDecoding = m_verdict.Take(opened) == CVerdictBuilder::Taken::kOpened;
  return m_bDecoding;
}

std::optional<HelperExit> CIsolatedTester::Resume(const HelperExit& first) {
  m_bRetried = true;
  HelperMessage answer;
  HelperExit exit;
  std::error_code startError;
  if (!Begin(answer, exit, startError)) {
    // No helper could start again: the first end is all there is to go on.
    return startError ? first : exit;
  }
  if (answer.value == 0) {
    m_helper.End(How::kCancelled);
    return first;
  }
  for (int64_t i = 0; i < m_nSteps; ++i) {
    if (!Answer(answer, HelperMessage::kStep, exit)) return exit;
    if (answer.value <= 0) {
      m_helper.End(How::kCancelled);
      return first;
    }
  }
  return std::nullopt;
}

int64_t CIsolatedTester::DecodeStep() {
  HelperMessage step;
  HelperExit exit;
  if (Answer(step, HelperMessage::kStep, exit)) {
    ++m_nSteps;
    m_verdict.Take(step);
    const int64_t r = m_verdict.StepResult();
    if (r <= 0) m_bDecoding = false;
    return r;
  }
  if (exit.Retried() && !m_bRetried) {
    const auto second = Resume(exit);
    if (!second) return DecodeStep();
    exit = *second;
  }
  m_bDecoding = false;
  m_verdict.TakeEnd(exit);
  return kDecoderDied;
}

TesterFactory IsolatedTesterFactory(std::filesystem::path helper, DecoderOptions options) {
  return [helper = std::move(helper), options] {
    return std::make_unique<CIsolatedTester>(helper, options);
  };
}
