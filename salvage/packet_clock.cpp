#include "salvage/packet_clock.h"

#include <opus/opus.h>
#include <opus/opus_multistream.h>
#include <opusfile.h>
#include <vorbis/codec.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

class CVorbisClock final : public CPacketClock {
 public:
  CVorbisClock() {
    vorbis_info_init(&m_info);
    vorbis_comment_init(&m_comment);
  }
  ~CVorbisClock() override {
    vorbis_comment_clear(&m_comment);
    vorbis_info_clear(&m_info);
  }
  CVorbisClock(const CVorbisClock&) = delete;
  CVorbisClock& operator=(const CVorbisClock&) = delete;

  bool Header(int index, const ogg_packet& packet) override {
    ogg_packet copy = packet;
    copy.b_o_s = index == 0 ? 1 : 0;
    return vorbis_synthesis_headerin(&m_info, &m_comment, &copy) == 0;
  }
  int HeaderCount() const override { return 3; }
  std::optional<Packet> Read(const ogg_packet& packet) override {
    // The mode number names the block size; a packet that names no mode, or is not audio,
    // is one libvorbis refuses to decode.
    ogg_packet copy = packet;
    const long size = vorbis_packet_blocksize(&m_info, &copy);
    if (size <= 0) return std::nullopt;
    return Packet{size, std::nullopt};
  }
  // The second half of the block before and the first half of this one.
  int64_t Duration(int64_t previousSize, int64_t size) const override {
    return previousSize == 0 ? 0 : previousSize / 4 + size / 4;
  }
  int64_t Rate() const override { return m_info.rate; }

 private:
  vorbis_info m_info{};
  vorbis_comment m_comment{};
};

class COpusClock final : public CPacketClock {
 public:
  ~COpusClock() override {
    if (m_pDecoder != nullptr) opus_multistream_decoder_destroy(m_pDecoder);
  }
  bool Header(int index, const ogg_packet& packet) override {
    if (index == 1)
      return opus_tags_parse(nullptr, packet.packet, static_cast<size_t>(packet.bytes)) == 0;
    if (opus_head_parse(&m_head, packet.packet, static_cast<size_t>(packet.bytes)) != 0)
      return false;
    int error = 0;
    m_pDecoder = opus_multistream_decoder_create(48000, m_head.channel_count, m_head.stream_count,
                                                 m_head.coupled_count, m_head.mapping, &error);
    m_pcm.resize(static_cast<std::size_t>(kMaxFrame * m_head.channel_count));
    return m_pDecoder != nullptr;
  }
  int HeaderCount() const override { return 2; }
  std::optional<Packet> Read(const ogg_packet& packet) override {
    const int samples =
        opus_packet_get_nb_samples(packet.packet, static_cast<opus_int32>(packet.bytes), 48000);
    if (samples <= 0) return std::nullopt;
    return Packet{samples, std::nullopt};
  }
  // What libopus refuses is a packet it cannot parse: a single stream's is parsed alone,
  // for the cost of a decode; the streams of several, each in the other's framing, are
  // decoded.
  bool Decode(const ogg_packet& packet) override {
    if (m_head.stream_count == 1) {
      unsigned char toc = 0;
      const unsigned char* frames[48];
      opus_int16 sizes[48];
      return opus_packet_parse(packet.packet, static_cast<opus_int32>(packet.bytes), &toc, frames,
                               sizes, nullptr) > 0;
    }
    return opus_multistream_decode_float(m_pDecoder, packet.packet,
                                         static_cast<opus_int32>(packet.bytes), m_pcm.data(),
                                         kMaxFrame, 0) > 0;
  }
  int64_t Rate() const override { return 48000; }
  int64_t GranuleAtZero() const override { return m_head.pre_skip; }

 private:
  // 120 ms at 48 kHz: the longest packet Opus allows.
  static constexpr int kMaxFrame = 5760;
  OpusHead m_head{};
  OpusMSDecoder* m_pDecoder = nullptr;
  std::vector<float> m_pcm;
};

// FLAC's frame checksums: CRC-8 (x^8+x^2+x+1) over a frame's header and CRC-16
// (x^16+x^15+x^2+1) over the whole frame, both without reflection. CRC-16 goes eight bytes
// a step, as libFLAC's own does: every frame after one lost is summed anew.
struct FlacCrcTables {
  std::array<uint8_t, 256> crc8{};
  std::array<std::array<uint16_t, 256>, 8> crc16{};
  FlacCrcTables() {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c8 = i;
      unsigned c16 = i << 8;
      for (int b = 0; b < 8; ++b) {
        c8 = (c8 & 0x80) != 0 ? (c8 << 1) ^ 0x07 : c8 << 1;
        c16 = (c16 & 0x8000) != 0 ? (c16 << 1) ^ 0x8005 : c16 << 1;
      }
      crc8[i] = static_cast<uint8_t>(c8);
      crc16[0][i] = static_cast<uint16_t>(c16);
    }
    for (std::size_t k = 1; k < 8; ++k) {
      for (std::size_t i = 0; i < 256; ++i) {
        const uint16_t before = crc16[k - 1][i];
        crc16[k][i] = static_cast<uint16_t>((before << 8) ^ crc16[0][before >> 8]);
      }
    }
  }
};
const FlacCrcTables kFlacCrc;

