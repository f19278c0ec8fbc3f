#pragma once
// windows.h defines min/max macros and pulls in winsock 1 unless told otherwise; every Win32 file
// includes it through here so that those clashes are settled once.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h maps ReplaceFile to ReplaceFileA, which would rename zem::ReplaceFile (Paths.h).
#undef ReplaceFile
