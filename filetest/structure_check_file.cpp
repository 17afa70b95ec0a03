#include "filetest/structure_check_file.h"

#include <ogg/ogg.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "filetest/ogg_structure_check.h"
#include "filetest/quick_check.h"

namespace {

constexpr long kReadSize = 65536;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

class CSync {
 public:
  CSync() { ogg_sync_init(&m_sync); }
  ~CSync() { ogg_sync_clear(&m_sync); }
  CSync(const CSync&) = delete;
  CSync& operator=(const CSync&) = delete;
  ogg_sync_state* operator->() { return &m_sync; }
  ogg_sync_state* get() { return &m_sync; }

 private:
  ogg_sync_state m_sync{};
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
  CSync sync;
  int64_t offset = 0;
  for (;;) {
    ogg_page page{};
    const long more = ogg_sync_pageseek(sync.get(), &page);
    if (more > 0) {
      check.OnPage(page, offset);
      offset += more;
    } else if (more < 0) {
      offset -= more;
    } else {
      char* buffer = ogg_sync_buffer(sync.get(), kReadSize);
      const std::size_t bytes =
          std::fread(buffer, 1, static_cast<std::size_t>(kReadSize), file.get());
      if (bytes == 0) break;
      ogg_sync_wrote(sync.get(), static_cast<long>(bytes));
    }
  }
  if (std::ferror(file.get()) != 0) {
    report.error = "read error";
    return report;
  }
  // The unsynced tail is still in the sync buffer.
  check.Finish(offset + (sync->fill - sync->returned), decodedPerLink);
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
