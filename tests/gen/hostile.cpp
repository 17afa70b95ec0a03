// Files made to attack the decoder rather than to look damaged.

#include <ogg/ogg.h>

#include <cmath>
#include <cstring>

#include "tests/gen/ogg_gen.h"

namespace testgen {
namespace {

int ILog(uint32_t v) {
  int bits = 0;
  for (; v != 0; v >>= 1) ++bits;
  return bits;
}

long MapType1Values(long entries, long dim) {
  auto vals = static_cast<long>(std::floor(std::pow(double(entries), 1.0 / double(dim))));
  for (;;) {
    long acc = 1, acc1 = 1;
    for (long i = 0; i < dim; ++i) {
      acc *= vals;
      acc1 *= vals + 1;
    }
    if (acc <= entries && acc1 > entries) return vals;
    vals += acc > entries ? -1 : 1;
  }
}

// Reads past one codebook exactly as libvorbis unpacks it; false on anything unexpected.
bool SkipCodebook(oggpack_buffer& in) {
  if (oggpack_read(&in, 24) != 0x564342) return false;
  const long dim = oggpack_read(&in, 16);
  const long entries = oggpack_read(&in, 24);
  if (dim <= 0 || entries <= 0) return false;
  if (oggpack_read(&in, 1) == 0) {
    const bool sparse = oggpack_read(&in, 1) == 1;
    for (long i = 0; i < entries; ++i) {
      if (!sparse || oggpack_read(&in, 1) == 1) oggpack_read(&in, 5);
    }
  } else {
    oggpack_read(&in, 5);
    for (long i = 0; i < entries;) {
      const long num = oggpack_read(&in, ILog(static_cast<uint32_t>(entries - i)));
      if (num <= 0) return false;
      i += num;
    }
  }
  const long mapType = oggpack_read(&in, 4);
  if (mapType == 1 || mapType == 2) {
    oggpack_read(&in, 32);
    oggpack_read(&in, 32);
    const long quantBits = oggpack_read(&in, 4) + 1;
    oggpack_read(&in, 1);
    const long values = mapType == 1 ? MapType1Values(entries, dim) : entries * dim;
    for (long i = 0; i < values; ++i) oggpack_read(&in, static_cast<int>(quantBits));
  } else if (mapType != 0) {
    return false;
  }
  return oggpack_bits(&in) <= in.storage * 8;
}

void CopyBits(const Bytes& from, long begin, long end, oggpack_buffer& out) {
  oggpack_buffer in;
  oggpack_readinit(&in, const_cast<unsigned char*>(from.data()), static_cast<int>(from.size()));
  for (long at = 0; at < begin;) {
    const int n = static_cast<int>(std::min<long>(24, begin - at));
    oggpack_read(&in, n);
    at += n;
  }
  for (long at = begin; at < end;) {
    const int n = static_cast<int>(std::min<long>(24, end - at));
    oggpack_write(&out, static_cast<unsigned long>(oggpack_read(&in, n)), n);
    at += n;
  }
}

// The setup header with one more codebook at the end of the list: `entries` codes, all of
// the same length, declared in a few bits by the ordered form. Nothing refers to it, but
// the decoder still builds its tables when decoding begins.
Bytes WithHugeCodebook(const Bytes& setup, uint32_t entries) {
  constexpr long kPreambleBits = 7 * 8;  // packet type and "vorbis"
  oggpack_buffer in;
  oggpack_readinit(&in, const_cast<unsigned char*>(setup.data()), static_cast<int>(setup.size()));
  for (int i = 0; i < 7; ++i) oggpack_read(&in, 8);
  const long count = oggpack_read(&in, 8) + 1;
  if (count >= 256) return {};
  for (long i = 0; i < count; ++i) {
    if (!SkipCodebook(in)) return {};
  }
  const long booksEnd = oggpack_bits(&in);
  const int length = ILog(entries) - 1;  // entries is a power of two: a complete tree

  oggpack_buffer out;
  oggpack_writeinit(&out);
  CopyBits(setup, 0, kPreambleBits, out);
  oggpack_write(&out, static_cast<unsigned long>(count), 8);  // one more than before
  CopyBits(setup, kPreambleBits + 8, booksEnd, out);
  oggpack_write(&out, 0x564342, 24);
  oggpack_write(&out, 1, 16);
  oggpack_write(&out, entries, 24);
  oggpack_write(&out, 1, 1);  // ordered
  oggpack_write(&out, static_cast<unsigned long>(length - 1), 5);
  oggpack_write(&out, entries, ILog(entries));
  oggpack_write(&out, 0, 4);  // no lookup table
  CopyBits(setup, booksEnd, static_cast<long>(setup.size()) * 8, out);
  Bytes result(oggpack_get_buffer(&out), oggpack_get_buffer(&out) + oggpack_bytes(&out));
  oggpack_writeclear(&out);
  return result;
}

}  // namespace

Bytes MakeHugeCodebook(const Tone& base, uint32_t entries) {
  if (entries == 0 || (entries & (entries - 1)) != 0 || entries > (1u << 22)) return {};
  const Bytes clean = EncodeTone(base);
  std::vector<Page> pages = SplitPages(clean);
  const std::size_t first = FirstAudioPage(pages);
  if (first >= pages.size()) return {};

  // The three header packets, as libogg reassembles them from their pages.
  ogg_sync_state sync;
  ogg_sync_init(&sync);
  ogg_stream_state stream;
  ogg_stream_init(&stream, static_cast<int>(pages[0].Serial()));
  std::vector<Bytes> packets;
  for (std::size_t i = 0; i < first; ++i) {
    ogg_page og{pages[i].header.data(), long(pages[i].header.size()), pages[i].body.data(),
                long(pages[i].body.size())};
    ogg_stream_pagein(&stream, &og);
    ogg_packet op;
    while (ogg_stream_packetout(&stream, &op) == 1)
      packets.emplace_back(op.packet, op.packet + op.bytes);
  }
  ogg_stream_clear(&stream);
  ogg_sync_clear(&sync);
  if (packets.size() != 3) return {};
  packets[2] = WithHugeCodebook(packets[2], entries);
  if (packets[2].empty()) return {};

  ogg_stream_init(&stream, static_cast<int>(pages[0].Serial()));
  Bytes out;
  uint32_t headerPages = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    ogg_packet op{packets[i].data(), long(packets[i].size()), i == 0, 0, 0, int64_t(i)};
    ogg_stream_packetin(&stream, &op);
    ogg_page og;
    // The identification header alone on the first page, as the format asks.
    while ((i == 0 || i == 2) && ogg_stream_flush(&stream, &og) != 0) {
      out.insert(out.end(), og.header, og.header + og.header_len);
      out.insert(out.end(), og.body, og.body + og.body_len);
      ++headerPages;
    }
  }
  ogg_stream_clear(&stream);
  // The audio pages follow on, renumbered so the sequence has no gap.
  for (std::size_t i = first; i < pages.size(); ++i) {
    pages[i].SetSequence(headerPages + static_cast<uint32_t>(i - first));
    pages[i].FixCrc();
  }
  const Bytes audio = JoinPages({pages.begin() + std::ptrdiff_t(first), pages.end()});
  out.insert(out.end(), audio.begin(), audio.end());
  return out;
}

}  // namespace testgen
