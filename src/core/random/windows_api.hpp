// <windows.h> with the slim set of declarations the core needs and without the min/max macros
// that would break std::min and std::max. Included only when building for Windows.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
