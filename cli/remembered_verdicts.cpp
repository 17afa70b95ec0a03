#include "cli/remembered_verdicts.h"

#include <utility>

#include "filetest/codecs/library_version.h"
#include "platform/path_bytes.h"

const CRememberedVerdicts::Decision& CRememberedVerdicts::Decide(
    std::size_t index, const std::filesystem::path& path) {
  const auto known = m_decisions.find(index);
  if (known != m_decisions.end()) return known->second;
  Decision d;
  d.key = PathKey(path);
  d.identity = IdentityOf(PathToUtf8(path), m_statuses);
  const Reach reach = ReachOf(m_mode);
  d.last = m_db.Recorded(d.key, reach);
  if (m_skipDays) {
    const int64_t nowMs = UnixMsNow();
    const auto stands = [&](const std::shared_ptr<const StoredRecord>& r) {
      return r && d.identity &&
             CanReuse(*r, *d.identity, CheckKindOf(m_mode), *m_skipDays, nowMs, m_mode.strict) &&
             FitsReach(*r, reach);
    };
    if (stands(d.last)) {
      // A file whose record stands is not recorded again: the record is all it needs.
      d.stands = std::exchange(d.last, nullptr);
    } else if (auto other = m_db.Recorded(
                   d.key, reach == Reach::kVorbis ? Reach::kAllCodecs : Reach::kVorbis);
               stands(other)) {
      d.stands = std::move(other);
    }
  }
  d.reuse = d.stands != nullptr;
  // The file is read next, by its whole path: the folder held open must not outlive the
  // moment, nor take a descriptor the check may need.
  if (!d.reuse) m_statuses.Release();
  return m_decisions.emplace(index, std::move(d)).first->second;
}

const CRememberedVerdicts::Decision* CRememberedVerdicts::Reused(std::size_t index) const {
  const auto d = m_decisions.find(index);
  return d != m_decisions.end() && d->second.reuse ? &d->second : nullptr;
}

namespace {

// The sound of a file that changed is compared with what the last check of the same reach
// heard, where both were heard: a tag edit keeps it, a re-encode does not. An unchanged file
// is not compared: its bytes are the ones checked.
std::optional<int64_t> AudioChangedFrom(const StoredRecord* last, const FileIdentity& now,
                                        const FileVerdict& v) {
  if (!last || !last->audioHash || !v.audioHash || Unchanged(last->identity, now)) {
    return std::nullopt;
  }
  if (*last->audioHash == *v.audioHash) return std::nullopt;
  return last->checkedAtMs;
}

}  // namespace

ResultNotes CRememberedVerdicts::Record(std::size_t index, const FileResult& result) {
  const FileVerdict& v = result.verdict;
  // A cancelled file and a fault of the run say nothing about the file; a file in no codec
  // the check knows is what it is.
  if (v.status != FileVerdict::Status::kOk && v.status != FileVerdict::Status::kError &&
      !v.unsupported) {
    return {};
  }
  const Decision& d = Decide(index, result.path);
  if (d.reuse || !d.identity) return {};
  ResultNotes notes;
  notes.audioChangedFromMs = AudioChangedFrom(d.last.get(), *d.identity, v);
  VerdictRecord r;
  r.path = d.key;
  r.identity = *d.identity;
  r.verdict = v.IsError() ? StoredVerdict::kError : StoredVerdict::kOk;
  if (v.unsupported) r.verdict = StoredVerdict::kUnsupported;
  if (r.verdict != StoredVerdict::kOk) r.reason = v.reason;
  if (v.IsError() && v.opened) r.position = v.position;
  if (v.opened) r.length = v.length;
  r.kind = CheckKindOf(m_mode);
  r.reach = ReachOf(m_mode);
  r.skippedLinks = v.skippedLinks;
  r.md5Unverifiable = v.md5Unverifiable;
  r.checkedAtMs = UnixMsNow();
  r.libraryVersion = VorbisLibraryVersion();
  if (!v.codec.empty()) {
    r.codec = v.codec;
    // --quick holds for files of Vorbis only (and for what is no Ogg stream, which goes
    // to the Vorbis check): every other file was checked in full.
    if (v.codec != "vorbis" && v.codec != "none") r.kind = CheckKind::kFull;
  }
  // A check that did not finish (a crash, a limit) did not hold the file to the rules.
  r.strict = m_mode.strict && v.warningsKnown;
  for (const FileVerdict::Warning& w : v.warnings) {
    r.warnings.push_back({w.name, w.text, w.offset, w.position});
  }
  r.warningsNotListed = v.warningsNotListed;
  r.audioHash = v.audioHash;
  r.audioChangedFromMs = notes.audioChangedFromMs;
  m_db.Record(r);
  // Rot shows as a fault found while decoding; a file that no longer opens, or one that
  // went past the decoder's limits, says nothing of the bytes that were OK.
  if (!IsNewlyDamaged(d.last ? std::optional(*d.last) : std::nullopt, *d.identity,
                      v.IsDecodingFault())) {
    return notes;
  }
  m_newly.push_back({result.path, d.last->checkedAtMs});
  notes.wasOkAtMs = d.last->checkedAtMs;
  return notes;
}

bool CRememberingTester::Open(const ListedFile& file) {
  const auto& d = m_remembered.Decide(file.index, file.path);
  m_bReplaying = d.reuse;
  if (!m_bReplaying) return m_inner->Open(file);
  // The record is played as the answers of the check it stands for, to the one builder of
  // verdicts, so that it reads as the fresh check did.
  const StoredRecord& r = *d.stands;
  m_replayed.Reset();
  m_breaches.clear();
  if (m_remembered.AllCodecs()) {
    m_replayed.Take({.type = HelperMessage::kCodec,
                     .value = r.md5Unverifiable ? kCodecMd5Missing : 0,
                     .text = r.codec,
                     .detail = r.skippedLinks});
  }
  // A strict record read for a check that is not strict tells nothing of the rules.
  if (m_remembered.Strict()) {
    for (const StoredWarning& w : r.warnings) {
      m_breaches.push_back({HelperMessage::kWarning, 0, w.offset, w.position, w.name, w.text});
    }
    m_breaches.push_back({.type = HelperMessage::kWarningsEnd, .samples = r.warningsNotListed});
  }
  const bool opened = r.length.has_value();
  const bool error = r.verdict == StoredVerdict::kError;
  // A file that did not open has its breaches before its answer, one that did before its
  // last step.
  if (!opened) TakeBreaches();
  if (r.audioHash) {
    m_breaches.push_back({.type = HelperMessage::kAudioHash,
                          .detail = std::string(r.audioHash->begin(), r.audioHash->end())});
  }
  m_replayed.Take(
      {HelperMessage::kOpened, opened, 0, r.length.value_or(0), opened ? std::string() : r.reason});
  m_last = {HelperMessage::kStep, error ? -1 : 0, 0, r.position.value_or(r.length.value_or(0)),
            error ? r.reason : std::string()};
  return opened;
}

void CRememberingTester::TakeBreaches() {
  for (const HelperMessage& breach : m_breaches) m_replayed.Take(breach);
}

int64_t CRememberingTester::DecodeStep() {
  if (!m_bReplaying) return m_inner->DecodeStep();
  TakeBreaches();
  m_replayed.Take(m_last);
  return m_replayed.StepResult();
}