class CFlacClock final : public CPacketClock {
 public:
  // The Ogg FLAC mapping's first packet: 0x7F "FLAC", version, a big-endian count of the
  // header packets after it, "fLaC", then the STREAMINFO block.
  static constexpr long kStreamInfoAt = 13 + 4;
  static constexpr long kFirstPacketSize = kStreamInfoAt + 34;

  bool Header(int index, const ogg_packet& packet) override {
    const unsigned char* p = packet.packet;
    if (index > 0) {
      // A count of 0: the headers run to the metadata block flagged last.
      if (!m_bCounted && packet.bytes > 0 && (p[0] & 0x80) != 0) m_nHeaders = index + 1;
      return packet.bytes >= 4;
    }
    if (packet.bytes < kFirstPacketSize || std::memcmp(p,
                                                       "\x7F"
                                                       "FLAC",
                                                       5) != 0)
      return false;
    const int count = (p[7] << 8) | p[8];
    m_bCounted = count > 0;
    m_nHeaders = m_bCounted ? 1 + count : 64;
    const unsigned char* info = p + kStreamInfoAt;
    // A stream of fixed block size numbers its frames; every frame but the last is as
    // long as the largest.
    m_nFixedBlock = (info[2] << 8) | info[3];
    m_nRate = (int64_t{info[10]} << 12) | (info[11] << 4) | (info[12] >> 4);
    m_nDeclared = (int64_t{info[13] & 0x0F} << 32) | (int64_t{info[14]} << 24) |
                  (int64_t{info[15]} << 16) | (int64_t{info[16]} << 8) | info[17];
    return m_nRate > 0;
  }
  int HeaderCount() const override { return m_nHeaders; }

  std::optional<Packet> Read(const ogg_packet& packet) override {
    const std::optional<Frame> frame = Parse(packet.packet, static_cast<std::size_t>(packet.bytes));
    if (!frame) return std::nullopt;
    return Packet{frame->size, frame->start};
  }

  // libFLAC fills a gap in frame numbers with silence: a frame kept after others were
  // lost takes the number of its place in the salvage, its checksums made anew.
  void Restamp(std::vector<unsigned char>& packet, int64_t samplesBefore) const override {
    const std::optional<Frame> frame = Parse(packet.data(), packet.size(), false);
    if (!frame || frame->start == samplesBefore) return;
    const auto number =
        static_cast<uint64_t>(frame->variable ? samplesBefore : samplesBefore / m_nFixedBlock);
    std::vector<unsigned char> out(packet.begin(), packet.begin() + 4);
    int extra = number < 0x80         ? 0
                : number < 0x800      ? 1
                : number < 0x10000    ? 2
                : number < 0x200000   ? 3
                : number < 0x4000000  ? 4
                : number < 0x80000000 ? 5
                                      : 6;
    if (extra == 0) {
      out.push_back(static_cast<unsigned char>(number));
    } else {
      out.push_back(
          static_cast<unsigned char>(((0xFFu << (7 - extra)) & 0xFF) | (number >> (6 * extra))));
      for (int i = extra - 1; i >= 0; --i)
        out.push_back(static_cast<unsigned char>(0x80 | ((number >> (6 * i)) & 0x3F)));
    }
    out.insert(out.end(), packet.begin() + static_cast<std::ptrdiff_t>(frame->numberEnd),
               packet.begin() + static_cast<std::ptrdiff_t>(frame->crc8At));
    out.push_back(Crc8(out.data(), out.size()));
    out.insert(out.end(), packet.begin() + static_cast<std::ptrdiff_t>(frame->crc8At + 1),
               packet.end() - 2);
    const uint16_t crc16 = Crc16(out.data(), out.size());
    out.push_back(static_cast<unsigned char>(crc16 >> 8));
    out.push_back(static_cast<unsigned char>(crc16 & 0xFF));
    packet = std::move(out);
  }

  int64_t Rate() const override { return m_nRate; }
  int64_t DeclaredSamples() const override { return m_nDeclared; }

