// Symbol visibility of the public API. Every public header encloses its declarations in
// VELTRAC_API_BEGIN / VELTRAC_API_END. A shared build compiles with hidden visibility and defines
// VELTRAC_CODEC_SHARED, so that exactly the declarations of the public headers are exported; a static
// build leaves visibility to the build's settings.
#pragma once

#if defined(VELTRAC_CODEC_SHARED) && (defined(__GNUC__) || defined(__clang__))
#define VELTRAC_API_BEGIN _Pragma("GCC visibility push(default)")
#define VELTRAC_API_END _Pragma("GCC visibility pop")
#else
#define VELTRAC_API_BEGIN
#define VELTRAC_API_END
#endif
