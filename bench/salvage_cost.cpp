// What a salvage costs against the full check that found the damage, in-process. Each
// given file (clean, real encoder output) is damaged by page surgery: its middle page is
// dropped. Each round runs the full check of every codec (CAnyOggCheck) over the damaged
// files, then salvages each (the repair, the check of the repair with the format rules on,
// the rename). Processor time, the best round of each, counts. Prints both times and salvage /
// check, and exits 1 when that is above the limit (3 unless --limit says otherwise) or a file was
// not salvaged.
//
//   salvage-cost [--rounds N] [--limit X] FILE...

#include <ogg/ogg.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "filetest/codecs/any_ogg_check.h"
#include "salvage/salvage_file.h"

namespace {

// Processor time of this process: the machine's other work does not count.
struct Clock {
  using time_point = std::clock_t;
  static time_point now() { return std::clock(); }
};

double Seconds(Clock::time_point since) {
  return static_cast<double>(Clock::now() - since) / CLOCKS_PER_SEC;
}

// The file with its middle page left out.
std::vector<char> WithoutMiddlePage(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::pair<std::size_t, std::size_t>> pages;
  ogg_sync_state sync;
  ogg_sync_init(&sync);
  char* buffer = ogg_sync_buffer(&sync, static_cast<long>(bytes.size()));
  std::memcpy(buffer, bytes.data(), bytes.size());
  ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
  std::size_t offset = 0;
  for (;;) {
    ogg_page page{};
    const long more = ogg_sync_pageseek(&sync, &page);
    if (more == 0) break;
    const auto size = static_cast<std::size_t>(more > 0 ? more : -more);
    if (more > 0) pages.emplace_back(offset, size);
    offset += size;
  }
  ogg_sync_clear(&sync);
  if (pages.size() < 3) return bytes;
  const auto [at, size] = pages[pages.size() / 2];
  bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
              bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  double limit = 3;
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
    std::fprintf(stderr, "usage: salvage-cost [--rounds N] [--limit X] FILE...\n");
    return 2;
  }
  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("salvage-cost-" + std::to_string(::getpid()));
  std::filesystem::create_directories(work / "out");
  std::vector<std::filesystem::path> damaged;
  for (std::size_t i = 0; i < files.size(); ++i) {
    damaged.push_back(work / (std::to_string(i) + ".ogg"));
    const std::vector<char> bytes = WithoutMiddlePage(files[i]);
    std::ofstream(damaged.back(), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  double check = 1e300;
  double salvage = 1e300;
  int notSalvaged = 0;
  for (int round = 0; round < rounds; ++round) {
    auto start = Clock::now();
    for (const std::filesystem::path& file : damaged) {
      CAnyOggCheck any;
      if (!any.Open(file)) continue;
      while (any.DecodeStep() > 0) {
      }
    }
    check = std::min(check, Seconds(start));
    notSalvaged = 0;
    start = Clock::now();
    for (const std::filesystem::path& file : damaged) {
      const SalvageResult result =
          SalvageFile({file, work / "out" / file.filename(), std::nullopt, true, {}, {}});
      if (result.status != SalvageResult::Status::kSalvaged) {
        std::fprintf(stderr, "%s: not salvaged: %s\n", file.c_str(), result.reason.c_str());
        ++notSalvaged;
      }
    }
    salvage = std::min(salvage, Seconds(start));
  }
  std::filesystem::remove_all(work);
  const double ratio = salvage / check;
  std::printf(
      "%zu files, a middle page lost in each: full check %.3f s, salvage %.3f s, "
      "salvage / check = %.2f (limit %.2f)%s\n",
      files.size(), check, salvage, ratio, limit, notSalvaged > 0 ? "; some not salvaged" : "");
  return ratio <= limit && notSalvaged == 0 ? 0 : 1;
}
