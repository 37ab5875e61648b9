// User-mode stand-in for the WDK and WFP kernel-client declarations the driver uses, so that its
// sources build off Windows for the tests and the benchmark. Names and layouts follow the WDK for
// the members the driver touches; kstub.cpp records the calls instead of acting them out.
#ifndef ZUMVARI_KSTUB_H
#define ZUMVARI_KSTUB_H

#include "splitioctl.h"

#include <stdint.h>

#define NTAPI
#define FALSE 0
typedef signed char INT8, CCHAR;
typedef unsigned char UCHAR, UINT8, BOOLEAN, KIRQL;
typedef short INT16;
typedef unsigned short USHORT, UINT16;
typedef int INT32, NTSTATUS;
typedef unsigned int ULONG, UINT32;
typedef long long INT64;
typedef unsigned long long UINT64;
typedef uintptr_t ULONG_PTR, KSPIN_LOCK;
typedef void *HANDLE;
typedef wchar_t WCHAR;

#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define IO_NO_INCREMENT 0
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e

typedef struct _UNICODE_STRING
{
    USHORT Length, MaximumLength;
    WCHAR *Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT; // only ever pointed to
typedef struct _IO_STACK_LOCATION
{
    struct
    {
        struct
        {
            ULONG OutputBufferLength, InputBufferLength, IoControlCode;
        } DeviceIoControl;
    } Parameters;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
typedef struct _IRP
{
    struct
    {
        NTSTATUS Status;
        ULONG_PTR Information;
    } IoStatus;
    struct
    {
        void *SystemBuffer;
    } AssociatedIrp;
    PIO_STACK_LOCATION CurrentStackLocation; // the WDK reaches it through Tail.Overlay
} IRP, *PIRP;
typedef void DRIVER_UNLOAD(struct _DRIVER_OBJECT *);
typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT, PIRP);
typedef struct _DRIVER_OBJECT
{
    DRIVER_UNLOAD *DriverUnload;
    DRIVER_DISPATCH *MajorFunction[0x1c];
} DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT, PUNICODE_STRING);

#define IoGetCurrentIrpStackLocation(irp) ((irp)->CurrentStackLocation)
void RtlInitUnicodeString(PUNICODE_STRING string, const WCHAR *source);
NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                              ULONG characteristics, BOOLEAN exclusive, const UNICODE_STRING *sddl,
                              const GUID *classGuid, PDEVICE_OBJECT *device);
void IoDeleteDevice(PDEVICE_OBJECT device);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link);
void IofCompleteRequest(PIRP irp, CCHAR boost);
#define KeInitializeSpinLock(lock) (*(lock) = 0)
// A checked build's assertion: recorded as an event, so a test sees it fail and the walk goes on.
void KstubAssertionFailed(const char *expression);
#define NT_ASSERT(expression) ((expression) ? (void)0 : KstubAssertionFailed(#expression))
KIRQL KeAcquireSpinLockRaiseToDpc(KSPIN_LOCK *lock);
void KeReleaseSpinLock(KSPIN_LOCK *lock, KIRQL irql);

#include "splitwfp.h"

#endif // ZUMVARI_KSTUB_H
