// What --strict adds to --quick, in-process, over the given files: each round runs the
// quick check over every file, then the structure check (its own read of the pages,
// handed the per-link counts the quick check decoded, as the helper would hand them).
// The best round of each counts. Prints both times and (quick + strict) / quick, the
// figure --quick --strict is held to (at most 1.15); exits 1 above it.
//
//   strict-cost [--rounds N] [--limit X] FILE...

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filetest/quick_check.h"
#include "filetest/structure_check_file.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The quick check's loop as the helper runs it, counting samples per link on the way.
std::vector<int64_t> QuickRun(COggQuickCheck& check, const char* path) {
  if (!check.Open(path)) return {};
  std::vector<int64_t> perLink(static_cast<std::size_t>(check.Vf().links), 0);
  int r = 0;
  while ((r = check.DecodeStep()) > 0) {
    const auto link = static_cast<std::size_t>(check.Vf().current_link);
    if (link < perLink.size()) perLink[link] += r;
  }
  if (r < 0) perLink.clear();
  return perLink;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  double limit = 1.15;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--limit") == 0 && i + 1 < argc) {
      limit = std::atof(argv[++i]);
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: strict-cost [--rounds N] [--limit X] FILE...\n");
    return 2;
  }
  double quick = 1e300;
  double strict = 1e300;
  std::vector<std::vector<int64_t>> counts(files.size());
  std::size_t warned = 0;
  std::size_t warnings = 0;
  for (int round = 0; round < rounds; ++round) {
    COggQuickCheck check;
    auto start = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i) counts[i] = QuickRun(check, files[i]);
    quick = std::min(quick, Seconds(start));

    warned = 0;
    warnings = 0;
    start = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i) {
      const StructureReport report =
          CheckFileStructure(files[i], counts[i].empty() ? nullptr : &counts[i]);
      if (!report.warnings.empty()) ++warned;
      warnings += report.warnings.size();
    }
    strict = std::min(strict, Seconds(start));
  }
  const double ratio = (quick + strict) / quick;
  std::printf(
      "%zu files: quick %.3f s, structure check %.3f s (%.3f ms per file), "
      "(quick + strict) / quick = %.3f (limit %.2f); %zu files with %zu warnings\n",
      files.size(), quick, strict, 1000.0 * strict / static_cast<double>(files.size()), ratio,
      limit, warned, warnings);
  return ratio <= limit ? 0 : 1;
}
