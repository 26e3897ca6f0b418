// The one place that decides which platform the build targets. The other
// headers of platform/ test TEXWELD_PLATFORM_WINDOWS instead of compiler
// macros; code outside platform/ never tests it at all.
#pragma once

#if defined(_WIN32)
#define TEXWELD_PLATFORM_WINDOWS 1
#else
#define TEXWELD_PLATFORM_WINDOWS 0
#endif
