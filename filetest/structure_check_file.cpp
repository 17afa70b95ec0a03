#include "filetest/structure_check_file.h"

#include <ogg/ogg.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "filetest/ogg_pages.h"
#include "filetest/ogg_structure_check.h"
#include "filetest/quick_check.h"

namespace {

constexpr long kReadSize = 65536;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

StructureReport CheckFileStructure(const std::filesystem::path& path,
                                   const std::vector<int64_t>* decodedPerLink) {
  StructureReport report;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    report.error = std::strerror(errno);
    return report;
  }
  COggStructureCheck check;
  COggSync sync;
  const auto read = [&](char* buffer, long size) {
    return static_cast<long>(std::fread(buffer, 1, static_cast<std::size_t>(size), file.get()));
  };
  const int64_t offset = ForEachOggPage(sync, kReadSize, read, [&](ogg_page& page, int64_t at) {
    check.OnPage(page, at);
    return true;
  });
  if (std::ferror(file.get()) != 0) {
    report.error = "read error";
    return report;
  }
  // The unsynced tail is still in the sync buffer.
  check.Finish(offset + sync.Unsynced(), decodedPerLink);
  report.read = true;
  report.warnings = check.Warnings();
  report.suppressed = check.Suppressed();
  return report;
}

std::optional<std::vector<int64_t>> QuickDecodedPerLink(const std::filesystem::path& path) {
  COggQuickCheck check;
  if (!check.Open(path)) return std::nullopt;
  std::vector<int64_t> perLink(static_cast<std::size_t>(check.Vf().links), 0);
  for (;;) {
    const int result = check.DecodeStep();
    if (result < 0) return std::nullopt;
    if (result == 0) return perLink;
    // A read hands out samples of one link only, the one it is in when it returns.
    const auto link = static_cast<std::size_t>(check.Vf().current_link);
    if (link < perLink.size()) perLink[link] += result;
  }
}

StructureReport CheckFileStructureWithQuickDecode(const std::filesystem::path& path) {
  const std::optional<std::vector<int64_t>> decoded = QuickDecodedPerLink(path);
  return CheckFileStructure(path, decoded ? &*decoded : nullptr);
}
