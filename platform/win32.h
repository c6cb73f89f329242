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
// windows.h first: the other two rely on what it declares.
#include <windows.h>

#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>
#define VH_EXPORT

// mingw-w64 declares the source Variant of these as non-const; the system
// only reads it. These let the component pass a const source, as it does
// to the Linux stand-ins.
inline HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src)
{
    return ::VariantCopy(dest, const_cast<VARIANTARG*>(src));
}
inline HRESULT VariantCopyInd(VARIANT* dest, const VARIANTARG* src)
{
    return ::VariantCopyInd(dest, const_cast<VARIANTARG*>(src));
}
inline HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt)
{
    return ::VariantChangeType(dest, const_cast<VARIANTARG*>(src), flags, vt);
}
#else
#include "linux/win32_linux.h"
#define VH_EXPORT __attribute__((visibility("default")))
#endif
