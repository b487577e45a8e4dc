// The debug switch and DumpBytes.
#include "util/debug.h"

#include <gtest/gtest.h>

#include <cstring>

#include "kivtest.h"

namespace {

// Kept first: it observes the value the process starts with.
TEST(DebugTest, SwitchIsZeroAtProcessStart) { EXPECT_EQ(GetDebugFlag(), 0); }

TEST(DebugTest, SetDebugFlagIsReadBackUnchanged) {
    for (int32_t flag : {KIV_DEBUG_FLAG_ACTLOG, -1, 0x40000001, 0}) {
        SetDebugFlag(flag);
        EXPECT_EQ(GetDebugFlag(), flag);
    }
}

TEST(DebugTest, DumpBytesHasNoEffect) {
    kivtest::Syslog().Clear();
    unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    DumpBytes(data, sizeof data);
    DumpBytes(nullptr, 0);
    DumpBytes(nullptr, 1 << 20);
    const unsigned char want[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(memcmp(data, want, sizeof data), 0);
    EXPECT_EQ(GetDebugFlag(), 0);
    kivtest::Syslog().Sync();
    EXPECT_TRUE(kivtest::Syslog().Lines().empty());
}

} // namespace
