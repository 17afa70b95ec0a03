#include "filetest/codecs/quick_check.h"

#include <vorbis/codec.h>

#include <cerrno>
#include <vector>

namespace {

// The largest block a Vorbis stream can declare.
constexpr std::size_t kLargestBlock = 8192;
// libvorbisfile's own read size: pages then arrive in the sync buffer in the same pieces.
constexpr long kReadSize = 2048;

float* Silence() {
  static std::vector<float> silence(kLargestBlock, 0.0f);
  return silence.data();
}

}  // namespace

COggQuickCheck::COggQuickCheck() { m_silence.fill(Silence()); }

bool COggQuickCheck::Open(std::filesystem::path path) {
  const bool opened = m_check.Open(std::move(path));
  m_strError = m_check.m_strError;
  m_nTotalSamples = m_check.m_nTotalSamples;
  // The copied loop knows seekable streams only: a file too long for libvorbisfile to
  // seek in is decoded whole.
  m_bTracking = opened && Vf().seekable != 0 && QuickCheckSupported();
  return opened;
}

void COggQuickCheck::Close() {
  m_check.Close();
  m_strError.clear();
  m_nTotalSamples = 0;
  m_bTracking = false;
}

void COggQuickCheck::Observe(IReadObserver* observer) {
  // The version decides which loop reads a file. One too long to seek in is decoded whole,
  // and its view then shows the observer its reads itself.
  const bool pages = QuickCheckSupported();
  m_pPageObserver = pages ? observer : nullptr;
  m_check.Observe(observer, !pages);
}

int COggQuickCheck::DecodeStep() {
  const int result = m_bTracking ? m_check.TakeResult(Read(kSamplesPerStep)) : m_check.DecodeStep();
  m_strError = m_check.m_strError;
  return result;
}

// ov_read_float without the samples: the same count handed out, the same position kept.
long COggQuickCheck::Read(int length) {
  OggVorbis_File& vf = Vf();
  if (vf.ready_state < OPENED) return OV_EINVAL;
  for (;;) {
    if (vf.ready_state == INITSET) {
      long samples = vorbis_synthesis_pcmout(&vf.vd, nullptr);
      if (samples != 0) {
        const int hs = vorbis_synthesis_halfrate_p(vf.vi);
        if (samples > length) samples = length;
        vorbis_synthesis_read(&vf.vd, static_cast<int>(samples));
        vf.pcm_offset += samples << hs;
        return samples;
      }
    }
    const int ret = FetchAndProcessPacket();
    if (ret == OV_EOF) return 0;
    if (ret <= 0) return ret;
  }
}

// libvorbisfile's _fetch_and_process_packet for a seekable stream, reading on and
// crossing links, with the packet parsed instead of synthesised.
int COggQuickCheck::FetchAndProcessPacket() {
  OggVorbis_File& vf = Vf();
  ogg_page page{};
  for (;;) {
    if (vf.ready_state == STREAMSET) {
      if (vorbis_synthesis_init(&vf.vd, vf.vi + vf.current_link) != 0) return OV_EBADLINK;
      vorbis_block_init(&vf.vd, &vf.vb);
      vf.ready_state = INITSET;
      vf.bittrack = 0;
      vf.samptrack = 0;
    }

    if (vf.ready_state == INITSET) {
      const int hs = vorbis_synthesis_halfrate_p(vf.vi);
      for (;;) {
        ogg_packet packet{};
        const int result = ogg_stream_packetout(&vf.os, &packet);
        if (result == -1) return OV_HOLE;
        if (result == 0) break;
        ogg_int64_t granulepos = packet.granulepos;
        // Header packets and packets that are not audio are skipped here, as there.
        if (vorbis_synthesis_trackonly(&vf.vb, &packet) != 0) continue;
        if (vorbis_synthesis_pcmout(&vf.vd, nullptr) != 0) return OV_EFAULT;
        BlockIn();
        vf.samptrack += static_cast<double>(vorbis_synthesis_pcmout(&vf.vd, nullptr) << hs);
        vf.bittrack += static_cast<double>(packet.bytes * 8);

        // A packet that ends a page gives the position of the last sample now ready;
        // the position of the first follows from the count ready.
        if (granulepos != -1 && packet.e_o_s == 0) {
          const int link = vf.current_link;
          if (link > 0) granulepos -= vf.pcmlengths[link * 2];
          if (granulepos < 0) granulepos = 0;
          const int samples = vorbis_synthesis_pcmout(&vf.vd, nullptr) << hs;
          granulepos -= samples;
          for (int i = 0; i < link; ++i) granulepos += vf.pcmlengths[i * 2 + 1];
          vf.pcm_offset = granulepos;
        }
        return 1;
      }
    }

    // Always at least OPENED here: the next page of the current link, or the first of
    // the next link.
    for (;;) {
      if (NextPage(page) < 0) return OV_EOF;
      vf.bittrack += static_cast<double>(page.header_len * 8);
      if (vf.ready_state == INITSET && vf.current_serialno != ogg_page_serialno(&page)) {
        // Another stream's page inside this link is skipped; a beginning of stream ends
        // the link.
        if (ogg_page_bos(&page) == 0) continue;
        vorbis_dsp_clear(&vf.vd);
        vorbis_block_clear(&vf.vb);
        vf.ready_state = OPENED;
      }
      break;
    }

    if (vf.ready_state < STREAMSET) {
      const long serialno = ogg_page_serialno(&page);
      int link = 0;
      while (link < vf.links && vf.serialnos[link] != serialno) ++link;
      // A page of no link found at open.
      if (link == vf.links) continue;
      vf.current_serialno = serialno;
      vf.current_link = link;
      ogg_stream_reset_serialno(&vf.os, static_cast<int>(vf.current_serialno));
      vf.ready_state = STREAMSET;
    }
    ogg_stream_pagein(&vf.os, &page);
  }
}

