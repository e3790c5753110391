#include <gtest/gtest.h>

#include "platform/platform.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    platform::net_startup();  // the tests' own sockets need the socket library started
    return RUN_ALL_TESTS();
}
