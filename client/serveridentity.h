#pragma once

// Who serves the control channel. The request may carry the tunnel's private key, so it goes only
// to an account an ordinary user cannot take. Plain C++ without Qt: the Windows side compiles on
// its own in the mingw-w64 check.

#include <cstddef>
#include <cstdint>

// Token users that only a service runs as: LocalSystem (S-1-5-18), LocalService (S-1-5-19),
// NetworkService (S-1-5-20) and a service's own virtual account NT SERVICE\<name>, S-1-5-80
// followed by the five sub-authorities of the name's hash. Groups such as S-1-5-80-0 (all
// services) are no token user. `authority` is the SID's 48-bit identifier authority.
inline bool isServiceAccountSid(std::uint64_t authority, const std::uint32_t *subAuthorities,
                                std::size_t count)
{
    constexpr std::uint64_t NtAuthority = 5;
    constexpr std::uint32_t LocalSystem = 18, LocalService = 19, NetworkService = 20, ServiceBase = 80;
    if (authority != NtAuthority || count == 0 || subAuthorities == nullptr)
        return false;
    const std::uint32_t first = subAuthorities[0];
    if (first == LocalSystem || first == LocalService || first == NetworkService)
        return count == 1;
    return first == ServiceBase && count == 6;
}

#ifdef _WIN32
// The process serving a connected named pipe runs under a service account. `pipe` is the pipe's
// HANDLE; it stays open. Anything that cannot be found out counts as no.
bool pipeServerIsService(void *pipe);
#else
// The peer of a connected Unix socket runs as root or as this process's effective user.
bool socketPeerIsRootOrSelf(int socket);
#endif
