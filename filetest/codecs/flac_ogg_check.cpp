#include "filetest/codecs/flac_ogg_check.h"

#include <FLAC/stream_decoder.h>

#include <algorithm>

#include "filetest/bytes/ogg_links.h"
#include "filetest/codecs/ogg_check.h"
#include "text/position_text.h"

namespace {

CFlacOggCheck& CheckOf(void* client) { return *static_cast<CFlacOggCheck*>(client); }

FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                   void* client) {
  const long got = CheckOf(client).Read(buffer, *bytes);
  if (got < 0) {
    *bytes = 0;
    return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  }
  *bytes = static_cast<size_t>(got);
  return got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                  : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus Seek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* client) {
  if (offset > static_cast<FLAC__uint64>(INT64_MAX)) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
  return CheckOf(client).Range().Seek(static_cast<int64_t>(offset), SEEK_SET)
             ? FLAC__STREAM_DECODER_SEEK_STATUS_OK
             : FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
}

FLAC__StreamDecoderTellStatus Tell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* client) {
  *offset = static_cast<FLAC__uint64>(CheckOf(client).Range().pos);
  return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus Length(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                       void* client) {
  *length = static_cast<FLAC__uint64>(CheckOf(client).Range().Size());
  return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool Eof(const FLAC__StreamDecoder*, void* client) {
  const COggRange& range = CheckOf(client).Range();
  return range.pos >= range.Size();
}

FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                     const FLAC__int32* const[], void* client) {
  CheckOf(client).OnFrame(frame->header.blocksize);
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* client) {
  if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
  const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
  const bool md5Missing = std::all_of(std::begin(info.md5sum), std::end(info.md5sum),
                                      [](FLAC__byte b) { return b == 0; });
  CheckOf(client).OnStreamInfo(info.sample_rate, info.total_samples, md5Missing);
}

const char* ErrorName(FLAC__StreamDecoderErrorStatus status) {
  switch (status) {
    case FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC: return "FLAC_LOST_SYNC";
    case FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER: return "FLAC_BAD_HEADER";
    case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH: return "FLAC_FRAME_CRC_MISMATCH";
    case FLAC__STREAM_DECODER_ERROR_STATUS_UNPARSEABLE_STREAM: return "FLAC_UNPARSEABLE_STREAM";
    default: return "FLAC_BAD_METADATA";
  }
}

void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* client) {
  CheckOf(client).OnError(ErrorName(status));
}

}  // namespace

CFlacOggCheck::CFlacOggCheck() : m_pDecoder(FLAC__stream_decoder_new()) {}

CFlacOggCheck::~CFlacOggCheck() { Close(); }

bool CFlacOggCheck::Open(std::filesystem::path path) {
  Close();
  if (!m_source.Open(path)) {
    m_strError = m_source.OpenFailure();
    return false;
  }
  const std::vector<OggLink> links = MapOggLinks(m_source);
  if (OpenRange(m_source, links.front())) return true;
  m_source.Close();
  return false;
}

