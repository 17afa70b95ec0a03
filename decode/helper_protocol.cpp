#include "decode/helper_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/process.h"

namespace {

struct WireHeader {
  uint32_t type;
  int32_t value;
  int64_t samples;
  double seconds;
  uint32_t textLength;
  uint32_t detailLength;
};

}  // namespace

void AppendMessage(std::string& out, const HelperMessage& m) {
  const WireHeader h{m.type,
                     m.value,
                     m.samples,
                     m.seconds,
                     static_cast<uint32_t>(m.text.size()),
                     static_cast<uint32_t>(m.detail.size())};
  out.append(reinterpret_cast<const char*>(&h), sizeof h);
  out += m.text;
  out += m.detail;
}

Parsed ParseMessage(std::string_view bytes, HelperMessage& message, std::size_t& used) {
  WireHeader h;
  if (bytes.size() < sizeof h) return Parsed::kIncomplete;
  std::memcpy(&h, bytes.data(), sizeof h);
  if (h.textLength > kLongestPath || h.detailLength > kLongestPath) return Parsed::kMalformed;
  const std::size_t size = sizeof h + h.textLength + h.detailLength;
  if (bytes.size() < size) return Parsed::kIncomplete;
  message.type = h.type;
  message.value = h.value;
  message.samples = h.samples;
  message.seconds = h.seconds;
  message.text.assign(bytes.substr(sizeof h, h.textLength));
  message.detail.assign(bytes.substr(sizeof h + h.textLength, h.detailLength));
  used = size;
  return Parsed::kMessage;
}

namespace {

struct RequestHeader {
  uint32_t length;
  uint32_t strict;
  int32_t opened;
};

}  // namespace

std::string EncodeRequest(const std::string& pathBytes, CheckMode mode, int32_t opened) {
  const RequestHeader h{
      static_cast<uint32_t>(std::min<std::size_t>(pathBytes.size(), kLongestPath)),
      mode.strict ? 1U : 0U, opened};
  std::string request(reinterpret_cast<const char*>(&h), sizeof h);
  request.append(pathBytes, 0, h.length);
  return request;
}

bool ReadRequest(int fd, HelperRequest& request) {
  // The handed file comes with the header's first bytes.
  RequestHeader h{};
  request.file = kNoNativeFile;
  char* p = reinterpret_cast<char*>(&h);
  for (std::size_t got = 0; got < sizeof h;) {
    const int64_t n = ReceiveDescriptor(fd, p + got, sizeof h - got, request.file);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  if (h.length > kLongestPath || h.strict > 1) return false;
  request.strict = h.strict == 1;
  request.opened = h.opened;
  request.path.assign(h.length, '\0');
  return ReadAll(fd, request.path.data(), h.length);
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const int64_t n = WriteDescriptor(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const int64_t n = ReadDescriptor(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
