#include "platform.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

bool PLAT_AcquireInstanceLock(const char *pcName)
{
    int iFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (iFd < 0) {
        return false;
    }
    sockaddr_un stAddr{};
    stAddr.sun_family = AF_UNIX;
    // Abstract namespace: a leading NUL, then the name without a terminator.
    size_t uiLen = strnlen(pcName, sizeof(stAddr.sun_path) - 1);
    memcpy(stAddr.sun_path + 1, pcName, uiLen);
    socklen_t uiAddrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + uiLen);
    if (bind(iFd, reinterpret_cast<sockaddr *>(&stAddr), uiAddrLen) != 0) {
        close(iFd);
        return false;
    }
    // The descriptor stays open on purpose: it is the lock.
    return true;
}
