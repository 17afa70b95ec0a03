#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "scan/file_verdict.h"
#include "scan/listed_file.h"

// One file at a time, step by step: what the worker drives. Decoding may run elsewhere
// (in this process, in a helper process, or ahead of the worker on several helpers).
class IFileTester {
 public:
  virtual ~IFileTester() = default;
  // False: the file did not open, and the verdict says why.
  virtual bool Open(const ListedFile& file) = 0;
  // > 0: samples per channel decoded by this step; 0: the clean end; < 0: a fault, which
  // the verdict names.
  virtual int64_t DecodeStep() = 0;
  // The current file's verdict so far.
  virtual const FileVerdict& Verdict() const = 0;
};

using TesterFactory = std::function<std::unique_ptr<IFileTester>()>;
