#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli/result_formatter.h"
#include "db/results_db.h"
#include "db/verdict_record.h"
#include "decode/helper_verdict.h"
#include "platform/file_status.h"
#include "scan/file_tester.h"
#include "scan/scan_listener.h"

// What the results database knows of the files of one run. For each entry of the list it
// decides once whether the recorded verdict stands for a fresh check (--skip-checked),
// and it records every fresh verdict, noting the files that were OK and have gone bad.
// Used on the worker's thread only.
class CRememberedVerdicts {
 public:
  struct Decision {
    std::string key;
    std::optional<FileIdentity> identity;
    // The last record of this run's reach before this run: what its verdict is compared
    // with and replaces.
    std::shared_ptr<const StoredRecord> last;
    // The record that stands for a fresh check, of either reach (see FitsReach).
    std::shared_ptr<const StoredRecord> stands;
    bool reuse = false;
  };
  struct NewlyDamaged {
    std::filesystem::path path;
    int64_t wasCheckedAtMs = 0;
  };

  // `mode`: how the run checks files. Only a record that is at least as thorough, and
  // strict for a strict run, stands for its check; every record it makes says how it was
  // checked.
  CRememberedVerdicts(CResultsDb& db, CheckMode mode, std::optional<double> skipDays)
      : m_db(db), m_mode(mode), m_skipDays(skipDays) {}
  bool Strict() const { return m_mode.strict; }

  // The decision for the list's entry `index`, made the first time it is asked for.
  const Decision& Decide(std::size_t index, const std::filesystem::path& path);
  // Entry `index` (the report's number less one), if its recorded verdict stood.
  const Decision* Reused(std::size_t index) const;
  // A fresh verdict of entry `index`: recorded if it is a verdict on the file. Returns what
  // the record before says of it: the time of the OK record it contradicts when the file
  // went bad unchanged, or of the check that heard another sound.
  ResultNotes Record(std::size_t index, const FileResult& result);

  // Entry `index` is done with: a sweep of a big library must not keep every file's
  // record in memory.
  void Forget(std::size_t index) { m_decisions.erase(index); }

  const std::vector<NewlyDamaged>& Newly() const { return m_newly; }
  bool AllCodecs() const { return m_mode.everyCodec; }

 private:
  CResultsDb& m_db;
  const CheckMode m_mode;
  std::optional<double> m_skipDays;
  // A sweep looks at its files folder by folder.
  CStatusesInFolder m_statuses;
  std::unordered_map<std::size_t, Decision> m_decisions;
  std::vector<NewlyDamaged> m_newly;
};

// A recorded verdict, played to the worker instead of a decode where it stands; every
// other file goes to `inner`.
class CRememberingTester final : public IFileTester {
 public:
  CRememberingTester(CRememberedVerdicts& remembered, std::unique_ptr<IFileTester> inner)
      : m_remembered(remembered), m_inner(std::move(inner)) {}

  bool Open(const ListedFile& file) override;
  int64_t DecodeStep() override;
  const FileVerdict& Verdict() const override {
    return m_bReplaying ? m_replayed.Verdict() : m_inner->Verdict();
  }

 private:
  void TakeBreaches();

  CRememberedVerdicts& m_remembered;
  std::unique_ptr<IFileTester> m_inner;
  bool m_bReplaying = false;
  CVerdictBuilder m_replayed;
  // The record's breaches, taken in before its answer to the open when it did not open, or
  // before its last step; and that step.
  std::vector<HelperMessage> m_breaches;
  HelperMessage m_last;
};