// vorbis_synthesis_blockin keeps its sample accounting only for a block with PCM, and
// mixes PCM only for each of the stream's channels: handed silence and no channels, it
// counts exactly as for a decoded block and touches no sample.
void COggQuickCheck::BlockIn() {
  OggVorbis_File& vf = Vf();
  vorbis_info* info = vf.vd.vi;
  const int channels = info->channels;
  vf.vb.pcm = m_silence.data();
  info->channels = 0;
  vorbis_synthesis_blockin(&vf.vd, &vf.vb);
  info->channels = channels;
  vf.vb.pcm = nullptr;
}

// libvorbisfile's _get_next_page with no boundary: the offset of the next whole page
// (skipped bytes counted), OV_EOF at the end of the data, OV_EREAD on a read error.
int64_t COggQuickCheck::NextPage(ogg_page& page) {
  OggVorbis_File& vf = Vf();
  for (;;) {
    const long more = ogg_sync_pageseek(&vf.oy, &page);
    if (more < 0) {
      vf.offset -= more;
    } else if (more > 0) {
      const int64_t at = vf.offset;
      vf.offset += more;
      if (m_pPageObserver != nullptr) m_pPageObserver->OnPage(page, at);
      return at;
    } else {
      // libvorbisfile's _get_data: a short read with errno set is an error.
      if (vf.callbacks.read_func == nullptr) return OV_EREAD;
      if (vf.datasource == nullptr) return OV_EOF;
      errno = 0;
      char* buffer = ogg_sync_buffer(&vf.oy, kReadSize);
      const auto bytes = static_cast<long>(
          vf.callbacks.read_func(buffer, 1, static_cast<std::size_t>(kReadSize), vf.datasource));
      if (bytes > 0) ogg_sync_wrote(&vf.oy, bytes);
      if (bytes == 0 && errno != 0) return OV_EREAD;
      if (bytes == 0) return OV_EOF;
      if (bytes < 0) return OV_EREAD;
    }
  }
}

std::string VorbisLibraryVersion() {
  const char* version = vorbis_version_string();
  return version != nullptr ? version : "";
}

bool IsVerifiedVorbisVersion(std::string_view versionString) {
  // The loop, the packet fetch, the page read, blockin, pcmout, read and trackonly are
  // the same code in each of these releases.
  for (std::string_view verified : {"Xiph.Org libVorbis 1.3.4", "Xiph.Org libVorbis 1.3.5",
                                    "Xiph.Org libVorbis 1.3.6", "Xiph.Org libVorbis 1.3.7"}) {
    if (versionString == verified) return true;
  }
  return false;
}

bool QuickCheckSupported() {
  static const bool supported = IsVerifiedVorbisVersion(VorbisLibraryVersion());
  return supported;
}
