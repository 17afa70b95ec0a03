#pragma once

#include <cstdint>
#include <string>

#include "decode/helper_protocol.h"
#include "scan/file_verdict.h"

// The one place where a helper's answers, or its end, become a file's verdict.

// What a step result is when the helper died or was stopped at its limits.
inline constexpr int64_t kDecoderDied = -1000;

// A kOpened answer. Returns whether the file opened.
bool TakeOpened(FileVerdict& verdict, const HelperMessage& opened);
// A kStep answer. Returns the step's result.
int64_t TakeStep(FileVerdict& verdict, const HelperMessage& step);
// The helper ended while on this file, as `how` ("CRASH" or "LIMIT") says; `lastPosition`
// is the furthest the helper recorded. Before the file opened the reason is `how` alone.
void TakeHelperEnd(FileVerdict& verdict, const std::string& how, double lastPosition);
// No helper could be started for the file (`error` is errno): a fault of the run.
void TakeStartFailure(FileVerdict& verdict, int error);
