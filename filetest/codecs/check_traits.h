#pragma once

// What a check class can do beyond Open and DecodeStep, for code that serves any of them.
// Each is specialised beside the class it holds for: Windows builds without those classes.

// Holds files to the format rules (CStrictCheck): SetStrict, Warnings, Suppressed.
template <typename Check>
inline constexpr bool kHoldsToRules = false;

// Checks every Ogg codec (CAnyOggCheck): what it learnt goes out as a kCodec answer.
template <typename Check>
inline constexpr bool kChecksEveryCodec = false;
