#pragma once

// What the fuzz targets over Ogg files share: how they fail, the memory file that stands
// for the input on disk, the decoder's stack and the count of open descriptors.

#include <dirent.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// What a decoder helper gets: libvorbis sizes stack buffers from the codebook sizes a file
// declares, and the known crafted header overruns a default stack inside the library.
inline constexpr std::size_t kDecodeStack = std::size_t{512} << 20;
// Far more steps than any input within -max_len can hold; only a runaway reaches it.
inline constexpr int kMaxSteps = 1 << 20;

[[noreturn]] inline void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s: \"%s\"\n", program_invocation_short_name, what, detail.c_str());
  std::abort();
}

// The memory file that stands for the input on disk. Opened again through /proc, so the
// check gets a path and a regular file of its own, as it does in a scan.
class CMemoryFile {
 public:
  CMemoryFile() {
    m_fd = ::memfd_create("ogg_fuzz_input", MFD_CLOEXEC);
    if (m_fd < 0) Fail("memfd_create failed", "");
    m_path = "/proc/self/fd/" + std::to_string(m_fd);
  }
  void Fill(const uint8_t* data, std::size_t size) {
    if (::ftruncate(m_fd, 0) != 0) Fail("ftruncate failed", m_path);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(m_fd, data + done, size - done, off_t(done));
      if (n <= 0) Fail("pwrite failed", m_path);
      done += std::size_t(n);
    }
  }
  const std::string& Path() const { return m_path; }

 private:
  int m_fd = -1;
  std::string m_path;
};

// libvorbisfile leaks small blocks of its own on some hostile files, so LeakSanitizer is
// told to let its blocks be (tests/lsan.supp). A stream we forget to close still shows as
// a descriptor left open.
inline int OpenDescriptors() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) Fail("cannot list /proc/self/fd", "");
  while (::readdir(d) != nullptr) ++n;
  ::closedir(d);
  return n;
}

// Runs run(arg) to its end on a thread with the decoder helper's stack.
inline void RunOnDecodeStack(void* (*run)(void*), void* arg) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kDecodeStack);
  pthread_t thread;
  if (pthread_create(&thread, &attr, run, arg) != 0) Fail("pthread_create failed", "");
  pthread_attr_destroy(&attr);
  pthread_join(thread, nullptr);
}

// One input as a file: written to the memory file, given to `check` (which takes the
// file's path) on the decoding stack, and no descriptor may be left open after it.
inline void CheckInput(const uint8_t* data, std::size_t size, void* (*check)(void*)) {
  static CMemoryFile file;
  file.Fill(data, size);
  const int descriptors = OpenDescriptors();
  RunOnDecodeStack(check, const_cast<std::string*>(&file.Path()));
  if (OpenDescriptors() != descriptors) Fail("a descriptor was left open", file.Path());
}

}  // namespace fuzz
