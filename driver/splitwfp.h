// The few declarations of the WFP kernel client (fwpsk.h) that the callouts use, written from
// Microsoft's documentation of fwpsk.h/fwpstypes.h/fwptypes.h. Used only where the real fwpsk.h
// is absent: the mingw-w64 compile check and the user-mode stand-in. A WDK build never sees it.
//
// Expects the base kernel types (UINT8..UINT64, HANDLE, GUID, NTSTATUS, NTAPI) to be declared.
#ifndef ZUMVARI_SPLITWFP_H
#define ZUMVARI_SPLITWFP_H

#ifdef __cplusplus
extern "C" {
#endif

// fwptypes.h
#define FWP_ACTION_FLAG_TERMINATING 0x00001000
#define FWP_ACTION_BLOCK (0x00000001 | FWP_ACTION_FLAG_TERMINATING)
#define FWP_ACTION_PERMIT (0x00000002 | FWP_ACTION_FLAG_TERMINATING)
typedef UINT32 FWP_ACTION_TYPE;

typedef enum FWP_DATA_TYPE_ {
    FWP_EMPTY = 0,
    FWP_UINT8 = 1,
    FWP_UINT16 = 2,
    FWP_UINT32 = 3,
    FWP_UINT64 = 4,
    FWP_INT8 = 5,
    FWP_INT16 = 6,
    FWP_INT32 = 7,
    FWP_INT64 = 8,
    FWP_FLOAT = 9,
    FWP_DOUBLE = 10,
    FWP_BYTE_ARRAY16_TYPE = 11,
    FWP_BYTE_BLOB_TYPE = 12,
} FWP_DATA_TYPE;

typedef struct FWP_BYTE_ARRAY16_
{
    UINT8 byteArray16[16];
} FWP_BYTE_ARRAY16;

typedef struct FWP_BYTE_BLOB_
{
    UINT32 size;
    UINT8 *data;
} FWP_BYTE_BLOB;

// The documented union also holds float, double*, SID*, token and string pointers; all are at most
// pointer-sized, so leaving them out keeps the layout and keeps floating point out of the driver.
typedef struct FWP_VALUE0_
{
    FWP_DATA_TYPE type;
    union {
        UINT8 uint8;
        UINT16 uint16;
        UINT32 uint32;
        UINT64 *uint64;
        INT8 int8;
        INT16 int16;
        INT32 int32;
        INT64 *int64;
        FWP_BYTE_ARRAY16 *byteArray16;
        FWP_BYTE_BLOB *byteBlob;
    };
} FWP_VALUE0;

// fwpstypes.h / fwpsk.h
#define FWPS_RIGHT_ACTION_WRITE 0x00000001
#define FWPS_CLASSIFY_OUT_FLAG_ABSORB 0x00000001
#define FWPS_METADATA_FIELD_PROCESS_ID 0x00000020
#define FWPS_IS_METADATA_FIELD_PRESENT(metadataValues, metadataField)                                        \
    (((metadataValues)->currentMetadataValues & (metadataField)) == (metadataField))

typedef struct FWPS_CLASSIFY_OUT0_
{
    FWP_ACTION_TYPE actionType;
    UINT64 outContext;
    UINT64 filterId;
    UINT32 rights;
    UINT32 flags;
    UINT32 reserved;
} FWPS_CLASSIFY_OUT0;

typedef struct FWPS_INCOMING_VALUE0_
{
    FWP_VALUE0 value;
} FWPS_INCOMING_VALUE0;

typedef struct FWPS_INCOMING_VALUES0_
{
    UINT16 layerId;
    UINT32 valueCount;
    FWPS_INCOMING_VALUE0 *incomingValue;
} FWPS_INCOMING_VALUES0;

typedef enum FWPS_DISCARD_MODULE0_ {
    FWPS_DISCARD_MODULE_NETWORK = 0,
    FWPS_DISCARD_MODULE_TRANSPORT = 1,
    FWPS_DISCARD_MODULE_GENERAL = 2,
    FWPS_DISCARD_MODULE_MAX = 3
} FWPS_DISCARD_MODULE0;

typedef struct FWPS_DISCARD_METADATA0_
{
    FWPS_DISCARD_MODULE0 discardModule;
    UINT32 discardReason;
    UINT64 filterId;
} FWPS_DISCARD_METADATA0;

// Documented members up to processId. The later ones are left out: the callouts read only
// currentMetadataValues and processId and never allocate or copy this structure.
typedef struct FWPS_INCOMING_METADATA_VALUES0_
{
    UINT32 currentMetadataValues;
    UINT32 flags;
    UINT64 reserved;
    FWPS_DISCARD_METADATA0 discardMetadata;
    UINT64 flowHandle;
    UINT32 ipHeaderSize;
    UINT32 transportHeaderSize;
    FWP_BYTE_BLOB *processPath;
    UINT64 token;
    UINT64 processId;
} FWPS_INCOMING_METADATA_VALUES0;

// Run-time layer identifiers (FWPS_BUILTIN_LAYERS), only the two the callouts belong to.
typedef enum FWPS_BUILTIN_LAYERS_ {
    FWPS_LAYER_ALE_AUTH_CONNECT_V4 = 48,
    FWPS_LAYER_ALE_AUTH_CONNECT_V6 = 50,
} FWPS_BUILTIN_LAYERS;

// Field indices at the ALE connect-authorization layers (FWPS_FIELDS_ALE_AUTH_CONNECT_V4/_V6).
typedef enum FWPS_FIELDS_ALE_AUTH_CONNECT_V4_ {
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_APP_ID,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_USER_ID,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS_TYPE,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_PORT,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT,
} FWPS_FIELDS_ALE_AUTH_CONNECT_V4;

typedef enum FWPS_FIELDS_ALE_AUTH_CONNECT_V6_ {
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_ALE_APP_ID,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_ALE_USER_ID,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_LOCAL_ADDRESS,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_LOCAL_ADDRESS_TYPE,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_LOCAL_PORT,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_PROTOCOL,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_REMOTE_ADDRESS,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_REMOTE_PORT,
} FWPS_FIELDS_ALE_AUTH_CONNECT_V6;

typedef enum FWPS_CALLOUT_NOTIFY_TYPE_ {
    FWPS_CALLOUT_NOTIFY_ADD_FILTER,
    FWPS_CALLOUT_NOTIFY_DELETE_FILTER,
    FWPS_CALLOUT_NOTIFY_TYPE_MAX
} FWPS_CALLOUT_NOTIFY_TYPE;

typedef struct FWPS_FILTER0_ FWPS_FILTER0;
typedef struct _NET_BUFFER_LIST NET_BUFFER_LIST, *PNET_BUFFER_LIST;

// The callout function types are pointer types in fwpsk.h, and FWPS_CALLOUT0 holds them as such.
typedef void(NTAPI *FWPS_CALLOUT_CLASSIFY_FN0)(const FWPS_INCOMING_VALUES0 *inFixedValues,
                                               const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues,
                                               void *layerData, const FWPS_FILTER0 *filter,
                                               UINT64 flowContext, FWPS_CLASSIFY_OUT0 *classifyOut);
typedef NTSTATUS(NTAPI *FWPS_CALLOUT_NOTIFY_FN0)(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID *filterKey,
                                                 FWPS_FILTER0 *filter);
typedef void(NTAPI *FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0)(UINT16 layerId, UINT32 calloutId,
                                                         UINT64 flowContext);

typedef struct FWPS_CALLOUT0_
{
    GUID calloutKey;
    UINT32 flags;
    FWPS_CALLOUT_CLASSIFY_FN0 classifyFn;
    FWPS_CALLOUT_NOTIFY_FN0 notifyFn;
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 flowDeleteFn;
} FWPS_CALLOUT0;

NTSTATUS NTAPI FwpsCalloutRegister0(void *deviceObject, const FWPS_CALLOUT0 *callout, UINT32 *calloutId);
NTSTATUS NTAPI FwpsCalloutUnregisterById0(const UINT32 calloutId);
void NTAPI FwpsCompleteOperation0(HANDLE completionContext, PNET_BUFFER_LIST netBufferList);

#ifdef __cplusplus
}
#endif

#endif // ZUMVARI_SPLITWFP_H
