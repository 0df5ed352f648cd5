#include "RecordText.h"
#include "AddressText.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(RecordText, AddressesMostSignificantByteFirst) {
    EXPECT_EQ(formatAddress(0x0A258101), "10.37.129.1");
    EXPECT_EQ(formatAddress(0xFFFFFF00), "255.255.255.0");
    EXPECT_EQ(formatAddress(0), "0.0.0.0");
}

TEST(RecordText, AdapterNameStaysInsideItsField) {
    ScopeRenewRecord record{};
    // Sixteen bytes without NUL, as a foreign writer may leave them; the
    // field after it must not show.
    std::memcpy(record.adapterName, "abcdefghijklmnop", kAdapterNameSize);
    record.startInterface = 0x41414141;
    EXPECT_EQ(adapterNameText(record), "abcdefghijklmnop");
    std::memcpy(record.adapterName, "ab\x01\xff", 5);
    EXPECT_EQ(adapterNameText(record), "ab\\x01\\xff");
}

TEST(RecordText, DescribesTheAddressPlan) {
    ScopeRenewRecord record{};
    record.pid = 77;
    record.scopeStart = 0x0A258101;
    record.scopeEnd = 0x0A2581FE;
    record.scopeMask = 0xFFFFFF00;
    std::strcpy(record.adapterName, "vnic0");
    const std::string text = describeRecord(record, {ProcessState::service, "vlm_dhcpd"});
    EXPECT_NE(text.find("77 (running vlm_dhcpd)"), std::string::npos) << text;
    EXPECT_NE(text.find("own address:      10.37.129.1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vnic0 gets 10.37.129.2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("10.37.129.3 - 10.37.129.254 (252 addresses)"), std::string::npos) << text;
    // A scope without room for guests has no pool, rather than a wrapped one.
    record.scopeEnd = record.scopeStart;
    EXPECT_NE(describeRecord(record, {ProcessState::notRunning, ""}).find("guest pool:       none"),
              std::string::npos);
}

} // namespace
