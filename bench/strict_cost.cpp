// What --strict adds to --quick, in-process, over the given files. Each round runs the
// quick check over every file, then the quick check as --quick --strict runs it
// (CStrictCheck: the quick loop hands its pages on, the pages read while opening are read
// once more), then the structure check alone over the same files twice:
//   fed:        handed the pages already read (as the quick check's page loop would hand
//               them on), with the per-link counts the quick check decoded: the cost the
//               checks add when they run where the pages are read;
//   standalone: its own read of the file through libogg's sync (CRC included): the cost
//               of a second pass over the file.
// The best round of each counts. Prints the times, strict quick / quick, and
// (quick + strict) / quick for the other two, and exits 1 when the first, the one
// --quick --strict is held to, is above the limit (1.15 unless --limit says otherwise).
//
// With --all-codecs it times what --all-codecs --quick runs (CAnyOggQuickCheck: Vorbis
// without synthesis, Opus and FLAC in full) without and with the rules, over files of any
// codec, and holds strict / plain to the limit.
//
//   strict-cost [--rounds N] [--limit X] [--all-codecs] FILE...

#include <ogg/ogg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "filetest/codecs/any_ogg_check.h"
#include "filetest/codecs/quick_check.h"
#include "filetest/rules/ogg_structure_check.h"
#include "filetest/rules/strict_check.h"
#include "filetest/rules/structure_check_file.h"

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

// A file's bytes and where each whole page starts, as a page loop meets them.
struct PagedFile {
  std::vector<unsigned char> bytes;
  std::vector<std::pair<int64_t, ogg_page>> pages;
};

PagedFile ReadPages(const char* path) {
  PagedFile file;
  std::ifstream in(path, std::ios::binary);
  file.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  ogg_sync_state sync;
  ogg_sync_init(&sync);
  char* buffer = ogg_sync_buffer(&sync, static_cast<long>(file.bytes.size()));
  std::memcpy(buffer, file.bytes.data(), file.bytes.size());
  ogg_sync_wrote(&sync, static_cast<long>(file.bytes.size()));
  int64_t offset = 0;
  for (;;) {
    ogg_page page{};
    const long more = ogg_sync_pageseek(&sync, &page);
    if (more == 0) break;
    if (more > 0) {
      // Point into the file's own bytes, which outlive the sync buffer.
      const auto at = static_cast<std::size_t>(offset);
      page.header = file.bytes.data() + at;
      page.body = file.bytes.data() + at + static_cast<std::size_t>(page.header_len);
      file.pages.emplace_back(offset, page);
    }
    offset += more > 0 ? more : -more;
  }
  ogg_sync_clear(&sync);
  return file;
}

// Every file to its end through `check`, as the helper of every codec runs it.
void AnyRun(CAnyOggCheck& check, const std::vector<const char*>& files) {
  for (const char* file : files) {
    if (!check.Open(file)) continue;
    while (check.DecodeStep() > 0) {
    }
  }
}

int AllCodecs(const std::vector<const char*>& files, int rounds, double limit) {
  double plain = 1e300;
  double strict = 1e300;
  std::size_t warnings = 0;
  for (int round = 0; round < rounds; ++round) {
    CAnyOggQuickCheck check;
    auto start = Clock::now();
    AnyRun(check, files);
    plain = std::min(plain, Seconds(start));
    check.SetStrict(true);
    start = Clock::now();
    AnyRun(check, files);
    strict = std::min(strict, Seconds(start));
    warnings = check.Warnings().size();
  }
  const double ratio = strict / plain;
  std::printf(
      "%zu files, every codec: --quick %.3f s, --quick --strict %.3f s, strict / plain = %.3f "
      "(limit %.2f); %zu warnings in the last file\n",
      files.size(), plain, strict, ratio, limit, warnings);
  return ratio <= limit ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  double limit = 1.15;
  std::vector<const char*> files;
  bool allCodecs = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--all-codecs") == 0) {
      allCodecs = true;
      continue;
    }
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--limit") == 0 && i + 1 < argc) {
      limit = std::atof(argv[++i]);
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: strict-cost [--rounds N] [--limit X] [--all-codecs] FILE...\n");
    return 2;
  }
  if (allCodecs) return AllCodecs(files, rounds, limit);
  std::vector<PagedFile> paged;
  for (const char* file : files) paged.push_back(ReadPages(file));

  double quick = 1e300;
  double hooked = 1e300;
  double fed = 1e300;
  double standalone = 1e300;
  std::vector<std::vector<int64_t>> counts(files.size());
  std::size_t warned = 0;
  std::size_t warnings = 0;
  for (int round = 0; round < rounds; ++round) {
    COggQuickCheck check;
    auto start = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i) counts[i] = QuickRun(check, files[i]);
    quick = std::min(quick, Seconds(start));

    CStrictCheck<COggQuickCheck> strict;
    strict.SetStrict(true);
    start = Clock::now();
    for (const char* file : files) {
      if (!strict.Open(file)) continue;
      while (strict.DecodeStep() > 0) {
      }
    }
    hooked = std::min(hooked, Seconds(start));

    warned = 0;
    warnings = 0;
    COggStructureCheck structure;
    start = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i) {
      structure.Reset();
      for (const auto& [offset, page] : paged[i].pages) structure.OnPage(page, offset);
      structure.Finish(static_cast<int64_t>(paged[i].bytes.size()),
                       counts[i].empty() ? nullptr : &counts[i]);
      if (!structure.Warnings().empty()) ++warned;
      warnings += structure.Warnings().size();
    }
    fed = std::min(fed, Seconds(start));

    start = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i) {
      CheckFileStructure(files[i], counts[i].empty() ? nullptr : &counts[i]);
    }
    standalone = std::min(standalone, Seconds(start));
  }
  const double ratio = hooked / quick;
  std::printf(
      "%zu files: quick %.3f s; quick and strict as --quick --strict runs them %.3f s, "
      "strict quick / quick = %.3f (limit %.2f); ",
      files.size(), quick, hooked, ratio, limit);
  std::printf(
      "structure check alone, fed the pages %.3f s (%.3f ms per file), "
      "(quick + strict) / quick = %.3f; standalone with its own read %.3f s, "
      "%.3f; %zu files with %zu warnings\n",
      fed, 1000.0 * fed / static_cast<double>(files.size()), (quick + fed) / quick, standalone,
      (quick + standalone) / quick, warned, warnings);
  return ratio <= limit ? 0 : 1;
}
