// The quick check against the full one, in-process, over the given files: each round
// checks every file with one and then the other, the best round of each counts. Prints
// both times and full / quick, and fails when the two disagree on any file.
//
//   quick-vs-full [--rounds N] FILE...

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "filetest/codecs/ogg_check.h"
#include "filetest/codecs/quick_check.h"

namespace {

struct Verdict {
  std::string text;
  int64_t samples = 0;
  int64_t steps = 0;
  bool operator==(const Verdict&) const = default;
};

template <typename Check>
Verdict CheckFile(Check& check, const char* path) {
  Verdict v;
  if (!check.Open(path)) return {check.m_strError, 0, 0};
  int r = 0;
  while ((r = check.DecodeStep()) > 0) {
    v.samples += r;
    ++v.steps;
  }
  v.text = r == 0 ? "OK" : check.m_strError;
  return v;
}

template <typename Check>
double TimeAll(const std::vector<const char*>& files, std::vector<Verdict>& verdicts) {
  Check check;
  verdicts.clear();
  const auto start = std::chrono::steady_clock::now();
  for (const char* file : files) verdicts.push_back(CheckFile(check, file));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: quick-vs-full [--rounds N] FILE...\n");
    return 2;
  }
  if (!QuickCheckSupported()) {
    std::fprintf(stderr, "quick-vs-full: %s is not a libvorbis the quick check knows\n",
                 VorbisLibraryVersion().c_str());
    return 2;
  }
  double full = 1e300;
  double quick = 1e300;
  std::vector<Verdict> fullVerdicts;
  std::vector<Verdict> quickVerdicts;
  for (int round = 0; round < rounds; ++round) {
    full = std::min(full, TimeAll<COggCheck>(files, fullVerdicts));
    quick = std::min(quick, TimeAll<COggQuickCheck>(files, quickVerdicts));
  }
  int differ = 0;
  int64_t samples = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    samples += fullVerdicts[i].samples;
    if (fullVerdicts[i] == quickVerdicts[i]) continue;
    ++differ;
    std::printf("DIFFER %s: full %s (%lld samples), quick %s (%lld samples)\n", files[i],
                fullVerdicts[i].text.c_str(), static_cast<long long>(fullVerdicts[i].samples),
                quickVerdicts[i].text.c_str(), static_cast<long long>(quickVerdicts[i].samples));
  }
  std::printf("%zu files, %lld samples per channel, %d differ\n", files.size(),
              static_cast<long long>(samples), differ);
  std::printf("full %.3f s, quick %.3f s, full / quick %.1f\n", full, quick, full / quick);
  return differ == 0 ? 0 : 1;
}
