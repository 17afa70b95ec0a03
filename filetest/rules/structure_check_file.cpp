#include "filetest/rules/structure_check_file.h"

#include <ogg/ogg.h>

#include "filetest/bytes/ogg_pages.h"
#include "filetest/codecs/quick_check.h"
#include "filetest/rules/ogg_structure_check.h"
#include "platform/path_bytes.h"
#include "platform/read_file.h"

namespace {

constexpr long kReadSize = 65536;

}  // namespace

StructureReport CheckFileStructure(const std::filesystem::path& path,
                                   const std::vector<int64_t>* decodedPerLink) {
  StructureReport report;
  CReadFile file;
  if (const std::error_code error = file.OpenRegular(PathToUtf8(path))) {
    report.error = error.message();
    return report;
  }
  COggStructureCheck check;
  COggSync sync;
  int64_t next = 0;
  bool failed = false;
  const auto read = [&](char* buffer, long size) -> long {
    const int64_t got = ReadAt(file.Native(), buffer, static_cast<std::size_t>(size), next);
    if (got < 0) {
      failed = true;
      return 0;
    }
    next += got;
    return static_cast<long>(got);
  };
  const int64_t offset = ForEachOggPage(sync, kReadSize, read, [&](ogg_page& page, int64_t at) {
    check.OnPage(page, at);
    return true;
  });
  if (failed) {
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
