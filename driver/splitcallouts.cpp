#include "splitdriver.h"
#include "splittables.h"

#include <string.h>

UINT32 calloutIdV4 = 0;
UINT32 calloutIdV6 = 0;

// Both callouts run at the ALE connect-authorization layers, where the fields sit at 5, 6 and 7
// for IPv4 and IPv6 alike; one reader serves both.
static_assert(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL == 5, "protocol index");
static_assert(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS == 6, "remote address index");
static_assert(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT == 7, "remote port index");
static_assert(static_cast<int>(FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_PROTOCOL) ==
                  static_cast<int>(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL),
              "IPv6 protocol index");
static_assert(static_cast<int>(FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_REMOTE_ADDRESS) ==
                  static_cast<int>(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS),
              "IPv6 remote address index");
static_assert(static_cast<int>(FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_REMOTE_PORT) ==
                  static_cast<int>(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT),
              "IPv6 remote port index");

namespace {

NTSTATUS RegisterOne(PDEVICE_OBJECT deviceObject, const GUID &key, FWPS_CALLOUT_CLASSIFY_FN0 classifyFn,
                     UINT32 *calloutId)
{
    FWPS_CALLOUT0 callout;
    memset(&callout, 0, sizeof(callout));
    callout.calloutKey = key;
    callout.flags = 0;
    callout.classifyFn = classifyFn;
    callout.notifyFn = SplitNotify;
    callout.flowDeleteFn = nullptr;
    return FwpsCalloutRegister0(deviceObject, &callout, calloutId);
}

// Unregistration fails only for an unknown id or a flow that still holds a context, and this driver
// keeps its ids and sets no flow contexts: a failure is a fault of ours, worth a checked build's stop.
void UnregisterOne(UINT32 *calloutId)
{
    if (*calloutId == 0) {
        return;
    }
    const NTSTATUS status = FwpsCalloutUnregisterById0(*calloutId);
    NT_ASSERT(NT_SUCCESS(status));
    (void)status;
    *calloutId = 0;
}

// The fields are read only at the connect-authorization layer of the callout's family and only
// with the types the record needs. A filter that sends another layer to the callout would
// otherwise hand over, say, an IPv4 address where the IPv6 callout expects a pointer.
bool HasConnectValues(bool isV6, const FWPS_INCOMING_VALUES0 *inFixedValues)
{
    const FWPS_INCOMING_VALUE0 *values = inFixedValues->incomingValue;
    if (inFixedValues->layerId != (isV6 ? FWPS_LAYER_ALE_AUTH_CONNECT_V6 : FWPS_LAYER_ALE_AUTH_CONNECT_V4) ||
        inFixedValues->valueCount <= static_cast<UINT32>(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT) ||
        values == nullptr) {
        return false;
    }
    const FWP_VALUE0 &address = values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS].value;
    const bool addressFits = isV6 ? address.type == FWP_BYTE_ARRAY16_TYPE && address.byteArray16 != nullptr
                                  : address.type == FWP_UINT32;
    return addressFits && values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL].value.type == FWP_UINT8 &&
           values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT].value.type == FWP_UINT16;
}

_IRQL_requires_max_(DISPATCH_LEVEL) void SplitClassify(bool isV6, const FWPS_INCOMING_VALUES0 *inFixedValues,
                                                       const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues,
                                                       FWPS_CLASSIFY_OUT0 *classifyOut)
{
    if ((classifyOut->rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
        return;
    }
    classifyOut->actionType = FWP_ACTION_PERMIT;
    if (!FWPS_IS_METADATA_FIELD_PRESENT(inMetaValues, FWPS_METADATA_FIELD_PROCESS_ID)) {
        return;
    }
    const UINT64 processId = inMetaValues->processId;
    if (!SplitIsTargetProcess(processId) || !HasConnectValues(isV6, inFixedValues)) {
        return;
    }

    const FWPS_INCOMING_VALUE0 *values = inFixedValues->incomingValue;
    const UINT8 protocol = values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL].value.uint8;
    const UINT16 remotePort = values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT].value.uint16;
    const FWP_VALUE0 &remoteAddress = values[FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS].value;
    SPLIT_CONNECTION_RECORD record;
    if (isV6) {
        SplitBuildRecordV6(&record, processId, protocol, remoteAddress.byteArray16->byteArray16, remotePort);
    } else {
        SplitBuildRecordV4(&record, processId, protocol, remoteAddress.uint32, remotePort);
    }

    if (SplitHoldConnection(&record)) {
        classifyOut->actionType = FWP_ACTION_BLOCK;
        classifyOut->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
    }
}

} // namespace

_Use_decl_annotations_ NTSTATUS SplitRegisterCallouts(PDEVICE_OBJECT deviceObject)
{
    NTSTATUS status = RegisterOne(deviceObject, SPLIT_CALLOUT_V4_KEY, SplitClassifyV4, &calloutIdV4);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RegisterOne(deviceObject, SPLIT_CALLOUT_V6_KEY, SplitClassifyV6, &calloutIdV6);
    if (!NT_SUCCESS(status)) {
        UnregisterOne(&calloutIdV4);
        return status;
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ void SplitUnregisterCallouts()
{
    UnregisterOne(&calloutIdV6);
    UnregisterOne(&calloutIdV4);
}

_Use_decl_annotations_ void NTAPI SplitClassifyV4(const FWPS_INCOMING_VALUES0 *inFixedValues,
                                                  const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues,
                                                  void *layerData, const FWPS_FILTER0 *filter,
                                                  UINT64 flowContext, FWPS_CLASSIFY_OUT0 *classifyOut)
{
    (void)layerData;
    (void)filter;
    (void)flowContext;
    SplitClassify(false, inFixedValues, inMetaValues, classifyOut);
}

_Use_decl_annotations_ void NTAPI SplitClassifyV6(const FWPS_INCOMING_VALUES0 *inFixedValues,
                                                  const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues,
                                                  void *layerData, const FWPS_FILTER0 *filter,
                                                  UINT64 flowContext, FWPS_CLASSIFY_OUT0 *classifyOut)
{
    (void)layerData;
    (void)filter;
    (void)flowContext;
    SplitClassify(true, inFixedValues, inMetaValues, classifyOut);
}

_Use_decl_annotations_ NTSTATUS NTAPI SplitNotify(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID *filterKey,
                                                  FWPS_FILTER0 *filter)
{
    (void)notifyType;
    (void)filterKey;
    (void)filter;
    return STATUS_SUCCESS;
}
