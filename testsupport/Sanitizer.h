// Whether the code that includes this is built with AddressSanitizer, whose
// allocator lays blocks out in its own way and maps terabytes of shadow
// memory.
#pragma once

namespace testsupport {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

}  // namespace testsupport
