#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "filetest/bytes/ogg_links.h"
#include "filetest/bytes/ogg_source.h"
#include "filetest/codecs/link_check.h"

struct OggOpusFile;

// Tests one Ogg Opus file, or one byte range of a chain, through libopusfile: decodes it
// to the end in steps of at most kSamplesPerStep samples per channel and names the first
// fault with the play time where it struck (48 kHz, as opusfile counts). The surface is
// COggCheck's.
class COpusCheck final : public ILinkCheck {
 public:
  COpusCheck();
  ~COpusCheck() override;
  COpusCheck(const COpusCheck&) = delete;
  COpusCheck& operator=(const COpusCheck&) = delete;

  // False leaves nothing open and the reason in m_strError.
  bool Open(std::filesystem::path path);
  // Checks the bytes of `link` in `source`, which must stay open until Close; opusfile
  // follows a chain in them itself. link.eos: the last link has its end-of-stream page.
  // `lostBeforeAudio`: of each link in the range, OggLink::lostBeforeAudio.
  bool OpenRange(const COggSource& source, const OggLink& link,
                 const std::vector<bool>& lostBeforeAudio) override;
  // > 0: samples per channel decoded; 0: clean end; < 0: a fault, named in m_strError.
  int DecodeStep() override;
  void Close() override;
  double PositionSeconds() override;
  double TotalSeconds() override;
  int64_t TotalSamples() const override { return m_nTotalSamples; }
  const std::string& Error() const override { return m_strError; }
  const std::string& FaultName() const override { return m_strFault; }
  // The link of the chain the last DecodeStep's samples came from.
  int Link() const override { return m_nLink; }

  std::string m_strError;
  int64_t m_nTotalSamples = 0;

 private:
  COggSource m_source;
  COggRange m_range;
  struct FreeFile {
    void operator()(OggOpusFile* file) const;
  };
  std::unique_ptr<OggOpusFile, FreeFile> m_pFile;
  bool m_bLastLinkEnds = false;
  int64_t m_nFaultAt = -1;  // samples at 48 kHz
  int m_nLink = 0;
  std::vector<bool> m_lostBeforeAudio;
  std::string m_strFault;
  // Places a fault at PositionSeconds() and returns `result`.
  int Fault(const char* name, int result);
  int m_nFloatsPerStep = 0;
  std::vector<float> m_pcm;
};

// The reason opusfile gives for a stream that uses what it does not implement (a channel
// mapping family it does not know): no fault of the file.
inline constexpr const char* kNotImplemented = "OP_EIMPL";

// Opus counts play time at 48 kHz whatever the input rate was.
inline constexpr int kOpusRate = 48000;

// The report's name for an opusfile result code ("OP_HOLE", ...); "UNKNOWN" for others.
const char* OpusCodeName(int code);
