#include "decode/in_process_tester.h"

bool CInProcessTester::Open(const std::filesystem::path& path) {
  m_verdict = {};
  m_verdict.opened = m_check.Open(path);
  if (!m_verdict.opened) {
    m_verdict.reason = m_check.m_strError;
    m_verdict.status = FileVerdict::Status::kError;
    return false;
  }
  m_verdict.samples = m_check.m_nTotalSamples;
  m_verdict.length = ov_time_total(&m_check.m_vf, -1);
  return true;
}

int64_t CInProcessTester::DecodeStep() {
  const int r = m_check.DecodeStep();
  m_verdict.position = ov_time_tell(&m_check.m_vf);
  if (r < 0) {
    m_verdict.reason = m_check.m_strError;
    m_verdict.status = FileVerdict::Status::kError;
  } else if (r == 0) {
    m_verdict.status = FileVerdict::Status::kOk;
  }
  return r;
}

TesterFactory InProcessTesterFactory() {
  return [] { return std::make_unique<CInProcessTester>(); };
}
