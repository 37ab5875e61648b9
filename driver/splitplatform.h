// The kernel services the driver builds on: the WDK on Windows, mingw-w64's kernel headers for the
// compile check (with our WFP declarations where fwpsk.h is missing). A user-mode build (tests,
// benchmark) puts its own kstub.h on the include path.
#ifndef ZUMVARI_SPLITPLATFORM_H
#define ZUMVARI_SPLITPLATFORM_H

#if defined(_WIN32)
#include <ntddk.h>
#include <wdmsec.h>
#if __has_include(<fwpsk.h>)
#ifndef NDIS630
#define NDIS630 1
#endif
#ifdef _MSC_VER
#pragma warning(push)
#pragma warning(disable : 4201) // nameless struct/union in the NDIS/WFP headers
#endif
#include <fwpsk.h>
#include <ndis.h>
#ifdef _MSC_VER
#pragma warning(pop)
#endif
#else
#include "splitwfp.h"
#endif
#else
#include "kstub.h"
#endif

#endif // ZUMVARI_SPLITPLATFORM_H
