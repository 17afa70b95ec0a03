#include "salvage/salvage_file.h"

#include <fstream>
#include <functional>
#include <system_error>
#include <utility>

#include "filetest/codecs/any_ogg_check.h"
#include "filetest/rules/structure_warning.h"
#include "platform/file_status.h"
#include "platform/path_bytes.h"
#include "platform/read_file.h"
#include "text/position_text.h"

namespace {

// A salvage's pages into its temporary file.
class CFileSink final : public IPageSink {
 public:
  CFileSink(const std::filesystem::path& path, std::function<void()> onFirstWrite)
      : m_file(path, std::ios::binary | std::ios::out | std::ios::trunc),
        m_onFirstWrite(std::move(onFirstWrite)) {}
  bool IsOpen() const { return m_file.is_open(); }
  bool Write(const ogg_page& page) override {
    if (m_onFirstWrite) std::exchange(m_onFirstWrite, nullptr)();
    m_file.write(reinterpret_cast<const char*>(page.header), page.header_len);
    m_file.write(reinterpret_cast<const char*>(page.body), page.body_len);
    m_nOffset += page.header_len + page.body_len;
    return Good();
  }
  int64_t Offset() const override { return m_nOffset; }
  bool Rewrite(int64_t offset, const ogg_page& page) override {
    m_file.seekp(offset);
    m_file.write(reinterpret_cast<const char*>(page.header), page.header_len);
    m_file.write(reinterpret_cast<const char*>(page.body), page.body_len);
    m_file.seekp(m_nOffset);
    return Good();
  }
  bool Good() {
    if (!m_file.good()) m_bFailed = true;
    return !m_bFailed;
  }
  bool Close() {
    m_file.close();
    return !m_bFailed && !m_file.fail();
  }

 private:
  std::ofstream m_file;
  std::function<void()> m_onFirstWrite;
  int64_t m_nOffset = 0;
  bool m_bFailed = false;
};

SalvageResult Result(SalvageResult::Status status, std::string reason, RepairOutcome repair = {}) {
  return SalvageResult{status, std::move(reason), std::move(repair)};
}

bool SameStatus(const FileStatus& a, const FileStatus& b) {
  return a.device == b.device && a.index == b.index && a.size == b.size &&
         a.modifiedNs == b.modifiedNs && a.changedNs == b.changedNs;
}

// What the check says of the repair: empty when it passes the check and every format rule.
std::string CheckRepair(const std::filesystem::path& path) {
  CAnyOggCheck check;
  check.SetStrict(true);
  if (!check.Open(path)) return "it does not open: " + check.m_strError;
  int result = 0;
  while ((result = check.DecodeStep()) > 0) {
  }
  if (result < 0) return "it does not pass the check: " + check.m_strError;
  if (!check.Checked()) return "it holds no stream in a codec Harrowbit checks";
  const std::vector<StructureWarning> warnings = check.Warnings();
  if (!warnings.empty()) return "it breaks a format rule: " + DescribeWarning(warnings.front());
  return {};
}

}  // namespace

SalvageResult SalvageFile(const SalvageRequest& request) {
  using Status = SalvageResult::Status;
  const std::string source = PathToUtf8(request.source);
  FileStatus before{};
  std::error_code error;
  CReadFile file;
  // The file read is the one opened, whatever its path names meanwhile.
  if (const std::error_code refused = file.OpenRegular(source);
      refused || !StatusOfOpen(file.Native(), before))
    return Result(Status::kNotSalvaged, "the file cannot be read");
  if (request.checkedAs && !SameStatus(*request.checkedAs, before))
    return Result(Status::kNotSalvaged, "the file changed after it was checked");
  std::filesystem::path folder = request.destination.parent_path();
  FileStatus there{};
  if (StatusOf(PathToUtf8(request.destination), there, error)) {
    // A salvage folder reached through a link can lead back to the damaged file itself:
    // the original is never written, --force or not.
    if (there.device == before.device && there.index == before.index)
      return Result(Status::kNotSalvaged,
                    PathToUtf8(request.destination) + " is the damaged file itself");
    if (!request.force)
      return Result(Status::kNotSalvaged,
                    PathToUtf8(request.destination) + " is there already; --force replaces it");
  }
  if (!folder.empty() && (std::filesystem::create_directories(folder, error), error))
    return Result(Status::kNotWritten,
                  "cannot make the folder " + PathToUtf8(folder) + ": " + error.message());
  CReadFile twin;
  const bool twinOpen =
      request.otherCopy && twin.OpenRegular(PathToUtf8(*request.otherCopy)) == std::error_code();

  std::filesystem::path temporary = request.destination;
  temporary += ".salvaging";
  // What an earlier run left under that name goes first: written through, a link left
  // there would write its target, which may be the original.
  std::filesystem::remove(temporary, error);
  CFileSink sink(temporary, request.onFirstWrite);
  if (!sink.IsOpen()) return Result(Status::kNotWritten, "cannot write " + PathToUtf8(temporary));
  RepairOutcome repair = RepairOgg(file, twinOpen ? &twin : nullptr, sink);
  const bool written = sink.Close();
  auto fail = [&](Status status, std::string reason) {
    std::filesystem::remove(temporary, error);
    return Result(status, std::move(reason), repair);
  };
  if (!written) return fail(Status::kNotWritten, "cannot write " + PathToUtf8(temporary));
  FileStatus after{};
  if (!StatusOfOpen(file.Native(), after) || !SameStatus(before, after))
    return fail(Status::kNotSalvaged, kChangedWhileRead);
  if (!repair.whole) return fail(Status::kNotSalvaged, repair.reason);
  if (const std::string refused = CheckRepair(temporary); !refused.empty())
    return fail(Status::kNotSalvaged, "the repair was not offered: " + refused);
  std::filesystem::rename(temporary, request.destination, error);
  if (error) {
    return fail(Status::kNotWritten,
                "cannot write " + PathToUtf8(request.destination) + ": " + error.message());
  }
  return Result(Status::kSalvaged, {}, repair);
}

std::string DescribeSalvage(const RepairOutcome& repair) {
  bool openEnded = false;
  for (const LostRange& range : repair.lost) openEnded = openEnded || range.openEnded;
  std::string text = "kept " + FormatPosition(repair.keptSeconds) + " of " +
                     (openEnded ? "at least " : "") + FormatPosition(repair.totalSeconds);
  for (std::size_t i = 0; i < repair.lost.size(); ++i) {
    text += i == 0 ? "; lost " : ", ";
    const LostRange& range = repair.lost[i];
    text += FormatPosition(range.from) + "\u2013" +
            (range.openEnded ? std::string("an end not known") : FormatPosition(range.to));
  }
  return text;
}
