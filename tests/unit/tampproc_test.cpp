// Start-up of the monitor without peers: the tamper error code chosen from the pair kind that
// another module writes big-endian into the OTHER segment. Run on the little-endian host and the
// big-endian target alike, the same bytes must give the same code.
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "kivtest.h"
#include "tamp.h"

namespace {

struct PairKindCase {
    unsigned char bytes[4]; // OTHER bytes 4-7
    uint32_t code;          // tamper error code chosen
    const char *shown;      // value in message 00015, or null when the kind is valid
};

TEST(InitProcSub, PairKindIsReadBigEndianOnEveryHost) {
    ConfigData config{};
    config.other.tamper_check[0] = '0'; // check disabled: no device is opened
    OtherData other;
    memset(&other, 0xA5, sizeof other); // the bytes around the pair kind must not matter

    const PairKindCase cases[] = {
        {{0x00, 0x00, 0x00, 0x01}, 0x22, nullptr},
        {{0x00, 0x00, 0x00, 0x00}, 0x21, nullptr},
        {{0x01, 0x00, 0x00, 0x00}, 0x21, "0x1000000"}, // a native read on a little-endian host gives 1
        {{0x00, 0x00, 0x01, 0x00}, 0x21, "0x100"},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0x21, "0xffffffff"},
    };
    for (const PairKindCase &c : cases) {
        char what[32];
        std::snprintf(what, sizeof what, "%02x %02x %02x %02x", c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3]);
        memcpy(other.DipSw.PareKind, c.bytes, sizeof c.bytes);
        ProcInfo rec{};
        rec.pConfigData = &config;
        rec.pOtherData = &other;
        gstLocalInfo.uiTampErrCode = 0;
        kivtest::Syslog().Clear();

        EXPECT_EQ(InitProcSub(&rec), 0) << what;
        EXPECT_EQ(gstLocalInfo.uiTampErrCode, c.code) << what;
        kivtest::Syslog().Sync();
        if (c.shown == nullptr) {
            EXPECT_EQ(kivtest::Syslog().CountPrefix(LOG_INFO, "00015,"), 0u) << what;
        } else {
            std::string line = std::string("00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->"
                                           "DipSw.PareKind=") + c.shown + " \n";
            EXPECT_EQ(kivtest::Syslog().Count(LOG_INFO, line), 1u) << what;
        }
    }
}

} // namespace
