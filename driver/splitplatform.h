// The kernel services the driver builds on: the WDK on Windows, mingw-w64's kernel headers for the
// compile check (with our WFP declarations, since mingw-w64 has no fwpsk.h). A user-mode build
// (tests, benchmark) puts its own kstub.h on the include path.
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
#elif defined(__MINGW32__)
#include "splitwfp.h"
#else
// A driver built on our own WFP declarations would compile against layouts the system never saw.
#error "fwpsk.h not found: ZumvariSplit.sys needs the WDK's km headers (see driver/CMakeLists.txt)"
#endif
#else
#include "kstub.h"
#endif

// The WDK's code-analysis annotations, for its Code Analysis and Static Driver Verifier; nothing
// where the headers lack them (the mingw-w64 check, the user-mode build).
#ifndef _IRQL_requires_
#define _IRQL_requires_(irql)
#endif
#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(irql)
#endif
#ifndef _IRQL_requires_min_
#define _IRQL_requires_min_(irql)
#endif
#ifndef _IRQL_requires_same_
#define _IRQL_requires_same_
#endif
#ifndef _Function_class_
#define _Function_class_(name)
#endif
#ifndef _IRQL_raises_
#define _IRQL_raises_(irql)
#endif
#ifndef _IRQL_saves_
#define _IRQL_saves_
#endif
#ifndef _IRQL_restores_
#define _IRQL_restores_
#endif
#ifndef _Acquires_lock_
#define _Acquires_lock_(lock)
#endif
#ifndef _Releases_lock_
#define _Releases_lock_(lock)
#endif
#ifndef _Requires_lock_held_
#define _Requires_lock_held_(lock)
#endif
#ifndef _Requires_lock_not_held_
#define _Requires_lock_not_held_(lock)
#endif
#ifndef _Dispatch_type_
#define _Dispatch_type_(major)
#endif
#ifndef _Use_decl_annotations_
#define _Use_decl_annotations_
#endif
#ifndef _Inout_
#define _Inout_
#endif

#endif // ZUMVARI_SPLITPLATFORM_H
