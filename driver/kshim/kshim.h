// User-mode stand-in for the subset of the WDK and the WFP kernel client that the driver uses.
// Test scaffolding for non-Windows builds; never shipped. Names, types and constants follow the
// WDK's so that the driver compiles unchanged; only what the driver touches is modelled.
// The test-facing side (recording, failure injection, I/O manager, filter engine) is kshimtest.h.
#ifndef ZUMVARI_KSHIM_H
#define ZUMVARI_KSHIM_H

#if defined(_WIN32)
#error "kshim is the non-Windows stand-in; Windows builds use the WDK"
#endif

#include <stddef.h>
#include <stdint.h>

#define NTAPI

typedef char CHAR, CCHAR;
typedef signed char INT8;
typedef unsigned char UCHAR, UINT8, BOOLEAN;
typedef short SHORT, INT16;
typedef unsigned short USHORT, UINT16;
typedef int LONG, INT32;
typedef unsigned int ULONG, UINT32;
typedef long long LONGLONG, INT64;
typedef unsigned long long ULONGLONG, UINT64;
typedef uintptr_t ULONG_PTR;
typedef void *PVOID, *HANDLE;
typedef wchar_t WCHAR;
typedef WCHAR *PWSTR;
typedef const WCHAR *PCWSTR;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;

#define TRUE 1
#define FALSE 0

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID
{
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;
#endif
typedef const GUID *LPCGUID;

#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_FWP_CALLOUT_NOT_FOUND ((NTSTATUS)0xC0220001L)
#define STATUS_FWP_ALREADY_EXISTS ((NTSTATUS)0xC0220009L)

#define PASSIVE_LEVEL 0
#define DISPATCH_LEVEL 2

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access)                                                       \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define IO_NO_INCREMENT 0

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

typedef struct _UNICODE_STRING
{
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _IRP IRP, *PIRP;

typedef NTSTATUS NTAPI DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
typedef void NTAPI DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;
typedef NTSTATUS NTAPI DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH;

struct _DRIVER_OBJECT
{
    PDEVICE_OBJECT DeviceObject; // devices of this driver, newest first
    PUNICODE_STRING DriverName;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct _DEVICE_OBJECT
{
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    ULONG Flags;
    ULONG Characteristics;
    DEVICE_TYPE DeviceType;
    PVOID DeviceExtension;
};

typedef struct _IO_STATUS_BLOCK
{
    NTSTATUS Status;
    ULONG_PTR Information;
} IO_STATUS_BLOCK;

typedef struct _IO_STACK_LOCATION
{
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct
        {
            ACCESS_MASK DesiredAccess;
        } Create;
        struct
        {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

struct _IRP
{
    IO_STATUS_BLOCK IoStatus;
    union {
        PVOID SystemBuffer;
    } AssociatedIrp;
    PVOID UserBuffer;
    PIO_STACK_LOCATION CurrentStackLocation;
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    return Irp->CurrentStackLocation;
}

#ifdef __cplusplus
extern "C" {
#endif

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

NTSTATUS NTAPI IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                    PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                    ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                    PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                                    PDEVICE_OBJECT *DeviceObject);
void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
void NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);

#ifdef __cplusplus
}
#endif

#include "../splitwfp.h"

#endif // ZUMVARI_KSHIM_H
