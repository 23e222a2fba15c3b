// Translation of Windows' socket-level option numbers. This source includes only the
// system's header, so the names below are the system's values; Windows' are the literals.
#include "platform/platform_PosixSupport.h"

#include <sys/socket.h>

namespace {

const int windowsSocketLevel = 0xffff;
const int windowsLinger = 0x0080;
const int windowsPendingError = 0x1007;
const int windowsSendTimeout = 0x1005;
const int windowsReceiveTimeout = 0x1006;

struct OptionPair {
    int windowsOption;
    int systemOption;
};

const OptionPair socketLevelOptions[] = {
    {0x0001, SO_DEBUG},     {0x0002, SO_ACCEPTCONN}, {0x0004, SO_REUSEADDR}, {0x0008, SO_KEEPALIVE},
    {0x0010, SO_DONTROUTE}, {0x0020, SO_BROADCAST},  {0x0080, SO_LINGER},    {0x0100, SO_OOBINLINE},
    {0x1001, SO_SNDBUF},    {0x1002, SO_RCVBUF},     {0x1005, SO_SNDTIMEO},  {0x1006, SO_RCVTIMEO},
    {0x1007, SO_ERROR},     {0x1008, SO_TYPE},
};

} // namespace

namespace wsa_posix {

bool systemOption(int level, int option, int& systemLevel, int& systemOptionName) {
    // Levels other than the socket level (IPPROTO_TCP ...) share their numbers with Windows.
    if (level != windowsSocketLevel) {
        systemLevel = level;
        systemOptionName = option;
        return true;
    }
    for (const OptionPair& pair : socketLevelOptions) {
        if (pair.windowsOption == option) {
            systemLevel = SOL_SOCKET;
            systemOptionName = pair.systemOption;
            return true;
        }
    }
    return false;
}

bool isLingerOption(int level, int option) {
    return level == windowsSocketLevel && option == windowsLinger;
}

bool isTimeoutOption(int level, int option) {
    return level == windowsSocketLevel &&
           (option == windowsSendTimeout || option == windowsReceiveTimeout);
}

bool isErrorOption(int level, int option) {
    return level == windowsSocketLevel && option == windowsPendingError;
}

} // namespace wsa_posix
