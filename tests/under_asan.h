// NELK_UNDER_ASAN is defined when AddressSanitizer is on, as gcc and as
// clang announce it: checks of memory use or address space that the
// sanitizer's own mappings make meaningless skip themselves then.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define NELK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NELK_UNDER_ASAN 1
#endif
#endif
