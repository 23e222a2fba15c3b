#include "csp/csp_Host.h"
#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp_TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using csp_test::printed;

namespace {

in_addr networkOrder(unsigned hostOrder) {
    in_addr value;
    value.s_addr = htonl(hostOrder);
    return value;
}

// None of these texts reaches a name server: they are numeric, in the hosts file, or
// refused by the resolver before it asks one.
TEST(IpAddress, TextTakesTheDottedPathOnlyWithDigitsAndExactlyThreeDots) {
    struct Case {
        const char* text;
        int expectedCode; // -1: converts
        unsigned hostOrder;
    };
    const Case cases[] = {
        {"127.0.0.1", -1, 0x7f000001u},
        {"10.0.0.7", -1, 0x0a000007u},
        {"0.0.0.0", -1, 0u},
        {"localhost", -1, 0x7f000001u},
        {"1.2.3", -1, 0x01020003u}, // two dots: resolved, numerically
        {"1.2.3.4.5", 1, 0},        // four dots: looked up, unknown
        {"1.2.3.4!", 1, 0},         // the last character is examined too
        {"bad name!", 1, 0},        //
        {"300.1.1.1", 0, 0},        // dotted, refused by the conversion
        {"1..2.3", 0, 0},           //
        {"255.255.255.255", 0, 0},  // the conversion's own rejection value
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.text);
        if (row.expectedCode < 0) {
            const csp_IpAddress address{cow_String(row.text)};
            EXPECT_EQ(static_cast<unsigned>(address.getHostOrder()), row.hostOrder);
            continue;
        }
        try {
            const csp_IpAddress address{cow_String(row.text)};
            ADD_FAILURE() << "converted to " << address.getHostOrder();
        } catch (const csp_NetworkException& raised) {
            EXPECT_EQ(raised.getCode(), row.expectedCode);
            EXPECT_EQ(std::string(raised.Text().c_str()),
                      std::to_string(row.expectedCode) + ":" + row.text);
            EXPECT_STREQ(raised.SourceFile(), "csp/impl/csp_NetworkEx");
        }
    }
}

TEST(IpAddress, EmptyTextIsTheLocalMachine) {
    const csp_IpAddress local{cow_String("")};
    EXPECT_TRUE(local.isDefined());
    EXPECT_EQ(local, csp_IpAddress::localAddress());
    EXPECT_TRUE(local.isLocal());
    EXPECT_FALSE(csp_IpAddress(0xc0000201u).isLocal()); // 192.0.2.1, documentation only
}

TEST(IpAddress, ValueOrderAndPrintedForm) {
    const csp_IpAddress any;
    EXPECT_FALSE(any.isDefined());
    EXPECT_EQ(any.toString(), "IpAddress( ANY )");
    EXPECT_EQ(printed(any), "IpAddress( ANY )");

    const csp_IpAddress alpha(0x0a000007u);
    EXPECT_TRUE(alpha.isDefined());
    EXPECT_EQ(printed(alpha), "IpAddress( 10.0.0.7 )");
    EXPECT_EQ(alpha.getHostOrder(), 0x0a000007);
    EXPECT_EQ(alpha.getInAddr().s_addr, htonl(0x0a000007u));
    EXPECT_EQ(csp_IpAddress(networkOrder(0x0a000007u)), alpha);

    // Compared as signed host-order values.
    const csp_IpAddress high(0x80000000u);
    EXPECT_TRUE(high < any);
    EXPECT_TRUE(any < alpha);
    EXPECT_FALSE(alpha < alpha);
    EXPECT_NE(alpha, high);
}

TEST(SocketAddress, PortAddressFamilyAndPrintedForm) {
    const csp_SocketAddress unset(0);
    EXPECT_FALSE(unset.isDefined());
    EXPECT_TRUE(unset.isInetFamily());
    EXPECT_EQ(printed(unset), "SocketAddress( IpAddress( ANY ), port 0 )");
    EXPECT_EQ(printed(csp_SocketAddress(5000)), "SocketAddress( IpAddress( ANY ), port 5000 )");

    csp_SocketAddress address(csp_IpAddress(0x0a000007u), 80);
    EXPECT_TRUE(address.isDefined());
    EXPECT_EQ(printed(address), "SocketAddress( IpAddress( 10.0.0.7 ), port 80 )");
    EXPECT_EQ(address.getIpAddress(), csp_IpAddress(0x0a000007u));

    address.setPort(70000);
    EXPECT_EQ(address.getPort(), 4464);
    address.setPort(65535);
    EXPECT_EQ(address.getPort(), 65535);

    const sockaddr_in block = address;
    EXPECT_EQ(block.sin_family, AF_INET);
    EXPECT_EQ(block.sin_port, htons(65535));
    EXPECT_EQ(block.sin_addr.s_addr, htonl(0x0a000007u));
    EXPECT_EQ(csp_SocketAddress::getLength(), 16);
}

