#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/SignedMessage.h"

using Tessel::internal::DerSpan;

namespace {

std::vector<BYTE> FromHex(const char* hex) {
    std::vector<BYTE> bytes;
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace

TEST(DerTimeTest, ReadsTheTimesOfTimestamps) {
    const struct {
        BYTE tag;
        const char* text;
        SYSTEMTIME expected;  // wYear 0: not a time
    } cases[] = {
        {0x17, "261210232435Z", {2026, 12, 0, 10, 23, 24, 35, 0}},
        {0x17, "491231235959Z", {2049, 12, 0, 31, 23, 59, 59, 0}},
        {0x17, "500101000000Z", {1950, 1, 0, 1, 0, 0, 0, 0}},
        {0x18, "20261210232435Z", {2026, 12, 0, 10, 23, 24, 35, 0}},
        {0x18, "20261210232435.5Z", {2026, 12, 0, 10, 23, 24, 35, 500}},
        {0x18, "20261210232435.1239Z", {2026, 12, 0, 10, 23, 24, 35, 123}},
        {0x18, "20261210232435.Z", {}},
        {0x17, "261210232435.5Z", {}},
        {0x18, "20261210232435", {}},
        {0x18, "20261210232435+0100", {}},
        {0x18, "20261310232435Z", {}},
        {0x18, "2026121023243Z", {}},
        {0x18, "2026121023243xZ", {}},
        {0x04, "20261210232435Z", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const DerSpan text = {reinterpret_cast<const BYTE*>(c.text), strlen(c.text)};
        FILETIME time = {};
        const bool read = Tessel::internal::DerTimeToFileTime(c.tag, text, time);
        ASSERT_EQ(c.expected.wYear != 0, read);
        if (read) {
            FILETIME expected = {};
            ASSERT_TRUE(::SystemTimeToFileTime(&c.expected, &expected));
            EXPECT_EQ(0, ::CompareFileTime(&expected, &time));
        }
    }
}

TEST(OidTextTest, ReadsEncodedObjectIdentifiers) {
    const struct {
        const char* hex;
        const char* text;  // null: not an object identifier
    } cases[] = {
        {"608648016503040201", "2.16.840.1.101.3.4.2.1"},
        {"2b060104018237030301", "1.3.6.1.4.1.311.3.3.1"},
        {"2a864886f70d0109100104", "1.2.840.113549.1.9.16.1.4"},
        {"883703", "2.999.3"},
        {"", nullptr},
        {"2a86", nullptr},
        {"2a808648", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        const std::vector<BYTE> encoded = FromHex(c.hex);
        std::string text;
        const bool read = Tessel::internal::OidText({encoded.data(), encoded.size()}, text);
        ASSERT_EQ(c.text != nullptr, read);
        if (read) {
            EXPECT_EQ(c.text, text);
        }
    }
}
