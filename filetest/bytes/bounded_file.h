#pragma once

#include <vorbis/vorbisfile.h>

#include <cstdint>
#include <limits>

#include "filetest/bytes/read_observer.h"
#include "platform/read_file.h"

// libvorbisfile finds the last page of a file by scanning backwards from its end, and the
// cost of that scan grows with the square of the bytes after the last page. A download
// left unfinished in a preallocated file ends in gigabytes of zeros, so libvorbisfile is
// given a view of the file that stops soon after its data.

// The longest an Ogg page can be: a 27-byte header, 255 lacing values, 255 segments of 255.
inline constexpr int64_t kMaxOggPageBytes = 27 + 255 + 255 * 255;

// Where the view of the open regular file of `size` bytes ends: a page's capture
// pattern is not zero, so every page starts at or before the last non-zero byte and ends
// within kMaxOggPageBytes of it; up to there libvorbisfile sees exactly the pages, and
// every candidate page, that the whole file holds. Holes of a sparse file are skipped
// without reading them. Falls back to `size` when the file cannot be read, so that
// libvorbisfile meets the read error itself.
int64_t OggViewEnd(NativeFile file, int64_t size);

// libvorbisfile learns where a seekable stream ends from its tell callback, whose long has
// 32 bits on Windows. A stream of more bytes than a long counts is read front to back
// instead, as from a pipe: every page is still read and every fault met where it lies,
// but the stream's length is not known before its end.
inline constexpr int64_t kMostSeekableBytes = std::numeric_limits<long>::max();
ov_callbacks VorbisCallbacks(int64_t bytes, ov_callbacks seekable,
                             int64_t mostSeekable = kMostSeekableBytes);

// ov_open_callbacks over `file` as if it ended at OggViewEnd. On success the file belongs
// to `vf` and ov_clear closes and deletes it; on failure it is still the caller's.
// `observer`, when given, sees the file open and, with `reads`, every read that delivers
// bytes. Whoever reads pages its own way instead does so by seeking, so a view that
// cannot seek shows the observer its reads whatever `reads` says.
int OpenOggView(CReadFile* file, OggVorbis_File* vf, IReadObserver* observer, bool reads,
                int64_t mostSeekable);
