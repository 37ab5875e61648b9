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

void SplitClassify(bool isV6, const FWPS_INCOMING_VALUES0 *inFixedValues,
                   const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues, FWPS_CLASSIFY_OUT0 *classifyOut)
{
    if ((classifyOut->rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
        return;
    }
    classifyOut->actionType = FWP_ACTION_PERMIT;
    if (!FWPS_IS_METADATA_FIELD_PRESENT(inMetaValues, FWPS_METADATA_FIELD_PROCESS_ID)) {
        return;
    }
    const UINT64 processId = inMetaValues->processId;
    if (!SplitIsTargetProcess(processId)) {
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

NTSTATUS SplitRegisterCallouts(PDEVICE_OBJECT deviceObject)
{
    NTSTATUS status = RegisterOne(deviceObject, SPLIT_CALLOUT_V4_KEY, SplitClassifyV4, &calloutIdV4);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RegisterOne(deviceObject, SPLIT_CALLOUT_V6_KEY, SplitClassifyV6, &calloutIdV6);
    if (!NT_SUCCESS(status)) {
        FwpsCalloutUnregisterById0(calloutIdV4);
        calloutIdV4 = 0;
        return status;
    }
    return STATUS_SUCCESS;
}

void SplitUnregisterCallouts()
{
    if (calloutIdV6 != 0) {
        FwpsCalloutUnregisterById0(calloutIdV6);
        calloutIdV6 = 0;
    }
    if (calloutIdV4 != 0) {
        FwpsCalloutUnregisterById0(calloutIdV4);
        calloutIdV4 = 0;
    }
}

void NTAPI SplitClassifyV4(const FWPS_INCOMING_VALUES0 *inFixedValues,
                           const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues, void *layerData,
                           const FWPS_FILTER0 *filter, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *classifyOut)
{
    (void)layerData;
    (void)filter;
    (void)flowContext;
    SplitClassify(false, inFixedValues, inMetaValues, classifyOut);
}

void NTAPI SplitClassifyV6(const FWPS_INCOMING_VALUES0 *inFixedValues,
                           const FWPS_INCOMING_METADATA_VALUES0 *inMetaValues, void *layerData,
                           const FWPS_FILTER0 *filter, UINT64 flowContext, FWPS_CLASSIFY_OUT0 *classifyOut)
{
    (void)layerData;
    (void)filter;
    (void)flowContext;
    SplitClassify(true, inFixedValues, inMetaValues, classifyOut);
}

NTSTATUS NTAPI SplitNotify(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID *filterKey, FWPS_FILTER0 *filter)
{
    (void)notifyType;
    (void)filterKey;
    (void)filter;
    return STATUS_SUCCESS;
}
