#pragma once

#include <vorbis/vorbisfile.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "filetest/bytes/bounded_file.h"
#include "filetest/bytes/ogg_links.h"
#include "filetest/bytes/read_observer.h"
#include "filetest/codecs/link_check.h"
#include "platform/read_file.h"
#include "text/position_text.h"

// Tests one file at a time: opens it through libvorbisfile, decodes it in steps of at
// most 1024 samples per channel and names the first fault with the time it struck.
// One object serves a whole scan; the next Open closes the previous file. As a link check
// it serves the Vorbis links of a chain that mixes codecs.
class COggCheck final : public ILinkCheck {
 public:
  COggCheck() = default;
  ~COggCheck() override;
  COggCheck(const COggCheck&) = delete;
  COggCheck& operator=(const COggCheck&) = delete;

  // False leaves no file open and the reason in m_strError.
  bool Open(std::filesystem::path path);
  bool OpenRange(const COggSource& source, const OggLink& link,
                 const std::vector<bool>& lostBeforeAudio) override;
  // > 0: samples per channel decoded; 0: clean end of the stream; < 0: a fault.
  int DecodeStep() override;
  void Close() override;
  // Turns what a read of at most kSamplesPerStep samples from m_vf returned into
  // DecodeStep's result and reason; every check that reads m_vf its own way names faults
  // through it.
  int TakeResult(long readResult);
  // The open file, as COggQuickCheck::Vf gives it, so that code serving either check
  // reads positions the same way.
  OggVorbis_File& Vf() { return m_vf; }
  // Where decoding is and how long the open file plays, as every check gives them.
  double PositionSeconds() override;
  double TotalSeconds() override;
  int64_t TotalSamples() const override { return m_nTotalSamples; }
  const std::string& Error() const override { return m_strError; }
  const std::string& FaultName() const override { return m_strFault; }
  // A file or range is open, and holds a descriptor or the source's.
  bool IsOpen() const { return m_bOpen; }
  int Link() const override { return m_vf.current_link < 0 ? 0 : m_vf.current_link; }
  // Hands `observer` every file opened and, with `reads`, the bytes libvorbisfile reads of
  // it; without, the observer gets its pages another way.
  void Observe(IReadObserver* observer, bool reads = true) {
    m_pObserver = observer;
    m_bObserveReads = reads;
  }
  // Streams of more bytes are read front to back (see VorbisCallbacks); tests lower it to
  // read small files as the largest are read.
  void SeekOnlyUpTo(int64_t bytes) { m_nMostSeekableBytes = bytes; }

  std::string m_strError;
  int64_t m_nTotalSamples = 0;

 private:
  // Opens m_vf on `source` through `callbacks`, which close it with ov_clear.
  bool OpenStream(void* source, ov_callbacks callbacks);
  // What a read of a stream libvorbisfile cannot seek in returned, once the link it reads
  // is known.
  long StreamedResult(long result);

  OggVorbis_File m_vf{};
  // m_vf holds an open stream, which it owns.
  bool m_bOpen = false;
  int m_nBitstream = 0;
  float** m_pcm = nullptr;
  IReadObserver* m_pObserver = nullptr;
  bool m_bObserveReads = true;
  int64_t m_nMostSeekableBytes = kMostSeekableBytes;
  // The page after the first link's headers is lost. libvorbisfile counts pages afresh
  // where the first link's audio begins and sees later links' gaps itself.
  bool m_bFirstAudioLost = false;
  // The stream's last link lacks its end-of-stream flag, but another link of the file
  // follows it: its audio is whole.
  bool m_bEndsWhole = false;
  // Where a fault that libvorbisfile did not see struck; -1 for none.
  double m_fFaultAt = -1;
  // A chain read front to back: libvorbisfile counts each link's time from its start, so
  // the links before it are counted here. The link decoding, and whether it has given
  // audio yet; how long the links before it play, and where the last audio read ended.
  int m_nStreamedLink = 0;
  bool m_bLinkBegun = false;
  double m_fLinksBefore = 0;
  double m_fReadTo = 0;
  // Reads the file read front to back where libvorbisfile does not: its last page.
  ReadAtFunction m_readAt;
  int64_t m_nStreamEnd = 0;
  std::string m_strFault;
};

inline constexpr int kSamplesPerStep = 1024;
// The result DecodeStep gives when the data ends before the end-of-stream page.
inline constexpr int kTruncated = -1;
// The result DecodeStep gives, reading front to back, for a chain whose link libvorbisfile
// could not begin: what opening the file would have refused, had it been able to seek.
inline constexpr int kChainUnreadable = -4;

// The name a decode step's result gives its fault ("OV_HOLE"); empty for a code it does not
// name.
const char* DecodeFaultName(int result);
// The report's reason for a decode step's fault at `seconds`: empty for a code it does not
// name.
std::string DecodeFaultText(int result, double seconds);
// The name that the report gives to an ov_open result other than 0.
const char* OpenFailureName(int ovOpenResult);
