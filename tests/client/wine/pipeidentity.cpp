// The Windows pipe check against real named pipes, run under Wine. This process serves them under an
// ordinary account, first with its token readable, then with the process closed to queries, so that
// the check has to fall back to the pipe's owner. Exits 0 when every check holds.
#include "serveridentity.h"

#include <windows.h>

#include <aclapi.h>
#include <cstdio>
#include <cwchar>
#include <initializer_list>

namespace {

int failures = 0;

void expect(bool holds, const char *what)
{
    std::printf("%s: %s\n", holds ? "ok" : "FAIL", what);
    failures += !holds;
}

// A connected pipe whose server end this process holds, owned by `owner` (null: this account). Each
// has a name of its own, since later instances of a name keep the first one's owner.
struct Pipe
{
    HANDLE server = INVALID_HANDLE_VALUE, client = INVALID_HANDLE_VALUE;
    explicit Pipe(PSID owner)
    {
        static int made = 0;
        wchar_t name[64];
        std::swprintf(name, 64, L"\\\\.\\pipe\\zumvari-identity-%lu-%d", GetCurrentProcessId(), ++made);
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
        server = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, &attributes);
        client = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ULONG served = 0;
        expect(GetNamedPipeServerProcessId(client, &served) && served == GetCurrentProcessId(),
               "a pipe served here");
    }
    ~Pipe()
    {
        CloseHandle(client);
        CloseHandle(server);
    }
};

} // namespace

int main()
{
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(closed);
    expect(!pipeServerIsService(INVALID_HANDLE_VALUE), "an invalid handle is refused");
    expect(!pipeServerIsService(nullptr), "a null handle is refused");
    expect(!pipeServerIsService(closed), "a closed handle is refused");
    expect(!pipeServerIsService(event), "a handle that is no pipe is refused");
    CloseHandle(event);

    // Only a privileged token may name the Administrators group as an owner; Wine's ordinary user may.
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    expect(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size), "the group's SID");
    for (const bool tokenReadable : {true, false}) {
        if (!tokenReadable) {
            ACL none;
            InitializeAcl(&none, sizeof none, ACL_REVISION);
            SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &none, nullptr);
            expect(!OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()),
                   "this process is closed to queries");
        }
        const Pipe own(nullptr), grouped(administrators);
        expect(!pipeServerIsService(own.client), "an ordinary account's pipe is refused");
        // The token, when it can be read, decides over the owner.
        expect(pipeServerIsService(grouped.client) == !tokenReadable,
               tokenReadable ? "the group's pipe is refused by the token" : "the group's pipe passes by its owner");
    }
    return failures == 0 ? 0 : 1;
}
