// libFuzzer target over the file test: each input is a file that COggCheck opens and
// decodes to its end, twice on one object, as a scan does with file after file.
// libvorbis is not instrumented, so coverage steers only through our code; the mutator
// mends page checksums so that mutated packets still reach the decoder.

#include <dirent.h>
#include <ogg/ogg.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "filetest/ogg_check.h"

namespace {

// What a decoder helper gets: libvorbis sizes stack buffers from the codebook sizes a file
// declares, and the known crafted header overruns a default stack inside the library.
constexpr std::size_t kDecodeStack = std::size_t{512} << 20;
// Far more steps than any input within -max_len can hold; only a runaway reaches it.
constexpr int kMaxSteps = 1 << 20;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "ogg_check_fuzz: %s: \"%s\"\n", what, detail.c_str());
  std::abort();
}

// "62m 05s": whole minutes, then seconds as two digits below 60.
bool IsPosition(std::string_view s) {
  const auto m = s.find("m ");
  if (m == 0 || m == std::string_view::npos || s.size() != m + 5 || s.back() != 's') return false;
  for (std::size_t i = 0; i < m; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  const char tens = s[m + 2];
  const char ones = s[m + 3];
  return tens >= '0' && tens <= '5' && ones >= '0' && ones <= '9';
}

bool HasPositionAfter(std::string_view text, std::string_view prefix) {
  return text.starts_with(prefix) && IsPosition(text.substr(prefix.size()));
}

// The memory file that stands for the input on disk. Opened again through /proc, so
// COggCheck gets a path and a regular file of its own, as it does in a scan.
class CMemoryFile {
 public:
  CMemoryFile() {
    m_fd = ::memfd_create("ogg_check_fuzz", MFD_CLOEXEC);
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

struct Verdict {
  bool opened = false;
  int last = 0;
  int steps = 0;
  int64_t decoded = 0;
  std::string text;
  bool operator==(const Verdict&) const = default;
};

// The contract a scan relies on, checked after every call.
Verdict CheckOnce(COggCheck& check, const std::string& path) {
  Verdict v;
  v.opened = check.Open(path);
  if (!v.opened) {
    static constexpr std::array<std::string_view, 6> kOpenNames = {
        "OV_ENOTVORBIS", "OV_EBADHEADER", "OV_EVERSION", "OV_EFAULT", "OV_EREAD", "UNKNOWN"};
    bool known = false;
    for (std::string_view name : kOpenNames) known = known || check.m_strError == name;
    // A memory file is a regular file and always opens; only the data can be refused.
    if (!known) Fail("failed Open gave an unlisted reason", check.m_strError);
    if (check.m_pFile != nullptr) Fail("failed Open left a stream open", check.m_strError);
    v.text = check.m_strError;
    return v;
  }
  if (!check.m_strError.empty()) Fail("Open succeeded with a reason", check.m_strError);
  if (check.m_pFile == nullptr) Fail("Open succeeded without a stream", path);
  while (v.steps < kMaxSteps) {
    ++v.steps;
    v.last = check.DecodeStep();
    if (v.last <= 0) break;
    if (v.last > kSamplesPerStep) Fail("a step decoded more than asked", std::to_string(v.last));
    v.decoded += v.last;
  }
  v.text = check.m_strError;
  if (v.last == OV_HOLE) {
    if (!HasPositionAfter(v.text, "OV_HOLE @ ")) Fail("bad OV_HOLE text", v.text);
  } else if (v.last == OV_EBADLINK) {
    if (!HasPositionAfter(v.text, "OV_EBADLINK @ ")) Fail("bad OV_EBADLINK text", v.text);
  } else if (v.last == kTruncated) {
    if (!HasPositionAfter(v.text, "TRUNCATED @ ")) Fail("bad TRUNCATED text", v.text);
  } else if (!v.text.empty()) {
    // A clean end, or a fault code with no name, leaves the reason empty.
    Fail("unexpected reason", v.text + " after result " + std::to_string(v.last));
  }
  return v;
}

// libvorbisfile leaks small blocks of its own on some hostile files, so LeakSanitizer is
// told to let its blocks be (tests/lsan.supp). A stream we forget to close still shows as
// a descriptor left open.
int OpenDescriptors() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) Fail("cannot list /proc/self/fd", "");
  while (::readdir(d) != nullptr) ++n;
  ::closedir(d);
  return n;
}

void* CheckTwice(void* pathArg) {
  const std::string& path = *static_cast<const std::string*>(pathArg);
  COggCheck check;
  const Verdict first = CheckOnce(check, path);
  // The next Open must start from nothing the previous file left behind.
  const Verdict second = CheckOnce(check, path);
  if (!(first == second))
    Fail("the same bytes gave another verdict", first.text + " / " + second.text);
  check.Close();
  if (check.m_pFile != nullptr || !check.m_strError.empty())
    Fail("Close left state", check.m_strError);
  return nullptr;
}

// Gives every whole page in the data a valid checksum. libvorbisfile drops a page whose
// checksum fails before the decoder sees it, so without this nearly every mutation of a
// packet would only ever test the hole detection.
void MendChecksums(uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = 27;
  std::size_t i = 0;
  while (i + kHeader <= size) {
    if (std::memcmp(data + i, "OggS", 4) != 0) {
      ++i;
      continue;
    }
    const std::size_t segments = data[i + 26];
    const std::size_t headerLength = kHeader + segments;
    if (i + headerLength > size) break;
    std::size_t bodyLength = 0;
    for (std::size_t k = 0; k < segments; ++k) bodyLength += data[i + kHeader + k];
    if (i + headerLength + bodyLength > size) {
      ++i;
      continue;
    }
    ogg_page page{data + i, long(headerLength), data + i + headerLength, long(bodyLength)};
    ogg_page_checksum_set(&page);
    i += headerLength + bodyLength;
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  // One mutation in four keeps its broken checksums: damaged pages are inputs too.
  if (seed % 4 != 0) MendChecksums(data, size);
  return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static CMemoryFile file;
  file.Fill(data, size);
  const int descriptors = OpenDescriptors();
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kDecodeStack);
  pthread_t thread;
  auto* path = const_cast<std::string*>(&file.Path());
  if (pthread_create(&thread, &attr, CheckTwice, path) != 0) Fail("pthread_create failed", "");
  pthread_attr_destroy(&attr);
  pthread_join(thread, nullptr);
  if (OpenDescriptors() != descriptors) Fail("a descriptor was left open", file.Path());
  return 0;
}
