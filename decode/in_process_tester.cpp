#include "decode/in_process_tester.h"

double CInProcessTester::PositionSeconds() const {
  if (m_check.m_pFile == nullptr) return 0;
  return ov_time_tell(const_cast<OggVorbis_File*>(&m_check.m_vf));
}

double CInProcessTester::TotalSeconds() const {
  if (m_check.m_pFile == nullptr) return 0;
  return ov_time_total(const_cast<OggVorbis_File*>(&m_check.m_vf), -1);
}

TesterFactory InProcessTesterFactory() {
  return [] { return std::make_unique<CInProcessTester>(); };
}
