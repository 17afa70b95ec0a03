#pragma once

#include <ogg/ogg.h>

#include <cstddef>
#include <cstdint>

#include "platform/read_file.h"

// Sees what a check reads of a file as it reads it, so that --strict's format rules need
// no second pass over the file: the full check hands on the bytes libvorbisfile's reads
// deliver, the quick check the pages its own loop finds.
class IReadObserver {
 public:
  virtual ~IReadObserver() = default;
  // A file of `size` bytes was opened for checking; its data ends by `viewEnd` (OggViewEnd).
  virtual void OnOpen(NativeFile file, int64_t viewEnd, int64_t size) = 0;
  // Bytes [at, at + size) as a read delivered them. Reads come in any order.
  virtual void OnBytes(const void* data, std::size_t size, int64_t at) = 0;
  // A whole page that starts `at` bytes into the file, from a loop that reads on in file
  // order.
  virtual void OnPage(const ogg_page& page, int64_t at) = 0;
};

// Hands what a check reads to two observers, either of which may be absent: the audio hash
// and --strict's rules see one read each.
class CReadTee final : public IReadObserver {
 public:
  void Set(IReadObserver* first, IReadObserver* second) {
    m_observers[0] = first;
    m_observers[1] = second;
  }
  void OnOpen(NativeFile file, int64_t viewEnd, int64_t size) override {
    for (IReadObserver* o : m_observers)
      if (o != nullptr) o->OnOpen(file, viewEnd, size);
  }
  void OnBytes(const void* data, std::size_t size, int64_t at) override {
    for (IReadObserver* o : m_observers)
      if (o != nullptr) o->OnBytes(data, size, at);
  }
  void OnPage(const ogg_page& page, int64_t at) override {
    for (IReadObserver* o : m_observers)
      if (o != nullptr) o->OnPage(page, at);
  }

 private:
  IReadObserver* m_observers[2] = {nullptr, nullptr};
};
