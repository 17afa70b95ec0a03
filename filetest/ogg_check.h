#pragma once

#include <vorbis/vorbisfile.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "filetest/read_observer.h"
#include "platform/read_file.h"
#include "text/position_text.h"

// Tests one file at a time: opens it through libvorbisfile, decodes it in steps of at
// most 1024 samples per channel and names the first fault with the time it struck.
// One object serves a whole scan; the next Open closes the previous file.
class COggCheck {
 public:
  COggCheck() = default;
  virtual ~COggCheck();
  COggCheck(const COggCheck&) = delete;
  COggCheck& operator=(const COggCheck&) = delete;

  // False leaves no file open and the reason in m_strError.
  bool Open(std::filesystem::path path);
  // > 0: samples per channel decoded; 0: clean end of the stream; < 0: a fault.
  int DecodeStep();
  void Close();
  // Turns what a read of at most kSamplesPerStep samples from m_vf returned into
  // DecodeStep's result and reason; every check that reads m_vf its own way names faults
  // through it.
  int TakeResult(long readResult);
  // The open file, as COggQuickCheck::Vf gives it, so that code serving either check
  // reads positions the same way.
  OggVorbis_File& Vf() { return m_vf; }
  // Where decoding is and how long the open file plays, as every check gives them.
  double PositionSeconds() { return m_fFaultAt >= 0 ? m_fFaultAt : ov_time_tell(&m_vf); }
  double TotalSeconds() { return ov_time_total(&m_vf, -1); }
  // Hands `observer` every file opened and the bytes libvorbisfile reads of it.
  void Observe(IReadObserver* observer) { m_pObserver = observer; }

  std::string m_strError;
  int64_t m_nTotalSamples = 0;
  OggVorbis_File m_vf{};
  // Non-null exactly while m_vf holds an open file, which then owns it.
  CReadFile* m_pFile = nullptr;
  int m_nBitstream = 0;
  float** m_pcm = nullptr;
  int m_nLastResult = 0;
  // Sees each file this check opens, and the bytes libvorbisfile reads of it (--strict).
  IReadObserver* m_pObserver = nullptr;
  // False when the observer gets its pages another way and wants no reads.
  bool m_bObserveReads = true;
  // The page after the first link's headers is lost. libvorbisfile counts pages afresh
  // where the first link's audio begins and sees later links' gaps itself.
  bool m_bFirstAudioLost = false;
  // The stream's last link lacks its end-of-stream flag, but another link of the file
  // follows it: its audio is whole.
  bool m_bEndsByNextLink = false;
  // Where a fault that libvorbisfile did not see struck; -1 for none.
  double m_fFaultAt = -1;
};

// Longest path, in UTF-16 code units, that a test opens; a longer one is cut.
inline constexpr std::size_t kMaxPathUnits = 259;
inline constexpr int kSamplesPerStep = 1024;
// The result DecodeStep gives when the data ends before the end-of-stream page.
inline constexpr int kTruncated = -1;

// The report's reason for a decode step's fault at `seconds`: empty for a code it does not
// name.
std::string DecodeFaultText(int result, double seconds);
// The name that the report gives to an ov_open result other than 0.
const char* OpenFailureName(int ovOpenResult);
