#include "serveridentity.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

bool socketPeerIsRootOrSelf(int socket)
{
    uid_t peer = 0;
#ifdef __linux__
    // The credentials the server had when it listened, kept by the kernel: they cannot be forged.
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || size != sizeof credentials)
        return false;
    peer = credentials.uid;
#else
    gid_t group = 0;
    if (::getpeereid(socket, &peer, &group) != 0)
        return false;
#endif
    return peer == 0 || peer == ::geteuid();
}
