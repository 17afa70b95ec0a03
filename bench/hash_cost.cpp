// What the audio hash costs the full and the quick check, in-process, over the given files:
// each round checks every file with the bare check (COggCheck, COggQuickCheck: no hash) and
// with the check a scan uses (CStrictCheck of it, not strict: the hash on), the best round
// of each counts, in processor time. Prints the times and with / without for each, and fails when a
// file has no hash or the two disagree on a verdict.
//
//   hash-cost [--rounds N] [--only full|quick] FILE...   (--only: one of them, for perf)

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "filetest/codecs/ogg_check.h"
#include "filetest/codecs/quick_check.h"
#include "filetest/rules/strict_check.h"

namespace {

struct Verdict {
  std::string text;
  int64_t samples = 0;
  bool hashed = false;
  bool operator==(const Verdict& other) const {
    return text == other.text && samples == other.samples;
  }
};

template <typename Check>
Verdict CheckFile(Check& check, const char* path) {
  Verdict v;
  if (!check.Open(path)) return {check.m_strError, 0};
  int r = 0;
  while ((r = check.DecodeStep()) > 0) v.samples += r;
  v.text = r == 0 ? "OK" : check.m_strError;
  if constexpr (requires { check.AudioHash(); }) v.hashed = check.AudioHash().has_value();
  return v;
}

// The processor time this process spent: on a machine shared with other work, wall-clock
// time measures the others too.
double ProcessSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <typename Check>
double TimeAll(const std::vector<const char*>& files, std::vector<Verdict>& verdicts) {
  Check check;
  verdicts.clear();
  const double start = ProcessSeconds();
  for (const char* file : files) verdicts.push_back(CheckFile(check, file));
  return ProcessSeconds() - start;
}

// Times `Bare` against `Hashed`, alternating rounds; false when they disagree.
template <typename Bare, typename Hashed>
bool Compare(const char* name, const std::vector<const char*>& files, int rounds) {
  double bare = 1e300;
  double hashed = 1e300;
  std::vector<Verdict> bareVerdicts;
  std::vector<Verdict> hashedVerdicts;
  for (int round = 0; round < rounds; ++round) {
    bare = std::min(bare, TimeAll<Bare>(files, bareVerdicts));
    hashed = std::min(hashed, TimeAll<Hashed>(files, hashedVerdicts));
  }
  bool ok = true;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!(bareVerdicts[i] == hashedVerdicts[i]) ||
        hashedVerdicts[i].hashed != (hashedVerdicts[i].text == "OK")) {
      std::fprintf(stderr, "hash-cost: %s: %s differs or lacks its hash\n", name, files[i]);
      ok = false;
    }
  }
  std::printf("%s: without %.4f s, with %.4f s, with / without %.4f\n", name, bare, hashed,
              hashed / bare);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  std::string only;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: hash-cost [--rounds N] [--only full|quick] FILE...\n");
    return 2;
  }
  const bool full =
      only == "quick" || Compare<COggCheck, CStrictCheck<COggCheck>>("full", files, rounds);
  const bool quick = only == "full" ||
                     Compare<COggQuickCheck, CStrictCheck<COggQuickCheck>>("quick", files, rounds);
  return full && quick ? 0 : 1;
}
