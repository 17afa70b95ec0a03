#include "cli/database_queries.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "db/db_report.h"
#include "platform/file_status.h"
#include "platform/path_bytes.h"
#include "platform/program.h"
#include "scan/file_collection.h"
#include "text/path_text.h"

namespace {

// A query read without locks is asked again when a run wrote meanwhile; the retry then
// takes the usual locks, since that run has left a -wal.
constexpr int kAttempts = 3;

void Say(const std::string& message) {
  std::fprintf(stderr, "harrowbit-cli: %s\n", message.c_str());
}

bool ShowErrors(const CliOptions& options, CResultsDb& db, std::string& answer) {
  std::vector<ErrorRow> rows;
  if (!db.Errors(rows)) return false;
  const int64_t gone = LeaveOutGone(rows);
  answer = options.json ? ErrorsJson(rows, gone) : ErrorsText(rows, gone);
  return true;
}

bool ShowChanges(const CliOptions& options, CResultsDb& db, std::string& answer) {
  std::vector<AudioChangeRow> rows;
  if (!db.AudioChanges(rows)) return false;
  answer = options.json ? AudioChangesJson(rows) : AudioChangesText(rows);
  return true;
}

// The files on disk under PATH, walked as a scan would walk it. False when part of it
// could not be read (said on standard error): the count is then of what could be.
bool FilesOnDisk(const std::string& path, CFileList& files, OggNames names) {
  bool whole = true;
  FileStatus st;
  std::error_code lookError;
  if (!StatusOf(path, st, lookError)) {
    Say(DisplayText(path) + ": " + lookError.message());
    return false;
  }
  AddGivenPath(
      files, PathFromUtf8(path),
      [&](const std::filesystem::path& folder, std::error_code error) {
        Say(DisplayText(PathToUtf8(folder)) + ": " + error.message());
        whole = false;
      },
      names);
  return whole;
}

bool MeasureCoverage(const CliOptions& options, CResultsDb& db,
                     const std::vector<CFileList>& walked, std::string& answer) {
  const double days = *options.coverageDays;
  const int64_t nowMs = UnixMsNow();
  answer.clear();
  for (std::size_t p = 0; p < options.paths.size(); ++p) {
    LibraryCoverage c;
    const CFileList& files = walked[p];
    for (std::size_t i = 0; i < files.Count(); ++i) {
      const auto entry = files.Take(i);
      const std::string key = PathKey(entry->path);
      const auto identity = IdentityOf(entry->path);
      bool current = false;
      for (const Reach reach : {Reach::kVorbis, Reach::kAllCodecs}) {
        const auto last = db.Last(key, reach);
        if (!last && !db.ErrorText().empty()) return false;
        current = current || (identity && last && IsCurrent(*last, *identity, days, nowMs));
      }
      ++c.onDisk;
      if (current) ++c.current;
    }
    const std::string folder = PathKey(PathFromUtf8(options.paths[p]));
    answer += options.json ? CoverageJson(folder, days, c) : CoverageText(folder, days, c);
  }
  return true;
}

}  // namespace

int AskTheDatabase(const CliOptions& options, CResultsDb& db, COutput& out) {
  bool trouble = false;
  const bool coverage = options.coverageDays.has_value();
  std::vector<CFileList> walked(coverage ? options.paths.size() : 0);
  for (std::size_t p = 0; p < walked.size(); ++p) {
    if (!FilesOnDisk(options.paths[p], walked[p], OggNamesOf(options))) trouble = true;
  }
  std::string answer;
  for (int attempt = 1;; ++attempt) {
    const bool asked = options.showErrors    ? ShowErrors(options, db, answer)
                       : options.showChanges ? ShowChanges(options, db, answer)
                                             : MeasureCoverage(options, db, walked, answer);
    if (!asked) {
      Say(db.ErrorText());
      return kExitTrouble;
    }
    if (db.ReadWasStable()) break;
    if (attempt == kAttempts) {
      Say("results database " + DisplayText(options.db) +
          ": written by another run all the while it was read; ask again later");
      return kExitTrouble;
    }
    if (!db.Open(options.db, DbMode::kQuery)) {
      Say(db.ErrorText());
      return kExitTrouble;
    }
  }
  // Nothing holds the file while the answer is written to a slow reader.
  db.Close();
  out.Write(answer);
  out.Flush();
  if (out.Error() == EPIPE) return BrokenPipeExitStatus();
  if (out.Error() != 0) {
    Say(std::string("cannot write the results: ") + std::strerror(out.Error()));
    return kExitTrouble;
  }
  return trouble ? kExitTrouble : kExitClean;
}
