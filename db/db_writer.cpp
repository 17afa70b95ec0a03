// The batching writer: verdicts queued, then committed together by the flusher thread, at
// the batch limit, or at Close().

#include "db/results_db.h"

bool CResultsDb::Record(const VerdictRecord& record) {
  std::unique_lock lock(m_mutex);
  if (!m_upsert || m_bFailed) {
    ++m_nUnrecorded;
    return false;
  }
  if (m_queue.empty()) {
    m_oldestQueued = std::chrono::steady_clock::now();
    m_wake.notify_all();
  }
  m_queued[static_cast<int>(record.reach)][record.path] = m_queue.size();
  m_queue.push_back(record);
  if (m_queue.size() >= m_options.batchLimit) return FlushLocked(lock);
  return true;
}

bool CResultsDb::Flush() {
  std::unique_lock lock(m_mutex);
  return FlushLocked(lock);
}

bool CResultsDb::FlushLocked(std::unique_lock<std::mutex>&) {
  if (m_queue.empty() || !m_upsert) return !m_bFailed;
  std::vector<VerdictRecord> batch;
  batch.swap(m_queue);
  for (auto& queued : m_queued) queued.clear();
  if (m_bFailed) {
    m_nUnrecorded += static_cast<int64_t>(batch.size());
    return false;
  }
  if (!CommitBatch(batch)) {
    m_bFailed = true;
    m_nUnrecorded += static_cast<int64_t>(batch.size());
    return false;
  }
  return true;
}

int64_t CResultsDb::VersionId(const std::string& text, int& rc) {
  if (const auto it = m_versionIds.find(text); it != m_versionIds.end()) return it->second;
  int64_t id = -1;
  {
    CReset reset(*m_findVersion);
    BindText(*m_findVersion, 1, text);
    rc = sqlite3_step(*m_findVersion);
    if (rc == SQLITE_ROW) id = sqlite3_column_int64(*m_findVersion, 0);
  }
  if (rc == SQLITE_DONE) {
    CReset reset(*m_addVersion);
    BindText(*m_addVersion, 1, text);
    rc = sqlite3_step(*m_addVersion);
    if (rc != SQLITE_DONE) return -1;
    id = sqlite3_last_insert_rowid(Db());
  } else if (rc != SQLITE_ROW) {
    return -1;
  }
  // Known only once the batch commits: a rolled-back id must not be reused.
  return id;
}

bool CResultsDb::CommitBatch(std::vector<VerdictRecord>& batch) {
  // IMMEDIATE takes the write lock now, where the busy timeout applies, instead of failing
  // halfway through the batch when another run holds it.
  EndRead();
  if (!Exec("BEGIN IMMEDIATE", "recording verdicts")) return false;
  const CTransaction batchWrite(Db());
  std::unordered_map<std::string, int64_t> newIds;
  int rc = SQLITE_OK;
  sqlite3_stmt* const upsert = *m_upsert;
  for (const VerdictRecord& r : batch) {
    int64_t version = 0;
    if (const auto it = newIds.find(r.libraryVersion); it != newIds.end()) {
      version = it->second;
    } else {
      version = VersionId(r.libraryVersion, rc);
      if (version < 0) break;
      newIds.emplace(r.libraryVersion, version);
    }
    CReset reset(upsert);
    BindBytes(upsert, 1, r.path);
    sqlite3_bind_int64(upsert, 2, static_cast<sqlite3_int64>(r.identity.device));
    sqlite3_bind_int64(upsert, 3, static_cast<sqlite3_int64>(r.identity.inode));
    sqlite3_bind_int64(upsert, 4, r.identity.size);
    sqlite3_bind_int64(upsert, 5, r.identity.mtimeNs);
    if (r.identity.ctimeNs != kUnknownTimeNs) {
      sqlite3_bind_int64(upsert, 6, r.identity.ctimeNs);
    } else {
      sqlite3_bind_null(upsert, 6);
    }
    BindText(upsert, 7, StoredVerdictName(r.verdict));
    if (r.verdict != StoredVerdict::kOk) {
      BindText(upsert, 8, r.reason);
    } else {
      sqlite3_bind_null(upsert, 8);
    }
    BindOptional(upsert, 9, r.position);
    BindOptional(upsert, 10, r.length);
    BindText(upsert, 11, CheckKindName(r.kind));
    sqlite3_bind_int64(upsert, 12, r.checkedAtMs);
    sqlite3_bind_int64(upsert, 13, version);
    BindText(upsert, 14, r.codec);
    sqlite3_bind_int(upsert, 15, r.strict ? 1 : 0);
    if (const auto warnings = EncodeWarnings(r)) {
      BindText(upsert, 16, *warnings);
    } else {
      sqlite3_bind_null(upsert, 16);
    }
    BindText(upsert, 17, ReachName(r.reach));
    // Left unbound, NULL: CReset clears the bindings after every row.
    if (!r.skippedLinks.empty()) BindText(upsert, 18, r.skippedLinks);
    sqlite3_bind_int(upsert, 19, r.md5Unverifiable ? 1 : 0);
    if (r.audioHash) {
      BindBytes(upsert, 20,
                std::string_view(reinterpret_cast<const char*>(r.audioHash->data()),
                                 r.audioHash->size()));
    }
    if (r.audioChangedFromMs) sqlite3_bind_int64(upsert, 21, *r.audioChangedFromMs);
    rc = sqlite3_step(upsert);
    if (rc != SQLITE_DONE) break;
  }
  if (rc != SQLITE_DONE && rc != SQLITE_OK) return Fail(rc, "recording verdicts");
  rc = sqlite3_exec(Db(), "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return Fail(rc, "recording verdicts");
  m_versionIds.merge(newIds);
  return true;
}

void CResultsDb::FlusherLoop() {
  std::unique_lock lock(m_mutex);
  while (!m_bStop) {
    if (m_queue.empty()) {
      m_wake.wait(lock, [&] { return m_bStop || !m_queue.empty(); });
      continue;
    }
    const auto due = m_oldestQueued + m_options.commitInterval;
    if (m_wake.wait_until(lock, due, [&] { return m_bStop || m_queue.empty(); })) continue;
    FlushLocked(lock);
  }
}
