// The address texts of the network settings editor: form, chaining and the batch rule.
#include <gtest/gtest.h>

#include "address_rules.h"

namespace {

struct QuadCase {
    const char* text;
    bool ok;
    quint32 value;
};

TEST(AddressRules, DottedQuadFollowsTheInetPtonRule)
{
    const QuadCase cases[] = {
        {"192.168.1.254", true, 0xC0A801FE},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFF},
        {"10.0.0.1", true, 0x0A000001},
        {"192.168.1.300", false, 0},  // part above 255
        {"192.168.01.1", false, 0},   // leading zero
        {"192.168.1", false, 0},      // three parts
        {"192.168.1.1.1", false, 0},  // five parts
        {"192.168..1", false, 0},     // empty part
        {" 192.168.1.1", false, 0},   // text before
        {"192.168.1.1 ", false, 0},   // text after
        {"192.168.1.1.", false, 0},   // trailing dot
        {"192.168.1.-1", false, 0},
        {"192.168.1.0x1", false, 0},
        {"1234.1.1.1", false, 0},
        {"", false, 0},
        {"abc", false, 0},
        {"\xd9\xa1.1.1.1", false, 0}, // a non-ASCII digit
    };
    for (const QuadCase& c : cases) {
        quint32 v = 0xDEADBEEF;
        EXPECT_EQ(ParseDottedQuad(QString::fromUtf8(c.text), &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(AddressRules, NextAddressWrapsWithoutCarry)
{
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.1.1", "192.168.1.2"},
        {"192.168.1.254", "192.168.1.255"},
        {"192.168.1.255", "192.168.1.0"}, // no carry into the third part
        {"10.0.255.255", "10.0.255.0"},
        {"192.168.1.300", ""},
        {"", ""},
        {"host.example", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getNextIP(QString::fromLatin1(c.first)), QString::fromLatin1(c.second)) << c.first;
}

struct BatchCase {
    const char* name;
    const char* start;
    const char* mask;
    const char* gateway;
    int count;
    AddressBatchCheck check;
    int failedIndex;
    const char* first; // first and last planned address when the batch passes
    const char* last;
};

TEST(AddressRules, BatchIsRefusedBeforeItLeavesTheUsableAddresses)
{
    using C = AddressBatchCheck;
    const BatchCase cases[] = {
        {"fits a /24", "198.51.100.10", "255.255.255.0", "198.51.100.1", 20, C::Ok, -1, "198.51.100.10", "198.51.100.29"},
        {"ends on .254", "198.51.100.235", "255.255.255.0", "198.51.100.1", 20, C::Ok, -1, "198.51.100.235", "198.51.100.254"},
        {"one device", "198.51.100.7", "255.255.255.0", "198.51.100.1", 1, C::Ok, -1, "198.51.100.7", "198.51.100.7"},
        {"reaches the broadcast", "192.168.1.254", "255.255.255.0", "192.168.1.1", 3, C::OutsideHostRange, 1, "", ""},
        {"starts on the network", "198.51.100.0", "255.255.255.0", "198.51.100.1", 1, C::OutsideHostRange, 0, "", ""},
        {"starts on the broadcast", "198.51.100.255", "255.255.255.0", "198.51.100.1", 2, C::OutsideHostRange, 0, "", ""},
        {"a /16 passes .255", "10.1.2.254", "255.255.0.0", "10.1.0.1", 4, C::Ok, -1, "10.1.2.254", "10.1.2.1"},
        {"a /16 network", "10.1.0.254", "255.255.0.0", "10.1.0.1", 3, C::OutsideHostRange, 2, "", ""},
        {"a /25 reaches its broadcast", "198.51.100.120", "255.255.255.128", "198.51.100.1", 10, C::OutsideHostRange, 7, "", ""},
        {"a /26 upper half", "198.51.100.60", "255.255.255.192", "198.51.100.1", 5, C::OutsideHostRange, 3, "", ""},
        {"a /30 two hosts", "203.0.113.5", "255.255.255.252", "203.0.113.6", 2, C::Ok, -1, "203.0.113.5", "203.0.113.6"},
        {"a /30 third host", "203.0.113.5", "255.255.255.252", "203.0.113.6", 3, C::OutsideHostRange, 2, "", ""},
        {"a /32 holds no host", "203.0.113.5", "255.255.255.255", "203.0.113.6", 1, C::OutsideHostRange, 0, "", ""},
        {"start not a quad", "198.51.100.300", "255.255.255.0", "198.51.100.1", 1, C::BadStart, -1, "", ""},
        {"start empty", "", "255.255.255.0", "198.51.100.1", 1, C::BadStart, -1, "", ""},
        {"start loopback", "127.0.0.5", "255.0.0.0", "127.0.0.1", 1, C::BadStart, -1, "", ""},
        {"start multicast", "239.255.255.250", "255.255.255.0", "239.255.255.1", 1, C::BadStart, -1, "", ""},
        {"start zero", "0.0.0.5", "255.255.255.0", "0.0.0.1", 1, C::BadStart, -1, "", ""},
        {"mask with a hole", "198.51.100.10", "255.0.255.0", "198.51.100.1", 1, C::BadMask, -1, "", ""},
        {"mask zero", "198.51.100.10", "0.0.0.0", "198.51.100.1", 1, C::BadMask, -1, "", ""},
        {"mask empty", "198.51.100.10", "", "198.51.100.1", 1, C::BadMask, -1, "", ""},
        {"mask not a quad", "198.51.100.10", "255.255.255.O", "198.51.100.1", 1, C::BadMask, -1, "", ""},
        {"gateway empty", "198.51.100.10", "255.255.255.0", "", 1, C::BadGateway, -1, "", ""},
        {"gateway not a quad", "198.51.100.10", "255.255.255.0", "198.51.100.01", 1, C::BadGateway, -1, "", ""},
    };
    for (const BatchCase& c : cases) {
        const AddressBatch plan = PlanAddressBatch(QString::fromLatin1(c.start), QString::fromLatin1(c.mask),
                                                   QString::fromLatin1(c.gateway), c.count);
        EXPECT_EQ(plan.check, c.check) << c.name;
        EXPECT_EQ(plan.failedIndex, c.failedIndex) << c.name;
        if (c.check == AddressBatchCheck::Ok) {
            ASSERT_EQ(plan.addresses.size(), c.count) << c.name;
            EXPECT_EQ(plan.addresses.first(), QString::fromLatin1(c.first)) << c.name;
            EXPECT_EQ(plan.addresses.last(), QString::fromLatin1(c.last)) << c.name;
        } else {
            EXPECT_TRUE(plan.addresses.isEmpty()) << c.name;
        }
    }
}

TEST(AddressRules, PlannedAddressesAreTheChainOfNextAddresses)
{
    const AddressBatch plan = PlanAddressBatch("10.1.2.250", "255.255.0.0", "10.1.0.1", 8);
    ASSERT_EQ(plan.check, AddressBatchCheck::Ok);
    const QStringList want = {"10.1.2.250", "10.1.2.251", "10.1.2.252", "10.1.2.253",
                              "10.1.2.254", "10.1.2.255", "10.1.2.0", "10.1.2.1"};
    EXPECT_EQ(plan.addresses, want);
}

} // namespace
