#pragma once

#include <ogg/ogg.h>

#include <cstddef>
#include <cstdint>

#include "filetest/bytes/read_observer.h"

// One pass over a file's pages, in file order from its start, made of what a check reads
// (IReadObserver) whatever order its library reads in: bytes count where they continue what
// came before and go through libogg's sync, whole pages from a loop of ours stand for their
// bytes, and CatchUp reads the rest itself. Each page is handed to TakePage once. The
// format rules' feed and the audio hash are such passes.
class COggPagePass : public IReadObserver {
 public:
  COggPagePass();
  ~COggPagePass() override;
  COggPagePass(const COggPagePass&) = delete;
  COggPagePass& operator=(const COggPagePass&) = delete;

  // Begins the pass over the file; what it knew of the file before is forgotten.
  void OnOpen(NativeFile file, int64_t viewEnd, int64_t size) override;
  void OnBytes(const void* data, std::size_t size, int64_t at) final;
  void OnPage(const ogg_page& page, int64_t at) final;
  // Reads the file itself on from what was passed, up to `upTo` (at most its view's end).
  void CatchUp(int64_t upTo);

 protected:
  // The next page of the file, which starts `at` bytes into it.
  virtual void TakePage(const ogg_page& page, int64_t at) = 0;
  // Bytes the pass could not take: the sync had no room for them, or a read failed.
  virtual void Missed() {}
  // Forgets the file; nothing passes until the next OnOpen.
  void ResetPass();
  // Nothing passes from here on.
  void EndPass() { m_bOpen = false; }
  bool Passing() const { return m_bOpen; }
  NativeFile File() const { return m_file; }
  int64_t ViewEnd() const { return m_nViewEnd; }

 private:
  void Drain();

  ogg_sync_state m_sync{};
  bool m_bOpen = false;
  NativeFile m_file{};
  int64_t m_nViewEnd = 0;
  // Bytes before it went into the sync, or came as whole pages.
  int64_t m_nCovered = 0;
  // Where the sync's next page, or the next byte it skips, begins.
  int64_t m_nPageAt = 0;
};
