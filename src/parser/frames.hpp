// Whether this build's stack frames are large: instrumented by AddressSanitizer
// (redzones around every local) or not optimised. Code that budgets stack by
// its own measure asks this, so that such builds keep to the same bytes.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORVAX_HAS_ASAN_FEATURE 1
#endif
#endif
#ifndef MORVAX_HAS_ASAN_FEATURE
#define MORVAX_HAS_ASAN_FEATURE 0
#endif

#if defined(__SANITIZE_ADDRESS__) || MORVAX_HAS_ASAN_FEATURE
#define MORVAX_ASAN 1
#define MORVAX_LARGE_FRAMES 1
#elif !defined(__OPTIMIZE__)
#define MORVAX_LARGE_FRAMES 1
#else
#define MORVAX_LARGE_FRAMES 0
#endif
