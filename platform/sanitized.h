#pragma once

// Whether this build runs under AddressSanitizer or ThreadSanitizer, whose runtimes need
// what a plain build never does (terabytes of shadow address space, pipes of their own).
namespace platform_build {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif
}  // namespace platform_build