bool CFlacOggCheck::OpenRange(const COggSource& source, const OggLink& link,
                              const std::vector<bool>&) {
  if (m_bOpen) FLAC__stream_decoder_finish(m_pDecoder.get());
  m_bOpen = false;
  m_strError.clear();
  m_strFault.clear();
  m_nTotalSamples = 0;
  m_bStreamInfo = m_bMd5Missing = false;
  m_nRate = 0;
  m_nDecoded = m_nReturned = m_nErrorAt = 0;
  m_pFirstError = nullptr;
  m_bEnds = link.eos;
  m_bReadFailed = false;
  m_nHoleAt = link.holeGranule;
  m_nLastGranule = link.lastGranule;
  m_range = COggRange{&source, link.begin, link.end, 0};
  if (m_pDecoder == nullptr) {
    m_strError = "FLAC_MEMORY_ALLOCATION_ERROR";
    return false;
  }
  FLAC__stream_decoder_set_md5_checking(m_pDecoder.get(), true);
  FLAC__stream_decoder_set_ogg_serial_number(m_pDecoder.get(), static_cast<long>(link.serial));
  if (FLAC__stream_decoder_init_ogg_stream(m_pDecoder.get(), ::Read, ::Seek, ::Tell, ::Length,
                                           ::Eof, ::Write, ::Metadata, ::Error,
                                           this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
    m_strError = "FLAC_INIT_ERROR";
    return false;
  }
  m_bOpen = true;
  const bool read = FLAC__stream_decoder_process_until_end_of_metadata(m_pDecoder.get());
  if (m_pFirstError != nullptr || !read || !m_bStreamInfo) {
    m_strError = m_pFirstError != nullptr ? m_pFirstError
                 : !read                  ? StateName()
                                          : "FLAC_NO_STREAMINFO";
    FLAC__stream_decoder_finish(m_pDecoder.get());
    m_bOpen = false;
    m_nTotalSamples = 0;
    return false;
  }
  // An encoder that wrote to a pipe could not go back to fill in STREAMINFO's count; the
  // last granule position counts the samples as well.
  if (m_nTotalSamples == 0) m_nTotalSamples = std::max<int64_t>(m_nLastGranule, 0);
  return true;
}

int CFlacOggCheck::DecodeStep() {
  if (!m_bOpen) {
    m_strError = kNotOpen;
    return kFlacFault;
  }
  while (m_nReturned == m_nDecoded) {
    const bool ok = FLAC__stream_decoder_process_single(m_pDecoder.get());
    if (m_pFirstError != nullptr) {
      m_nReturned = m_nErrorAt;
      return Fault(m_pFirstError);
    }
    if (m_nHoleAt >= 0 && m_nDecoded > m_nHoleAt) {
      m_nReturned = m_nHoleAt;
      return Fault("FLAC_LOST_SYNC");
    }
    if (!ok) return Fault(StateName());
    if (FLAC__stream_decoder_get_state(m_pDecoder.get()) != FLAC__STREAM_DECODER_END_OF_STREAM)
      continue;
    if (!m_bEnds || m_nDecoded < m_nTotalSamples) {
      Fault("TRUNCATED");
      return kTruncated;
    }
    // finish() is where libFLAC compares the MD5 of all it decoded.
    const bool md5Matches = FLAC__stream_decoder_finish(m_pDecoder.get());
    m_bOpen = false;
    if (!md5Matches) {
      m_strError = "FLAC_MD5_MISMATCH";
      return kFlacFault;
    }
    return 0;
  }
  const int64_t step = std::min<int64_t>(kSamplesPerStep, m_nDecoded - m_nReturned);
  m_nReturned += step;
  return static_cast<int>(step);
}

// A state libFLAC stops in without an error callback, named as the callbacks are. It
// aborts when a read fails and when its Ogg layer refuses the mapping (not FLAC, or a
// version it does not know).
const char* CFlacOggCheck::StateName() const {
  if (m_bReadFailed) return "FLAC_READ_ERROR";
  switch (FLAC__stream_decoder_get_state(m_pDecoder.get())) {
    case FLAC__STREAM_DECODER_OGG_ERROR: return "FLAC_OGG_ERROR";
    case FLAC__STREAM_DECODER_SEEK_ERROR: return "FLAC_SEEK_ERROR";
    case FLAC__STREAM_DECODER_ABORTED: return "FLAC_ABORTED";
    case FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR: return "FLAC_MEMORY_ALLOCATION_ERROR";
    default: return "FLAC_DECODER_ERROR";
  }
}

long CFlacOggCheck::Read(unsigned char* buffer, std::size_t n) {
  const long got = m_range.Read(buffer, n);
  if (got < 0) m_bReadFailed = true;
  return got;
}

int CFlacOggCheck::Fault(const std::string& reason) {
  m_strFault = reason;
  m_strError = FaultText(reason, PositionSeconds());
  return kFlacFault;
}

void CFlacOggCheck::Close() {
  if (m_bOpen) FLAC__stream_decoder_finish(m_pDecoder.get());
  m_bOpen = false;
  m_source.Close();
  m_strError.clear();
  m_strFault.clear();
  m_nTotalSamples = 0;
  m_bMd5Missing = false;
}

double CFlacOggCheck::PositionSeconds() {
  return m_nRate == 0 ? 0 : static_cast<double>(m_nReturned) / m_nRate;
}

double CFlacOggCheck::TotalSeconds() {
  return m_nRate == 0 ? 0 : static_cast<double>(m_nTotalSamples) / m_nRate;
}

void CFlacOggCheck::OnStreamInfo(uint32_t rate, uint64_t totalSamples, bool md5Missing) {
  m_bStreamInfo = true;
  m_nRate = rate;
  m_nTotalSamples = static_cast<int64_t>(std::min<uint64_t>(totalSamples, INT64_MAX));
  m_bMd5Missing = md5Missing;
}

void CFlacOggCheck::OnFrame(uint32_t samples) {
  if (m_pFirstError == nullptr) m_nDecoded += samples;
}

void CFlacOggCheck::OnError(const char* name) {
  if (m_pFirstError != nullptr) return;
  m_pFirstError = name;
  m_nErrorAt = m_nDecoded;
}
