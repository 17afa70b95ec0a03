#include "filetest/bytes/bounded_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

// The first read is small, since most files end in their data; reads grow while they
// find only zeros.
constexpr int64_t kFirstRead = int64_t{1} << 16;
constexpr int64_t kReadBlock = int64_t{1} << 20;
// Holes are skipped in growing steps, so a sparse file of terabytes costs a few hundred
// seeks; a step that meets data falls back to reading blocks.
constexpr int64_t kMaxHoleStep = int64_t{1} << 34;

// The offset just past the last non-zero byte of buffer[0, n), or 0.
std::size_t DataEndIn(const unsigned char* buffer, std::size_t n) {
  while (n % 8 != 0) {
    if (buffer[n - 1] != 0) return n;
    --n;
  }
  for (; n > 0; n -= 8) {
    uint64_t word;
    std::memcpy(&word, buffer + n - 8, 8);
    if (word != 0) break;
  }
  while (n > 0 && buffer[n - 1] == 0) --n;
  return n;
}

bool ReadFully(NativeFile file, unsigned char* buffer, std::size_t n, int64_t offset) {
  while (n > 0) {
    const int64_t got = ReadAt(file, buffer, n, offset);
    if (got <= 0) return false;
    buffer += got;
    n -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

// libvorbisfile asks for 2 KiB at a time. Each read of the file fetches this much, and its
// asks are served from that: under Wine a read of the file costs several microseconds,
// which at 2 KiB came to about 5% of a full decode.
constexpr std::size_t kViewBufferBytes = std::size_t{1} << 16;

struct CView {
  CReadFile* file;
  int64_t pos;
  int64_t end;
  IReadObserver* observer;
  std::unique_ptr<unsigned char[]> buffer;
  // What the buffer holds: the file's bytes [bufferAt, bufferAt + buffered).
  int64_t bufferAt = 0;
  std::size_t buffered = 0;
};

std::size_t ViewRead(void* ptr, std::size_t size, std::size_t count, void* source) {
  auto* view = static_cast<CView*>(source);
  if (size == 0 || view->pos >= view->end) return 0;
  if (view->pos < view->bufferAt ||
      view->pos >= view->bufferAt + static_cast<int64_t>(view->buffered)) {
    view->buffered = 0;
    const auto left = static_cast<uint64_t>(view->end - view->pos);
    const auto want = static_cast<std::size_t>(std::min<uint64_t>(left, kViewBufferBytes));
    const int64_t got = ReadAt(view->file->Native(), view->buffer.get(), want, view->pos);
    if (got < 0) {
      // libvorbisfile tells a failed read from the end by errno, which Win32 calls leave
      // alone.
      if (errno == 0) errno = EIO;
      return 0;
    }
    view->bufferAt = view->pos;
    view->buffered = static_cast<std::size_t>(got);
  }
  const auto from = static_cast<std::size_t>(view->pos - view->bufferAt);
  const std::size_t bytes =
      static_cast<std::size_t>(std::min<uint64_t>(view->buffered - from, uint64_t{count} * size));
  if (bytes == 0) return 0;
  std::memcpy(ptr, view->buffer.get() + from, bytes);
  if (view->observer != nullptr) view->observer->OnBytes(ptr, bytes, view->pos);
  view->pos += static_cast<int64_t>(bytes);
  return bytes / size;
}

int ViewSeek(void* source, ogg_int64_t offset, int whence) {
  auto* view = static_cast<CView*>(source);
  int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = view->pos;
  } else if (whence == SEEK_END) {
    base = view->end;
  } else if (whence != SEEK_SET) {
    return -1;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  view->pos = target;
  return 0;
}

int ViewClose(void* source) {
  auto* view = static_cast<CView*>(source);
  delete view->file;
  delete view;
  return 0;
}

long ViewTell(void* source) { return static_cast<long>(static_cast<CView*>(source)->pos); }

}  // namespace

int64_t OggViewEnd(NativeFile file, int64_t size) {
  const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kReadBlock]);
  if (buffer == nullptr) return size;
  int64_t end = size;
  int64_t step = kFirstRead;
  while (end > 0) {
    const int64_t begin = end > step ? end - step : 0;
    int64_t from = NextDataAt(file, begin, end);
    if (from >= end) {
      end = begin;
      step = std::min(step * 2, kMaxHoleStep);
      continue;
    }
    if (step > kReadBlock) {
      step = kReadBlock;
      continue;
    }
    if (from < begin) from = begin;
    const auto n = static_cast<std::size_t>(end - from);
    if (!ReadFully(file, buffer.get(), n, from)) return size;
    if (const std::size_t dataEnd = DataEndIn(buffer.get(), n); dataEnd > 0) {
      return std::min(size, from + static_cast<int64_t>(dataEnd) + kMaxOggPageBytes);
    }
    end = begin;
    step = std::min(step * 2, kReadBlock);
  }
  return std::min(size, kMaxOggPageBytes);
}

ov_callbacks VorbisCallbacks(int64_t bytes, ov_callbacks seekable, int64_t mostSeekable) {
  if (bytes <= mostSeekable) return seekable;
  seekable.seek_func = nullptr;
  seekable.tell_func = nullptr;
  return seekable;
}

int OpenOggView(CReadFile* file, OggVorbis_File* vf, IReadObserver* observer, bool reads,
                int64_t mostSeekable) {
  if (file == nullptr || !file->IsOpen()) return OV_EREAD;
  const int64_t end = OggViewEnd(file->Native(), file->Size());
  if (observer != nullptr) observer->OnOpen(file->Native(), end, file->Size());
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kViewBufferBytes]);
  if (buffer == nullptr) return OV_EFAULT;
  const ov_callbacks callbacks =
      VorbisCallbacks(end, {ViewRead, ViewSeek, ViewClose, ViewTell}, mostSeekable);
  const bool observeReads = reads || callbacks.seek_func == nullptr;
  auto* view = new (std::nothrow)
      CView{file, 0, end, observeReads ? observer : nullptr, std::move(buffer), 0, 0};
  if (view == nullptr) return OV_EFAULT;
  const int result = ov_open_callbacks(view, vf, nullptr, 0, callbacks);
  // A failed open leaves the file with the caller, and so the view with us.
  if (result != 0) delete view;
  return result;
}
