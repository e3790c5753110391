// Name lookup, of both families.

#include "support.h"

TEST(Names, ResolveBothFamilies) {
    platform::Endpoint a[2] = {};
    std::size_t count = 0;
    EXPECT_FALSE(platform::resolve_addresses("127.0.0.1", a, 0, &count));  // no room
    EXPECT_FALSE(platform::resolve_addresses("no-such-host.invalid", a, 1, &count));
    EXPECT_TRUE(platform::resolve_addresses("127.0.0.1", a, 2, &count) && count == 1 && a[0].ip == 0x7F000001);
    EXPECT_TRUE(platform::resolve_addresses("::1", a, 2, &count) && count == 1 && a[0].v6 && a[0].ip6[15] == 1);
}
