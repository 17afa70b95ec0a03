#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

// The worker's view of a file test. It lets decoding run elsewhere (another process,
// other threads) while the worker keeps its step-by-step loop.
class IFileTester {
 public:
  virtual ~IFileTester() = default;
  virtual bool Open(const std::filesystem::path& path) = 0;
  virtual int DecodeStep() = 0;
  // The reason after a failed Open or a fault.
  virtual const std::string& ErrorText() const = 0;
  virtual int64_t TotalSamples() const = 0;
  // Where decoding stands after the last step: the position of a fault.
  virtual double PositionSeconds() const = 0;
  // The length of the open file.
  virtual double TotalSeconds() const = 0;
};

using TesterFactory = std::function<std::unique_ptr<IFileTester>()>;