TEST(SocketAddress, CopiesOwnTheirBlockAndCompareByPortThenAddress) {
    csp_SocketAddress original(csp_IpAddress(0x0a000007u), 80);
    csp_SocketAddress copy(original);
    copy.setPort(81);
    EXPECT_EQ(original.getPort(), 80);

    csp_SocketAddress assigned(1);
    assigned = original;
    assigned.setIpAddress(csp_IpAddress(0x0a000008u));
    EXPECT_EQ(original.getIpAddress(), csp_IpAddress(0x0a000007u));
    assigned = assigned;
    EXPECT_EQ(assigned.getIpAddress(), csp_IpAddress(0x0a000008u));

    // Family is not compared.
    sockaddr_in other = original;
    other.sin_family = 1;
    const csp_SocketAddress otherFamily(other);
    EXPECT_TRUE(otherFamily.isUnixFamily());
    EXPECT_FALSE(otherFamily.isInetFamily());
    EXPECT_EQ(otherFamily, original);

    // Port first; for equal ports the signed host-order address.
    EXPECT_TRUE(csp_SocketAddress(csp_IpAddress(0x0a000007u), 79) < original);
    EXPECT_TRUE(csp_SocketAddress(csp_IpAddress(0x80000000u), 80) < original);
    EXPECT_FALSE(original < original);

    csp_SocketAddress cleared(original);
    cleared.clear();
    const sockaddr_in zero = cleared;
    EXPECT_EQ(zero.sin_family, AF_INET);
    EXPECT_EQ(zero.sin_port, 0);
    EXPECT_EQ(zero.sin_addr.s_addr, 0u);
}

TEST(Host, FilledFromARecordAndPrinted) {
    EXPECT_EQ(printed(csp_Host()), "Host( network host is not defined )");
    EXPECT_FALSE(csp_Host().isDefined());

    char name[] = "alpha";
    char alias1[] = "a1";
    char alias2[] = "a2";
    char* aliases[] = {alias1, alias2, nullptr};
    in_addr first = networkOrder(0x0a000007u);
    in_addr second = networkOrder(0x0a000008u);
    char* addresses[] = {reinterpret_cast<char*>(&first), nullptr, nullptr};
    hostent entry;
    std::memset(&entry, 0, sizeof entry);
    entry.h_name = name;
    entry.h_aliases = aliases;
    entry.h_addrtype = AF_INET;
    entry.h_length = 4;
    entry.h_addr_list = addresses;

    const csp_Host single(entry);
    EXPECT_EQ(printed(single), "Host( alpha, IpAddress( 10.0.0.7 ) )");
    ASSERT_EQ(single.getAliases().Count(), 2);
    EXPECT_EQ(single.getAliases().ConstGet(1), "a2");

    addresses[1] = reinterpret_cast<char*>(&second);
    const csp_Host pair(entry);
    EXPECT_EQ(pair.toString(), "Host( alpha, IpAddress( 10.0.0.7 ) IpAddress( 10.0.0.8 ) )");

    csp_Host assigned;
    assigned = pair;
    EXPECT_EQ(assigned.getAddresses().Count(), 2);
    EXPECT_EQ(assigned, pair);
}

TEST(Host, NamesCompareAsUnsignedBytes) {
    char accented[] = "\xe9t\xe9";
    char plain[] = "zulu";
    char* none[] = {nullptr};
    hostent entry;
    std::memset(&entry, 0, sizeof entry);
    entry.h_aliases = none;
    entry.h_addr_list = none;
    entry.h_name = accented;
    const csp_Host high(entry);
    entry.h_name = plain;
    const csp_Host low(entry);
    EXPECT_TRUE(low < high);
    EXPECT_FALSE(high < low);
    EXPECT_TRUE(csp_Host() < low);
    EXPECT_NE(low, high);
}

TEST(Host, LooksUpNamesAndAddressesFromTheHostsFile) {
    const csp_Host byName{cow_String("localhost")};
    EXPECT_TRUE(byName.isDefined());
    ASSERT_GE(byName.getAddresses().Count(), 1);
    EXPECT_EQ(byName.getAddresses().ConstGet(0), csp_IpAddress(csp_test::loopbackHostOrder));

    const csp_Host byAddress{csp_IpAddress(csp_test::loopbackHostOrder)};
    EXPECT_TRUE(byAddress.isDefined());
    ASSERT_GE(byAddress.getAddresses().Count(), 1);
    EXPECT_EQ(byAddress.getAddresses().ConstGet(0), csp_IpAddress(csp_test::loopbackHostOrder));

    try {
        const csp_Host unknown{cow_String("no such host!")};
        ADD_FAILURE() << "resolved";
    } catch (const csp_NetworkException& raised) {
        EXPECT_EQ(raised.getCode(), csp_NetworkException::invalid_host);
        EXPECT_EQ(raised.Text(), "1:no such host!");
    }
}

TEST(Host, ThreadsResolvingAtOnceEachGetTheirOwnAnswer) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 150; ++i) {
                // Alternate names so that a shared result would show up as a wrong name.
                const bool local = (i + t) % 2 == 0;
                const csp_Host host{cow_String(local ? "localhost" : "1.2.3")};
                const bool right =
                    local ? host.getName() == "localhost"
                          : host.getAddresses().ConstGet(0) == csp_IpAddress(0x01020003u);
                if (!right)
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
