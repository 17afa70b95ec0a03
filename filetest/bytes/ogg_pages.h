#pragma once

#include <ogg/ogg.h>

#include <cstdint>

// libogg's sync state, owned, so that every return frees it.
class COggSync {
 public:
  COggSync() { ogg_sync_init(&m_sync); }
  ~COggSync() { ogg_sync_clear(&m_sync); }
  COggSync(const COggSync&) = delete;
  COggSync& operator=(const COggSync&) = delete;
  ogg_sync_state* get() { return &m_sync; }
  // Bytes read but taken neither as a page nor as bytes of no page: an unfinished tail.
  int64_t Unsynced() const { return m_sync.fill - m_sync.returned; }

 private:
  ogg_sync_state m_sync{};
};

// Reads a stream through libogg, `chunk` bytes at a time from `read(buffer, size)` (the
// bytes it gave; 0 or less at the end), and calls `onPage(page, offset)` for each whole
// page at the offset of its first byte, until `onPage` returns false. Bytes of no page are
// passed over. Returns the offset after the last page, or bytes of no page, taken.
template <typename Read, typename OnPage>
int64_t ForEachOggPage(COggSync& sync, long chunk, Read&& read, OnPage&& onPage) {
  int64_t offset = 0;
  for (;;) {
    ogg_page page{};
    const long taken = ogg_sync_pageseek(sync.get(), &page);
    if (taken == 0) {
      char* buffer = ogg_sync_buffer(sync.get(), chunk);
      if (buffer == nullptr) break;
      const long got = read(buffer, chunk);
      if (got <= 0) break;
      ogg_sync_wrote(sync.get(), got);
      continue;
    }
    const int64_t at = offset;
    offset += taken < 0 ? -taken : taken;
    if (taken > 0 && !onPage(page, at)) break;
  }
  return offset;
}
