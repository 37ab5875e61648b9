/* A user-mode controller's view of the interface header: it must compile as C and as C++ after
 * <windows.h> and <winioctl.h>, and agree with their CTL_CODE (checked inside the header). */
#include <windows.h>
#include <winioctl.h>

#include "splitioctl.h"

int SplitControllerExample(HANDLE device)
{
    SPLIT_PROCESS_LIST list = {SPLIT_PROCESS_LIST_VERSION, 1, {0}};
    SPLIT_CONNECTION_RECORD record;
    SPLIT_ACK ack = {SPLIT_ACK_VERSION, 0, 0};
    DWORD returned = 0;
    list.processIds[0] = GetCurrentProcessId();
    if (!DeviceIoControl(device, IOCTL_SPLIT_SET_PROCESSES, &list, SPLIT_PROCESS_LIST_SIZE(1), NULL, 0,
                         &returned, NULL)) {
        return 0;
    }
    while (DeviceIoControl(device, IOCTL_SPLIT_GET_CONNECTION, NULL, 0, &record, sizeof(record), &returned,
                           NULL)) {
        ack.requestId = record.requestId;
        DeviceIoControl(device, IOCTL_SPLIT_ACK_CONNECTION, &ack, sizeof(ack), NULL, 0, &returned, NULL);
    }
    return GetLastError() == ERROR_NO_MORE_ITEMS;
}
