// <windows.h> as every Windows source file here includes it: without the
// rarely used parts, and without the min/max macros that break std::min and
// std::max. Include it in place of <windows.h>, before headers that need
// <windows.h> first (<shellapi.h>, <tlhelp32.h>).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// <windows.h> maps OpenEvent to OpenEventA/OpenEventW, which would rename
// PeerObjects::OpenEvent wherever both are seen. Callers of the Win32
// function use OpenEventA by name.
#undef OpenEvent
