#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/read_file.h"
#include "scan/check_mode.h"

// What the scan and its decoder helper process say to each other. The scan writes a
// request (a path, and whether to check strictly) on one pipe; the helper answers on
// another with one kOpened message and, if the file opened, kStep messages up to the one
// whose value is 0 or negative. A strict check that judged the file sends its breaches of
// the format rules (kWarning each, then kWarningsEnd) just before that last kStep, or, for
// a file that did not open, just before its kOpened; without kWarningsEnd they are not
// known (a file that could not be read). A helper that checks every
// Ogg codec sends a kCodec message just before each kOpened.

// Both descriptors sit above the standard streams, so nothing a library prints can mix
// into the answers.
inline constexpr int kRequestFd = 3;
inline constexpr int kReplyFd = 4;
// Where the helper keeps the position of its last decoded step, so a crash can be placed
// exactly even when answers were still waiting in its buffer.
inline constexpr int kPositionFd = 5;
// Keeps the helper from running far ahead of a paused scan: it blocks once this much of
// its answers wait unread (about 2000 decode steps). A batch of answers
// (helper_server) fits in it whole, so that the scan takes each batch in one read. Under
// Wine each batch costs both processes a wake-up through its server: batches of 16 KiB
// cost a 60 s file about 2 ms.
inline constexpr int kReplyPipeBytes = 65536;
inline constexpr uint32_t kLongestPath = 1 << 16;

// The helper's arguments: this flag, then its channel (BecomeHelper), its stack and its
// address space in bytes, which check it runs (HelperArgument of its CheckMode) and what
// to do where it cannot confine itself: decode all the same and say so on standard error,
// or keep quiet about it (another helper of the run said so), or check nothing.
inline constexpr char kDecoderHelperFlag[] = "--decoder-helper";
inline constexpr char kSandboxTell[] = "sandbox-or-tell";
inline constexpr char kSandboxQuiet[] = "sandbox-or-quiet";
inline constexpr char kSandboxRequired[] = "sandbox-required";

using SharedPosition = std::atomic<double>;
static_assert(SharedPosition::is_always_lock_free, "shared between processes");

struct HelperMessage {
  // kCodec: sent by a helper that checks every codec, just before each kOpened.
  enum Type : uint32_t {
    kOpened = 1,
    kStep = 2,
    kCodec = 3,
    kWarning = 5,
    kWarningsEnd = 6,
    kAudioHash = 7,
  };
  uint32_t type = 0;
  // kOpened: 1 if the file opened. kStep: the step result.
  int32_t value = 0;
  // kOpened: the length in samples. kWarning: the byte offset. kWarningsEnd: how many
  // more were counted but not listed.
  int64_t samples = 0;
  // kOpened: the length in seconds. kStep: the position after the step. kWarning: the
  // position.
  double seconds = 0;
  // The reason of a failed open or a fault. kCodec: what the file holds ("vorbis+speex").
  // kWarning: the rule's name.
  std::string text = {};
  // kCodec: the codecs of the links left unchecked ("speex"). kWarning: the breach.
  // kAudioHash: the hash's kAudioHashBytes bytes.
  std::string detail = {};
};

inline constexpr std::size_t kAudioHashBytes = 16;

// kCodec's value: bits for what the check found beside its verdict.
inline constexpr int32_t kCodecUnsupported = 1;  // no stream in a codec that is checked
inline constexpr int32_t kCodecMd5Missing = 2;   // a FLAC stream without its audio's MD5
// A stream left unchecked because its library does not implement what it uses.
inline constexpr int32_t kCodecDeclined = 4;

// A message as it goes on the wire.
void AppendMessage(std::string& out, const HelperMessage& message);
enum class Parsed { kMessage, kIncomplete, kMalformed };
// Takes the first message from `bytes`; `used` says how many bytes it took.
Parsed ParseMessage(std::string_view bytes, HelperMessage& message, std::size_t& used);

// Asks for the check of `pathBytes` in `mode`, of which only its strictness travels here:
// the rest the helper was started with. `opened` says whether the file comes with the
// request, or why not (CReadFile::OpenToHandOver).
std::string EncodeRequest(const std::string& pathBytes, CheckMode mode, int32_t opened);
struct HelperRequest {
  std::string path;
  bool strict = false;
  int32_t opened = kFileOpenByPath;
  // The file handed over with the request, which the request's reader then owns.
  NativeFile file = kNoNativeFile;
};
// Reads one request from `fd`; false when the scan closed the pipe or sent nonsense.
bool ReadRequest(int fd, HelperRequest& request);

bool WriteAll(int fd, const void* data, std::size_t size);
bool ReadAll(int fd, void* data, std::size_t size);
