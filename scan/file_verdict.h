#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "text/position_text.h"

// What the test of one file found. A tester fills it in as the test goes: the length once
// the file opened, the position after every step, the status and the reason at the end.
struct FileVerdict {
  // kNotChecked: a fault of the run (no decoder could be started, a decoder that stopped
  // making progress without using the processor) kept the file from being checked; the
  // reason says what. It says nothing about the file.
  enum class Status { kPending, kOk, kError, kCancelled, kNotChecked };
  Status status = Status::kPending;
  bool opened = false;
  // An open failure's name, or a fault with where it struck ("OV_HOLE @ 1m 05s"). Empty
  // for a fault the decoder gave no name.
  std::string reason;
  // Seconds of audio decoded so far: where a fault struck, or where a cancel stopped.
  double position = 0;
  // The whole file's length, once it opened: seconds, and samples per channel.
  double length = 0;
  int64_t samples = 0;
  // The error is the decoder's limits (time, memory, writes), not something it read.
  bool overLimit = false;
  // kNotChecked only: nothing more can be checked in this run.
  bool stopsScan = false;
  // Set by the check of every Ogg codec (--all-codecs) only. What the file holds, as its
  // links name their codecs in order ("opus", "vorbis+flac", "none" for no Ogg stream);
  // empty when the check does not look.
  std::string codec;
  // The codecs of links of a chain that were not checked ("speex"), joined by "+".
  std::string skippedLinks;
  // A FLAC stream without the MD5 of its audio: a clean end vouches for frames and pages,
  // not for the audio as it was encoded.
  bool md5Unverifiable = false;
  // kNotChecked only: no stream of the file is in a codec Harrowbit checks. Not a fault
  // of the run either: the file is what it is, and the reason says what it holds.
  bool unsupported = false;

  // A hash of the file's sound (its audio packets and codec set-up, not its tags), once it
  // decoded to its clean end unchanged while it was read; none otherwise.
  std::optional<std::array<uint8_t, 16>> audioHash;

  bool IsError() const { return status == Status::kError; }
  // A fault in what the decoder read: what a file that rots shows, headers included. A
  // file that could not be opened for reading at all (no permission, for one), or that
  // the decoder's limits stopped, says nothing of the kind.
  bool IsDecodingFault() const { return IsError() && !IsOpenFileReason(reason) && !overLimit; }

  // --strict: a breach of the Ogg or Vorbis format rules that the decoder forgave.
  struct Warning {
    std::string name;  // "granule-missing", ...: stable, for scripts
    std::string text;
    // The first byte of the page, or of the bytes of no page, that breaks the rule.
    int64_t offset = 0;
    // Seconds of play time reached there.
    double position = 0;
    bool operator==(const Warning&) const = default;
  };
  // In the order found; given once the file was read to its end or to its first fault, or
  // at once for a file the decoder refused (its breaches may say why); never for a file
  // that could not be read or whose check did not finish.
  std::vector<Warning> warnings;
  // Breaches past the first ten of a rule: counted, not listed.
  int64_t warningsNotListed = 0;
  // --strict: the rules were held to the whole file, so `warnings` is all it breaks. False
  // for a file whose check did not finish (cancelled, crashed, stopped by a limit or a
  // fault of the run) or that could not be read: its breaches are not known, which is
  // not the same as none.
  bool warningsKnown = false;
  bool HasWarnings() const { return !warnings.empty() || warningsNotListed > 0; }
  int64_t WarningCount() const { return static_cast<int64_t>(warnings.size()) + warningsNotListed; }
};
