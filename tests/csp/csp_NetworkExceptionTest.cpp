#include "csp/csp_Host.h"
#include "csp/impl/csp_NetworkEx.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(NetworkException, NamesAndMessagesCoverExactlyTheTenCodes) {
    struct Expected {
        int code;
        const char* name;
        const char* message;
    };
    const Expected table[] = {
        {0, "invalid_address", "An unknown or invalid address was supplied."},
        {1, "invalid_host", "Unknown or invalid host name was supplied."},
        {2, "invalid_network", "An invalid network name was supplied."},
        {3, "invalid_service", "An invalid service name was supplied."},
        {4, "read_failed", "A read operation failed."},
        {5, "write_failed", "A write operation failed."},
        {6, "socket_path_exceeded", "File path exceeded the system limit."},
        {7, "eof_encountered", "An end of file marker was detected while reading from a stream."},
        {8, "system_call_failure", "The operating system reported a failure during a system call."},
        {9, "system_call_timout", "The call made to the operating system has timed out."},
    };
    for (const Expected& row : table) {
        SCOPED_TRACE(row.code);
        ASSERT_NE(csp_NetworkException::getCodeName(row.code), nullptr);
        EXPECT_STREQ(csp_NetworkException::getCodeName(row.code), row.name);
        EXPECT_EQ(csp_NetworkException::getCodeMessage(row.code), row.message);
        EXPECT_EQ(csp_NetworkException(row.code, "x").getMessage(), row.message);
    }
    for (int outside : {-1, 10, 1000, -2147483647 - 1}) {
        SCOPED_TRACE(outside);
        EXPECT_EQ(csp_NetworkException::getCodeName(outside), nullptr);
        EXPECT_TRUE(csp_NetworkException::getCodeMessage(outside).IsEmpty());
    }
    EXPECT_EQ(csp_NetworkException::system_call_timout, 9);
}

TEST(NetworkException, ThrowErrorPrefixesTheCodeAndReportsItsOwnSourceFile) {
    struct Case {
        int code;
        const char* detail;
        const char* text;
    };
    const Case cases[] = {
        {4, "socket_error", "4:socket_error"}, {5, "socket_error", "5:socket_error"}, {7, "", "7:"},
        {1, "no host here", "1:no host here"}, {0, "300.1.1.1", "0:300.1.1.1"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.text);
        try {
            csp_NetworkException::throwError(row.code, row.detail);
            ADD_FAILURE() << "nothing was thrown";
        } catch (const csp_NetworkException& raised) {
            EXPECT_EQ(raised.getCode(), row.code);
            EXPECT_EQ(raised.Text(), row.text);
            EXPECT_STREQ(raised.SourceFile(), "csp/impl/csp_NetworkEx");
            EXPECT_GT(raised.SourceLine(), 0);
        }
    }
}

TEST(NetworkException, RaisedAndCopiedThroughTheBaseItKeepsItsTypeAndCode) {
    const csp_NetworkException original(5, "5:socket_error");
    const nex_Exception& base = original;

    std::unique_ptr<nex_Exception> copy(base.Copy());
    const auto* copied = dynamic_cast<const csp_NetworkException*>(copy.get());
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(copied->getCode(), 5);
    EXPECT_EQ(copied->Text(), "5:socket_error");

    try {
        csp_NetworkException raised(8, "Error in csp_Socket::bind");
        raised.Throw("somewhere", 12);
    } catch (const csp_NetworkException& caught) {
        EXPECT_EQ(caught.getCode(), 8);
        EXPECT_STREQ(caught.SourceFile(), "somewhere");
        EXPECT_EQ(caught.SourceLine(), 12);
    }
}

TEST(SocketModule, OnlyTheFirstStartAndTheLastFinishMoveTheCounterAndReleaseTheLocalHost) {
    int modules = 3;
    csp_initialize(modules);
    csp_initialize(modules);
    EXPECT_EQ(modules, 4);

    const csp_Host local = csp_Host::localHost();
    EXPECT_TRUE(local.isDefined());
    EXPECT_TRUE(csp_Host::hasLocalHost());

    csp_finalize(modules);
    EXPECT_EQ(modules, 4);
    EXPECT_TRUE(csp_Host::hasLocalHost());

    csp_finalize(modules);
    EXPECT_EQ(modules, 3);
    EXPECT_FALSE(csp_Host::hasLocalHost());

    // An unpaired finish changes nothing; a later use builds the record again.
    csp_finalize(modules);
    EXPECT_EQ(modules, 3);
    EXPECT_EQ(csp_Host::localHost().getName(), local.getName());
    EXPECT_TRUE(csp_Host::hasLocalHost());
    csp_Host::releaseLocalHost();
}

} // namespace
