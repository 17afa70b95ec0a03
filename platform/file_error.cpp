#include "platform/file_error.h"

#include <string>

namespace {

class CFileErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "harrowbit file"; }
  std::string message(int error) const override {
    switch (static_cast<FileError>(error)) {
      case FileError::kNotRegular: return "not a regular file";
    }
    return "unknown file error";
  }
};

}  // namespace

std::error_code make_error_code(FileError error) {
  static const CFileErrorCategory category;
  return {static_cast<int>(error), category};
}
