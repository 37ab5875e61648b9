// The account behind the server end of a named pipe, in plain Win32.

#include "serveridentity.h"

#include <windows.h>

#include <aclapi.h>

namespace {

enum class Account { Service, Other, Unknown };

bool isServiceSid(PSID sid)
{
    if (sid == nullptr || !IsValidSid(sid))
        return false;
    std::uint64_t authority = 0;
    for (const BYTE part : GetSidIdentifierAuthority(sid)->Value) // most significant byte first
        authority = (authority << 8) | part;
    const DWORD count = *GetSidSubAuthorityCount(sid);
    std::uint32_t subAuthorities[SID_MAX_SUB_AUTHORITIES] = {};
    for (DWORD i = 0; i < count && i < SID_MAX_SUB_AUTHORITIES; ++i)
        subAuthorities[i] = *GetSidSubAuthority(sid, i);
    return isServiceAccountSid(authority, subAuthorities, count);
}

Account processUser(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr)
        return Account::Unknown;
    HANDLE token = nullptr;
    const BOOL opened = OpenProcessToken(process, TOKEN_QUERY, &token);
    CloseHandle(process);
    if (!opened)
        return Account::Unknown;
    // The token's user and the SID it points to, which never exceeds SECURITY_MAX_SID_SIZE.
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    const BOOL queried = GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size);
    CloseHandle(token);
    if (!queried)
        return Account::Unknown;
    return isServiceSid(buffer.user.User.Sid) ? Account::Service : Account::Other;
}

// Only the creator's own account can own a pipe it creates (another owner needs a privilege an
// ordinary user lacks), so the owner also names the server's account. A LocalSystem token may
// make the Administrators group the owner; an ordinary user's token cannot.
bool pipeOwnerIsService(HANDLE pipe)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    const bool service = isServiceSid(owner) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
    LocalFree(descriptor);
    return service;
}

} // namespace

bool pipeServerIsService(HANDLE pipe)
{
    ULONG serverProcessId = 0;
    if (pipe == nullptr || pipe == INVALID_HANDLE_VALUE ||
        !GetNamedPipeServerProcessId(pipe, &serverProcessId))
        return false;
    switch (processUser(serverProcessId)) {
    case Account::Service:
        return true;
    case Account::Other:
        return false;
    case Account::Unknown:
        break;
    }
    // A client without elevation is usually denied the token of a process on another account,
    // LocalSystem's above all; the pipe's owner then tells the same.
    return pipeOwnerIsService(pipe);
}
