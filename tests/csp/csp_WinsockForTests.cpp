// Windows answers name lookups only while its socket service is started, and closes every
// socket when its last user stops the service. A host with sockets of its own keeps the service
// running; the tests do the same for the whole program, so that lookups made outside any
// socket's life, and sockets left open on purpose, behave as they do in such a host.
#if defined(_WIN32)

#include "platform/platform_Sockets.h"

#include <gtest/gtest.h>

namespace {

class WinsockStarted : public ::testing::Environment {
public:
    void SetUp() override {
        wsa::WSADATA data;
        ASSERT_EQ(wsa::WSAStartup(MAKEWORD(2, 0), &data), 0);
    }
    void TearDown() override { wsa::WSACleanup(); }
};

::testing::Environment* const winsock = ::testing::AddGlobalTestEnvironment(new WinsockStarted);

} // namespace

#endif
