#pragma once

#include <cstdint>
#include <string>

#include "decode/helper_client.h"
#include "decode/helper_protocol.h"
#include "scan/file_verdict.h"

// The one place where a helper's answers, or its end, become a file's verdict.

// What a step result is when the helper's work on the file ended without an answer.
inline constexpr int64_t kDecoderDied = -1000;

// A kOpened answer. Returns whether the file opened. The breaches taken in before it are
// kept when it did not: they belong to that answer.
bool TakeOpened(FileVerdict& verdict, const HelperMessage& opened);
// A kCodec answer, after the kOpened answer it came before has been taken.
void TakeCodec(FileVerdict& verdict, const HelperMessage& codec);
// A kStep answer. Returns the step's result.
int64_t TakeStep(FileVerdict& verdict, const HelperMessage& step);
// A kWarning or kWarningsEnd answer.
void TakeWarning(FileVerdict& verdict, const HelperMessage& warning);
// Whether `message` is one that TakeWarning takes.
bool IsWarning(const HelperMessage& message);
// The helper's work on this file ended as `exit` says: a crash is "CRASH", a kill or the
// helper's limits "LIMIT", each with the furthest position known when the file had opened;
// a stall is no verdict on the file but a fault of the run, and a cancel is a cancel.
// Breaches of the format rules taken in so far are dropped, and the rest not known: that
// check did not finish.
void TakeHelperEnd(FileVerdict& verdict, const HelperExit& exit);
// No helper could be started for the file (`error` is errno): a fault of the run that
// ends it.
void TakeStartFailure(FileVerdict& verdict, int error);
