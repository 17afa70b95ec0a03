#pragma once

#include <FLAC/stream_decoder.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "filetest/bytes/ogg_links.h"
#include "filetest/bytes/ogg_source.h"
#include "filetest/codecs/link_check.h"

// Tests one FLAC-in-Ogg stream (the first link of a file; CAnyOggCheck follows chains)
// through libFLAC's Ogg decoder with MD5 checking on. Its surface is COggCheck's; a frame
// longer than kSamplesPerStep is handed out in steps of at most that many samples. The
// first error libFLAC reports is the fault, at the play time of the samples decoded
// before it. libFLAC's Ogg layer meets a lost page as lost sync but keeps it to itself
// (and fills the gap with silence), so the gap the page numbers show is reported as
// FLAC_LOST_SYNC where the audio before it ends.
class CFlacOggCheck final : public ILinkCheck {
 public:
  CFlacOggCheck();
  ~CFlacOggCheck() override;
  CFlacOggCheck(const CFlacOggCheck&) = delete;
  CFlacOggCheck& operator=(const CFlacOggCheck&) = delete;

  bool Open(std::filesystem::path path);
  // Checks the stream link.serial in the bytes of `link` in `source`, which must stay open
  // until Close. A lost page shows in link.holeGranule, whatever its place.
  bool OpenRange(const COggSource& source, const OggLink& link,
                 const std::vector<bool>& lostBeforeAudio = {}) override;
  // > 0: samples per channel; 0: clean end; < 0: a fault, named in m_strError.
  int DecodeStep() override;
  void Close() override;
  double PositionSeconds() override;
  double TotalSeconds() override;
  int64_t TotalSamples() const override { return m_nTotalSamples; }
  const std::string& Error() const override { return m_strError; }
  const std::string& FaultName() const override { return m_strFault; }
  // The stream carries no MD5 of its audio (all zeros), so a clean end vouches for frames
  // and pages, not for the audio as encoded.
  bool Md5Missing() const override { return m_bMd5Missing; }

  std::string m_strError;
  int64_t m_nTotalSamples = 0;

  // For libFLAC's callbacks.
  void OnStreamInfo(uint32_t rate, uint64_t totalSamples, bool md5Missing);
  void OnFrame(uint32_t samples);
  void OnError(const char* name);
  // Reads for libFLAC, remembering a failure so that it is not named as the stream's.
  long Read(unsigned char* buffer, std::size_t n);
  COggRange& Range() { return m_range; }

 private:
  int Fault(const std::string& reason);
  const char* StateName() const;

  COggSource m_source;
  COggRange m_range;
  struct DeleteDecoder {
    void operator()(FLAC__StreamDecoder* decoder) const { FLAC__stream_decoder_delete(decoder); }
  };
  std::unique_ptr<FLAC__StreamDecoder, DeleteDecoder> m_pDecoder;
  std::string m_strFault;
  bool m_bOpen = false;
  bool m_bEnds = false;
  bool m_bReadFailed = false;
  int64_t m_nHoleAt = -1;
  int64_t m_nLastGranule = -1;
  bool m_bStreamInfo = false;
  bool m_bMd5Missing = false;
  uint32_t m_nRate = 0;
  int64_t m_nDecoded = 0;   // samples libFLAC has written
  int64_t m_nReturned = 0;  // samples DecodeStep has handed out
  const char* m_pFirstError = nullptr;
  int64_t m_nErrorAt = 0;
};

// What DecodeStep returns for a fault libFLAC reports.
inline constexpr int kFlacFault = -2;
