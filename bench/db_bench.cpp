// The results database's costs, without a scan: what --db adds per verdict, what
// --skip-checked pays per file to look up its last record, and the bytes per file.
//
//   db-bench [FILES] [FOLDER]     (defaults: 100000, a temporary folder)
//
// Paths are shaped like a music library's ("/srv/music/Artist 0042/Album 07/03 - Title
// of the Track.ogg", about 70 bytes).

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/results_db.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<VerdictRecord> Library(int files) {
  std::vector<VerdictRecord> records;
  records.reserve(static_cast<std::size_t>(files));
  const int64_t now = UnixMsNow();
  for (int i = 0; i < files; ++i) {
    VerdictRecord r;
    char path[160];
    std::snprintf(path, sizeof path,
                  "/srv/music/Artist %04d/Album %02d/%02d - Title of the Track.ogg", i / 120,
                  (i / 12) % 10, i % 12 + 1);
    r.path = path;
    r.identity = {2049, static_cast<uint64_t>(1'000'000 + i), 4'000'000 + i, now * 1'000'000};
    r.verdict = i % 500 == 0 ? StoredVerdict::kError : StoredVerdict::kOk;
    if (r.verdict == StoredVerdict::kError) {
      r.reason = "OV_HOLE @ 1m 23s";
      r.position = 83.5;
    }
    r.length = 240.25;
    r.checkedAtMs = now;
    r.libraryVersion = "Xiph.Org libVorbis I 20200704 (Reducing Environment)";
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 100'000;
  std::filesystem::path folder;
  if (argc > 2) {
    folder = argv[2];
  } else {
    std::string pattern = (std::filesystem::temp_directory_path() / "db-bench-XXXXXX").string();
    folder = ::mkdtemp(pattern.data());
  }
  const auto file = folder / "bench.db";
  std::filesystem::remove(file);
  // Shuffled: a scan lists files in the file system's order, not in the byte order of
  // their paths, and the table's size depends on the order rows arrive in.
  auto records = Library(files);
  std::shuffle(records.begin(), records.end(), std::mt19937(7));

  // (a) Recording: the time the scan's thread spends in Record(), and the time until
  // everything is committed and the file closed.
  CResultsDb db;
  if (!db.Open(file, DbMode::kRecord)) {
    std::fprintf(stderr, "%s\n", db.ErrorText().c_str());
    return 2;
  }
  auto start = Clock::now();
  for (const auto& r : records) db.Record(r);
  const double inRecord = Seconds(Clock::now() - start);
  db.Close();
  const double untilClosed = Seconds(Clock::now() - start);
  if (db.Unrecorded() != 0) {
    std::fprintf(stderr, "%s\n", db.ErrorText().c_str());
    return 2;
  }
  const double bytes = static_cast<double>(std::filesystem::file_size(file));

  // (b) Lookups, as --skip-checked makes them: one per listed file, folder by folder and
  // in a shuffled order, each followed by the reuse decision.
  if (!db.Open(file, DbMode::kRecord)) return 2;
  std::vector<const VerdictRecord*> order;
  for (const auto& r : records) order.push_back(&r);
  std::sort(order.begin(), order.end(), [](auto* a, auto* b) { return a->path < b->path; });
  int reused = 0;
  const int64_t now = UnixMsNow();
  const auto lookAll = [&] {
    const auto t0 = Clock::now();
    for (const auto* r : order) {
      const auto last = db.Last(r->path);
      reused += last && CanReuse(*last, r->identity, CheckKind::kFull, 90, now);
    }
    return Seconds(Clock::now() - t0);
  };
  const double inOrder = lookAll();
  std::shuffle(order.begin(), order.end(), std::mt19937(42));
  const double shuffled = lookAll();
  db.Close();

  // The key of each listed path, as the CLI forms it before the lookup.
  std::size_t keyBytes = 0;
  start = Clock::now();
  for (const auto& r : records) keyBytes += PathKey(r.path).size();
  const double keys = Seconds(Clock::now() - start);

  const double n = files;
  std::printf("files: %d\n", files);
  std::printf("record, time in Record():   %.2f us per file\n", inRecord / n * 1e6);
  std::printf("record, until committed:    %.2f us per file (%.3f s in all)\n",
              untilClosed / n * 1e6, untilClosed);
  std::printf("lookup + reuse, by folder:  %.2f us per file (%.3f s in all)\n", inOrder / n * 1e6,
              inOrder);
  std::printf("lookup + reuse, shuffled:   %.2f us per file (%.3f s in all)\n", shuffled / n * 1e6,
              shuffled);
  std::printf("PathKey:                    %.2f us per file (%zu bytes)\n", keys / n * 1e6,
              keyBytes);
  std::printf("database size:              %.0f bytes per file (%.0f bytes)\n", bytes / n, bytes);
  std::printf("reused: %d of %d\n", reused / 2, files);
  if (argc <= 2) std::filesystem::remove_all(folder);
  return reused == 2 * files ? 0 : 1;
}
