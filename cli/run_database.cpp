#include "cli/run_database.h"

#include <cstdio>

#include "db/db_report.h"
#include "platform/path_bytes.h"
#include "text/path_text.h"

namespace {

void SayNewlyDamaged(const CRememberedVerdicts& remembered) {
  const auto& newly = remembered.Newly();
  if (newly.empty()) return;
  std::fprintf(stderr, "harrowbit-cli: newly damaged since its last check: %zu files\n",
               newly.size());
  for (const auto& n : newly) {
    std::fprintf(stderr, "  %s (OK at %s)\n", DisplayText(PathToUtf8(n.path)).c_str(),
                 CheckedAtText(n.wasCheckedAtMs).c_str());
  }
}

}  // namespace

bool CRunDatabase::Open(const CliOptions& options) {
  if (options.db.empty()) return true;
  m_db.emplace();
  m_bAsked = options.showErrors || options.showChanges || options.coverageDays;
  if (!m_db->Open(options.db, m_bAsked ? DbMode::kQuery : DbMode::kRecord)) {
    std::fprintf(stderr, "harrowbit-cli: %s\n", m_db->ErrorText().c_str());
    return false;
  }
  return true;
}

std::function<void()> CRunDatabase::LastWords() {
  return [this] { m_db->Flush(); };
}

CRememberedVerdicts* CRunDatabase::Remember(CheckMode mode, std::optional<double> skipDays) {
  if (!m_db) return nullptr;
  return &m_remembered.emplace(*m_db, mode, skipDays);
}

bool CRunDatabase::Finish() {
  if (m_remembered) SayNewlyDamaged(*m_remembered);
  if (!m_db) return true;
  m_db->Close();
  if (m_db->Unrecorded() > 0) {
    std::fprintf(stderr, "harrowbit-cli: %s; %lld verdicts were not recorded\n",
                 m_db->ErrorText().c_str(), static_cast<long long>(m_db->Unrecorded()));
    return false;
  }
  return true;
}
