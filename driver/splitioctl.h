// ZumvariSplit control interface: what a controller needs to talk to the driver.
//
// Usable from kernel mode, from a Windows user-mode controller (after <windows.h> and
// <winioctl.h>, or on its own) and from C as well as C++. Every record is little-endian
// with no padding between fields; the asserts below pin each size and offset.
#ifndef ZUMVARI_SPLITIOCTL_H
#define ZUMVARI_SPLITIOCTL_H

#include <stddef.h>

#if defined(_WIN32)
#include <guiddef.h>
#elif !defined(GUID_DEFINED)
#define GUID_DEFINED
// Same layout as Windows' GUID (Data1 is 32 bits there too).
typedef struct _GUID
{
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;
#endif

#ifdef __cplusplus
#define SPLIT_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define SPLIT_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

typedef unsigned char SPLIT_U8;
typedef unsigned short SPLIT_U16;
typedef unsigned int SPLIT_U32;
typedef unsigned long long SPLIT_U64;

SPLIT_STATIC_ASSERT(sizeof(SPLIT_U8) == 1 && sizeof(SPLIT_U16) == 2, "field widths");
SPLIT_STATIC_ASSERT(sizeof(SPLIT_U32) == 4 && sizeof(SPLIT_U64) == 8, "field widths");

// Names. User mode opens the link as \\.\ZumvariSplit.
#define SPLIT_DEVICE_NAME L"\\Device\\ZumvariSplit"
#define SPLIT_DOS_DEVICE_NAME L"\\DosDevices\\ZumvariSplit"
#define SPLIT_WIN32_DEVICE_PATH L"\\\\.\\ZumvariSplit"

// Control codes: device type 0x8000, METHOD_BUFFERED, built by the CTL_CODE rule
// (type << 16 | access << 14 | function << 2 | method).
#define SPLIT_DEVICE_TYPE 0x8000u
#define SPLIT_METHOD_BUFFERED 0u
#define SPLIT_FILE_READ_ACCESS 0x0001u
#define SPLIT_FILE_WRITE_ACCESS 0x0002u
#define SPLIT_CTL_CODE(function, access)                                                                     \
    ((SPLIT_DEVICE_TYPE << 16) | ((access) << 14) | ((function) << 2) | SPLIT_METHOD_BUFFERED)

#define IOCTL_SPLIT_SET_PROCESSES SPLIT_CTL_CODE(0x801u, SPLIT_FILE_WRITE_ACCESS)
#define IOCTL_SPLIT_GET_CONNECTION SPLIT_CTL_CODE(0x802u, SPLIT_FILE_READ_ACCESS)
#define IOCTL_SPLIT_ACK_CONNECTION SPLIT_CTL_CODE(0x803u, SPLIT_FILE_WRITE_ACCESS)

SPLIT_STATIC_ASSERT(IOCTL_SPLIT_SET_PROCESSES == 0x8000A004u, "IOCTL_SPLIT_SET_PROCESSES");
SPLIT_STATIC_ASSERT(IOCTL_SPLIT_GET_CONNECTION == 0x80006008u, "IOCTL_SPLIT_GET_CONNECTION");
SPLIT_STATIC_ASSERT(IOCTL_SPLIT_ACK_CONNECTION == 0x8000A00Cu, "IOCTL_SPLIT_ACK_CONNECTION");

// Where the platform's own macro is in scope, it must agree with ours.
#if defined(CTL_CODE) && defined(METHOD_BUFFERED) && defined(FILE_READ_ACCESS) && defined(FILE_WRITE_ACCESS)
SPLIT_STATIC_ASSERT(IOCTL_SPLIT_SET_PROCESSES ==
                        (SPLIT_U32)CTL_CODE(SPLIT_DEVICE_TYPE, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS),
                    "CTL_CODE disagrees");
SPLIT_STATIC_ASSERT(IOCTL_SPLIT_GET_CONNECTION ==
                        (SPLIT_U32)CTL_CODE(SPLIT_DEVICE_TYPE, 0x802, METHOD_BUFFERED, FILE_READ_ACCESS),
                    "CTL_CODE disagrees");
SPLIT_STATIC_ASSERT(IOCTL_SPLIT_ACK_CONNECTION ==
                        (SPLIT_U32)CTL_CODE(SPLIT_DEVICE_TYPE, 0x803, METHOD_BUFFERED, FILE_WRITE_ACCESS),
                    "CTL_CODE disagrees");
#endif

// Limits and fixed values.
#define SPLIT_MAX_PROCESSES 128u
#define SPLIT_MAX_CONNECTIONS 512u
#define SPLIT_PROCESS_LIST_VERSION 1u
#define SPLIT_ACK_VERSION 1u
#define SPLIT_CONNECTION_RECORD_VERSION 1u
#define SPLIT_FAMILY_IPV4 2u  // AF_INET
#define SPLIT_FAMILY_IPV6 23u // AF_INET6 on Windows

// Input of IOCTL_SPLIT_SET_PROCESSES: send SPLIT_PROCESS_LIST_SIZE(count) bytes.
typedef struct SPLIT_PROCESS_LIST
{
    SPLIT_U32 version; // SPLIT_PROCESS_LIST_VERSION
    SPLIT_U32 count;   // 0 to SPLIT_MAX_PROCESSES
    SPLIT_U64 processIds[SPLIT_MAX_PROCESSES];
} SPLIT_PROCESS_LIST;

#define SPLIT_PROCESS_LIST_HEADER_SIZE 8u
#define SPLIT_PROCESS_LIST_SIZE(count) (SPLIT_PROCESS_LIST_HEADER_SIZE + 8u * (count))

SPLIT_STATIC_ASSERT(offsetof(SPLIT_PROCESS_LIST, version) == 0, "SPLIT_PROCESS_LIST.version");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_PROCESS_LIST, count) == 4, "SPLIT_PROCESS_LIST.count");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_PROCESS_LIST, processIds) == SPLIT_PROCESS_LIST_HEADER_SIZE,
                    "SPLIT_PROCESS_LIST.processIds");
