// The Windows pipe check against real named pipes, run under Wine. This process serves them under an
// ordinary account, first with its token readable, then with the process closed to queries, so that
// the check has to fall back to the pipe's owner. Exits 0 when every check holds.
#include "serveridentity.h"

#include <windows.h>

#include <aclapi.h>
#include <cstdio>
#include <initializer_list>

static int failures = 0;

static void expect(bool holds, const char *what)
{
    std::printf("%s: %s\n", holds ? "ok" : "FAIL", what);
    failures += !holds;
}

// The client end of a new pipe that this process serves (both ends stay open until it exits), owned by
// `owner`, null for this account. Names are not reused: later instances of a name keep the first's owner.
static HANDLE servedPipe(PSID owner)
{
    static wchar_t name[] = L"\\\\.\\pipe\\zumvari-identity-@";
    ++name[sizeof name / sizeof *name - 2]; // -A, -B, ...
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, &attributes);
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

int main()
{
    const HANDLE closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(closed);
    for (const HANDLE handle : {INVALID_HANDLE_VALUE, HANDLE(nullptr), closed, GetCurrentProcess()})
        expect(!pipeServerIsService(handle), "an invalid, null or closed handle, or no pipe, is refused");

    // Wine lets an ordinary user make the Administrators group a pipe's owner (Windows: privileged tokens).
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
    for (const bool tokenReadable : {true, false}) {
        if (!tokenReadable) {
            ACL none;
            InitializeAcl(&none, sizeof none, ACL_REVISION);
            SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &none, nullptr);
            expect(!OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()),
                   "no queries");
        }
        expect(!pipeServerIsService(servedPipe(nullptr)), "an ordinary account's pipe is refused");
        // The token, when it can be read, decides over the owner.
        expect(pipeServerIsService(servedPipe(administrators)) == !tokenReadable,
               tokenReadable ? "the group's pipe is refused by the token"
                             : "the group's pipe passes by its owner");
    }
    return failures == 0 ? 0 : 1;
}
