// The one door to the operating system.
//
// Everything the component needs of the platform (automation runtime,
// code pages, profile files, registry, files) is reached through this header.
// On Windows it is the system's own headers; on Linux it is the stand-ins of
// platform/linux, which keep the Windows names, layouts and statuses.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <oleauto.h>
#include <ole2.h>
#define VH_EXPORT
#else
#include "linux/win32_linux.h"
#define VH_EXPORT __attribute__((visibility("default")))
#endif