SPLIT_STATIC_ASSERT(sizeof(SPLIT_PROCESS_LIST) == SPLIT_PROCESS_LIST_SIZE(SPLIT_MAX_PROCESSES),
                    "SPLIT_PROCESS_LIST size");

// Input of IOCTL_SPLIT_ACK_CONNECTION.
typedef struct SPLIT_ACK
{
    SPLIT_U32 version;   // SPLIT_ACK_VERSION
    SPLIT_U32 reserved;  // not read
    SPLIT_U64 requestId; // from a record taken with IOCTL_SPLIT_GET_CONNECTION
} SPLIT_ACK;

SPLIT_STATIC_ASSERT(offsetof(SPLIT_ACK, version) == 0, "SPLIT_ACK.version");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_ACK, reserved) == 4, "SPLIT_ACK.reserved");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_ACK, requestId) == 8, "SPLIT_ACK.requestId");
SPLIT_STATIC_ASSERT(sizeof(SPLIT_ACK) == 16, "SPLIT_ACK size");

// Output of IOCTL_SPLIT_GET_CONNECTION and key record of the connection table.
typedef struct SPLIT_CONNECTION_RECORD
{
    SPLIT_U32 version;   // SPLIT_CONNECTION_RECORD_VERSION
    SPLIT_U32 family;    // SPLIT_FAMILY_IPV4 or SPLIT_FAMILY_IPV6
    SPLIT_U64 requestId; // assigned when queued, never reused while the driver is loaded
    SPLIT_U64 processId;
    SPLIT_U8 protocol; // IP protocol number
    SPLIT_U8 reserved1[5];
    SPLIT_U16 remotePort; // host byte order
    SPLIT_U8 reserved2[16];
    // IPv4: the address most significant byte first, then 12 zero bytes; IPv6: the 16 bytes.
    SPLIT_U8 remoteAddress[16];
} SPLIT_CONNECTION_RECORD;

SPLIT_STATIC_ASSERT(offsetof(SPLIT_CONNECTION_RECORD, version) == 0, "record.version");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_CONNECTION_RECORD, family) == 4, "record.family");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_CONNECTION_RECORD, requestId) == 8, "record.requestId");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_CONNECTION_RECORD, processId) == 16, "record.processId");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_CONNECTION_RECORD, protocol) == 24, "record.protocol");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_CONNECTION_RECORD, reserved1) == 25, "record.reserved1");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_CONNECTION_RECORD, remotePort) == 30, "record.remotePort");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_CONNECTION_RECORD, reserved2) == 32, "record.reserved2");
SPLIT_STATIC_ASSERT(offsetof(SPLIT_CONNECTION_RECORD, remoteAddress) == 48, "record.remoteAddress");
SPLIT_STATIC_ASSERT(sizeof(SPLIT_CONNECTION_RECORD) == 64, "SPLIT_CONNECTION_RECORD size");

// {25430D91-F9CF-438A-B9B0-6CDA61EDE089}: class of the control device.
static const GUID SPLIT_DEVICE_CLASS_GUID = {
    0x25430d91, 0xf9cf, 0x438a, {0xb9, 0xb0, 0x6c, 0xda, 0x61, 0xed, 0xe0, 0x89}};
// {11AE83EC-749D-4A12-932F-789A62879531}: IPv4 callout; the controller adds its callout object and filters
// under it.
static const GUID SPLIT_CALLOUT_V4_KEY = {
    0x11ae83ec, 0x749d, 0x4a12, {0x93, 0x2f, 0x78, 0x9a, 0x62, 0x87, 0x95, 0x31}};
// {8357822A-2F8C-42E6-A3D8-71AFD345587C}: IPv6 callout.
static const GUID SPLIT_CALLOUT_V6_KEY = {
    0x8357822a, 0x2f8c, 0x42e6, {0xa3, 0xd8, 0x71, 0xaf, 0xd3, 0x45, 0x58, 0x7c}};

#endif // ZUMVARI_SPLITIOCTL_H
