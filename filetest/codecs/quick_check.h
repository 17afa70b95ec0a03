#pragma once

#include <vorbis/vorbisfile.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "filetest/codecs/library_version.h"
#include "filetest/codecs/ogg_check.h"

// The quick check: the same verdicts, texts, steps and positions as COggCheck, without
// audio synthesis. Its read loop is libvorbisfile's own (ov_read_float and the packet
// fetch behind it, for seekable streams), except that each audio packet is only parsed
// (vorbis_synthesis_trackonly) and counted. What it cannot see is a packet that crashes
// or hangs the decoder during synthesis: only the full check runs that code.
//
// The loop is a copy, so it is used only with a libvorbis whose loop it was checked
// against (QuickCheckSupported); with any other, and for a stream that is not seekable,
// DecodeStep decodes in full.
class COggQuickCheck {
 public:
  COggQuickCheck();
  COggQuickCheck(const COggQuickCheck&) = delete;
  COggQuickCheck& operator=(const COggQuickCheck&) = delete;

  // Opens exactly as COggCheck::Open does, through it.
  bool Open(std::filesystem::path path);
  // As COggCheck::DecodeStep: > 0 samples per channel, 0 clean end, < 0 a fault.
  int DecodeStep();
  void Close();
  // The open file, for ov_time_tell and ov_time_total; valid only between a successful
  // Open and the next Open or Close.
  OggVorbis_File& Vf() { return m_check.Vf(); }
  double PositionSeconds() { return m_check.PositionSeconds(); }
  double TotalSeconds() { return m_check.TotalSeconds(); }
  // True while DecodeStep runs the loop without synthesis rather than the full decode.
  bool Tracking() const { return m_bTracking; }
  // Hands `observer` every file opened and what is read of it: the pages of the loop
  // without synthesis, or the bytes of the full decode that stands in for it.
  void Observe(IReadObserver* observer);

  std::string m_strError;
  int64_t m_nTotalSamples = 0;

 private:
  long Read(int length);
  int FetchAndProcessPacket();
  void BlockIn();
  int64_t NextPage(ogg_page& page);

  COggCheck m_check;
  bool m_bTracking = false;
  // vorbis_synthesis_blockin keeps its sample count only for a block that carries PCM.
  // Blocks are handed in with these (silence, never read) and with no channels.
  std::array<float*, 256> m_silence{};
  IReadObserver* m_pPageObserver = nullptr;
};
