#include "filetest/rules/strict_check.h"

#include <algorithm>
#include <cstring>

#include "filetest/bytes/bounded_file.h"
#include "filetest/codecs/ogg_check.h"
#include "platform/path_bytes.h"
#include "text/path_text.h"

void CStructureFeed::Reset() {
  ResetReading();
  m_bJudged = false;
  m_perLink.clear();
}

void CStructureFeed::ResetReading() {
  m_check.Reset();
  ResetPass();
}

void CStructureFeed::OnOpen(NativeFile file, int64_t viewEnd, int64_t size) {
  ResetReading();
  COggPagePass::OnOpen(file, viewEnd, size);
  m_nSize = size;
}

void CStructureFeed::Finish(const std::vector<int64_t>* decodedPerLink) {
  if (!Passing()) return;
  CatchUp(ViewEnd());
  // What lies past the view is zeros, which belong to no page either.
  m_check.Finish(m_nSize, decodedPerLink);
  EndPass();
}

void CStructureFeed::Opened(std::size_t links, int64_t readTo) {
  m_perLink.assign(links, 0);
  CatchUp(readTo);
}

void CStructureFeed::Refused(const std::filesystem::path& path, std::string_view reason) {
  if (m_bJudged || IsOpenFileReason(reason)) return;
  ResetReading();
  CReadFile file;
  if (const std::error_code refused = file.OpenRegular(PathToUtf8(path))) return;
  OnOpen(file.Native(), OggViewEnd(file.Native(), file.Size()), file.Size());
  Finish(nullptr);
  m_bJudged = true;
}

void CStructureFeed::NotDecoded(std::size_t link) {
  if (link < m_perLink.size()) m_perLink[link] = kNotDecoded;
}

void CStructureFeed::Stepped(int result, std::size_t link) {
  if (m_bJudged) return;
  if (result > 0) {
    if (link < m_perLink.size()) m_perLink[link] += result;
    return;
  }
  Finish(result == 0 ? &m_perLink : nullptr);
  m_bJudged = true;
}

void CStructureFeed::FinishUndecoded() {
  Finish(nullptr);
  m_bJudged = true;
}

std::vector<StructureWarning> CStructureFeed::Warnings() const {
  return m_bJudged ? m_check.Warnings() : std::vector<StructureWarning>{};
}

int64_t CStructureFeed::Suppressed() const { return m_bJudged ? m_check.Suppressed() : 0; }
