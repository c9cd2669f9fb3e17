// Listen addresses as batmond's /metrics and batmon-sim's --tcp-listen write them.
#include <gtest/gtest.h>

#include "config/ListenAddress.h"

using config::ListenAddress;
using config::ParseListenAddress;

namespace {

TEST(ListenAddress, hostAndPortFormsAndWhatIsNotOne) {
    const struct {
        const char* text;
        ListenAddress expected;
    } good[] = {
        {"127.0.0.1:4196", {QStringLiteral("127.0.0.1"), 4196}},
        {"[::1]:0", {QStringLiteral("::1"), 0}},
        {"localhost:502", {QStringLiteral("localhost"), 502}},
        {":9105", {QString(), 9105}},
        {"9105", {QString(), 9105}},
        {"0.0.0.0:65535", {QStringLiteral("0.0.0.0"), 65535}},
    };
    for (const auto& g : good) {
        const auto parsed = ParseListenAddress(QString::fromLatin1(g.text));
        ASSERT_TRUE(parsed) << g.text;
        EXPECT_EQ(*parsed, g.expected) << g.text;
    }
    for (const char* bad : {"host:", "host:65536", "::1:4196", "[]:1", "[::1:80", "h:-1", "h:+80",
                            "h: 80", "127.0.0.1", "", "h:123456"})
        EXPECT_FALSE(ParseListenAddress(QString::fromLatin1(bad))) << bad;
}

}  // namespace