  // The length becomes the salvage's, and the MD5 of audio that is no longer all there is
  // cleared: zero is FLAC's "not known".
  bool RewriteFirstHeader(unsigned char* p, long bytes, int64_t samples) const override {
    if (bytes < kFirstPacketSize) return false;
    unsigned char* info = p + kStreamInfoAt;
    const auto total = static_cast<uint64_t>(samples);
    info[13] = static_cast<unsigned char>((info[13] & 0xF0) | ((total >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i) info[14 + i] = static_cast<unsigned char>(total >> (24 - 8 * i));
    std::memset(info + 18, 0, 16);
    return true;
  }

 private:
  bool m_bCounted = true;
  int m_nHeaders = 1;
  int64_t m_nFixedBlock = 0;
  int64_t m_nRate = 0;
  int64_t m_nDeclared = 0;

  struct Frame {
    int64_t size = 0;
    int64_t start = 0;
    bool variable = false;
    // Where the frame's coded number ends and its header's CRC-8 lies.
    std::size_t numberEnd = 0;
    std::size_t crc8At = 0;
  };
  static uint8_t Crc8(const unsigned char* p, std::size_t n) {
    uint8_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) crc = kFlacCrc.crc8[crc ^ p[i]];
    return crc;
  }
  static uint16_t Crc16(const unsigned char* p, std::size_t n) {
    const auto& t = kFlacCrc.crc16;
    unsigned crc = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      crc ^= (unsigned{p[i]} << 8) | p[i + 1];
      crc = t[7][crc >> 8] ^ t[6][crc & 0xFF] ^ t[5][p[i + 2]] ^ t[4][p[i + 3]] ^ t[3][p[i + 4]] ^
            t[2][p[i + 5]] ^ t[1][p[i + 6]] ^ t[0][p[i + 7]];
    }
    for (; i < n; ++i) crc = ((crc << 8) ^ t[0][((crc >> 8) ^ p[i]) & 0xFF]) & 0xFFFF;
    return static_cast<uint16_t>(crc);
  }
  // A frame whose checksums hold, as its header describes it; the whole frame's checksum
  // is computed only when `check` asks: not again for a frame already read.
  std::optional<Frame> Parse(const unsigned char* p, std::size_t bytes, bool check = true) const {
    if (bytes < 8 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return std::nullopt;
    if (check && Crc16(p, bytes - 2) != ((p[bytes - 2] << 8) | p[bytes - 1])) return std::nullopt;
    // The frame's number (fixed block size) or first sample (variable), UTF-8 coded.
    std::size_t at = 4;
    int extra = 0;
    for (unsigned lead = p[at]; (lead & 0x80) != 0 && extra < 8; lead <<= 1) ++extra;
    if (extra == 1 || extra > 7) return std::nullopt;
    uint64_t number = extra == 0 ? p[at] : p[at] & (0x7Fu >> extra);
    for (int i = 1; i < extra; ++i)
      number = (number << 6) | (p[at + static_cast<std::size_t>(i)] & 0x3F);
    at += static_cast<std::size_t>(extra == 0 ? 1 : extra);
    Frame frame;
    frame.numberEnd = at;
    const unsigned sizeCode = p[2] >> 4;
    const unsigned rateCode = p[2] & 0x0F;
    if (sizeCode == 1) {
      frame.size = 192;
    } else if (sizeCode >= 2 && sizeCode <= 5) {
      frame.size = int64_t{576} << (sizeCode - 2);
    } else if (sizeCode == 6) {
      frame.size = p[at++] + 1;
    } else if (sizeCode == 7) {
      frame.size = ((p[at] << 8) | p[at + 1]) + 1;
      at += 2;
    } else if (sizeCode >= 8) {
      frame.size = int64_t{256} << (sizeCode - 8);
    }
    at += rateCode == 12 ? 1 : (rateCode == 13 || rateCode == 14) ? 2 : 0;
    if (frame.size == 0 || at + 3 > bytes || Crc8(p, at) != p[at]) return std::nullopt;
    frame.crc8At = at;
    frame.variable = (p[1] & 1) != 0;
    if (!frame.variable && m_nFixedBlock == 0) return std::nullopt;
    frame.start = frame.variable ? static_cast<int64_t>(number)
                                 : static_cast<int64_t>(number) * m_nFixedBlock;
    return frame;
  }
};

}  // namespace

std::unique_ptr<CPacketClock> MakePacketClock(OggCodec codec) {
  switch (codec) {
    case OggCodec::kVorbis: return std::make_unique<CVorbisClock>();
    case OggCodec::kOpus: return std::make_unique<COpusClock>();
    case OggCodec::kFlac: return std::make_unique<CFlacClock>();
    default: return nullptr;
  }
}
