// Tests that every reading comes from its own offset of the monitor's record.
// Records are published as raw bytes, so a wrong field order or size in the
// header shows up here even where it would agree with itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "GetVantorixInfo.h"
#include "InProcessMonitor.h"

namespace {

const std::size_t RECORD_SIZE = 2688;

class LayoutTest : public InProcessMonitorTest {
protected:
    unsigned char bytes_[RECORD_SIZE] = {};
};

TEST_F(LayoutTest, EveryScalarReadsFromItsOffset) {
    Put<std::int32_t>(bytes_, 1536, 12);           // core_total
    Put<std::int32_t>(bytes_, 1540, 2);            // cpu_total
    Put<float>(bytes_, 2568, 1.1875f);             // vid_value
    Put<float>(bytes_, 2572, 3600.5f);             // cpu_clock
    Put<float>(bytes_, 2576, 100.25f);             // fsb_clock
    Put<float>(bytes_, 2580, 36.0f);               // clock_multiplier
    std::memcpy(bytes_ + 2584, "Test CPU", 9);     // cpu_name
    bytes_[2684] = 0x80;                           // fahrenheit
    bytes_[2685] = 0;                              // distance_to_tj_max
    PublishBytes(bytes_);

    VantorixProxy proxy;
    ASSERT_TRUE(proxy.GetData());
    EXPECT_EQ(12, proxy.GetCoreCount());
    EXPECT_EQ(2, proxy.GetCPUCount());
    EXPECT_EQ(1.1875f, proxy.GetVID());
    EXPECT_EQ(3600.5f, proxy.GetCPUSpeed());
    EXPECT_EQ(100.25f, proxy.GetFSBSpeed());
    EXPECT_EQ(36.0f, proxy.GetMultiplier());
    EXPECT_STREQ("Test CPU", proxy.GetCPUName());
    EXPECT_EQ(reinterpret_cast<const char*>(proxy.GetDataStruct()) + 2584, proxy.GetCPUName());
    EXPECT_TRUE(proxy.IsFahrenheit());
    EXPECT_FALSE(proxy.IsDistanceToTjMax());
}

TEST_F(LayoutTest, ArraysReadEveryIndexFromItsOffset) {
    for (std::int32_t i = 0; i < 256; ++i) {
        Put<std::int32_t>(bytes_, 4 * i, 3 * i + 1);              // core_load
        Put<float>(bytes_, 1544 + 4 * i, 20.0f + 0.5f * i);       // temp
    }
    for (std::int32_t i = 0; i < 128; ++i) {
        Put<std::int32_t>(bytes_, 1024 + 4 * i, 1000 + i);        // tj_max
    }
    PublishBytes(bytes_);

    VantorixProxy proxy;
    ASSERT_TRUE(proxy.GetData());
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(3 * i + 1, proxy.GetCoreLoad(i)) << i;
        EXPECT_EQ(20.0f + 0.5f * i, proxy.GetTemp(i)) << i;
    }
    for (int i = 0; i < 128; ++i) {
        EXPECT_EQ(1000 + i, proxy.GetTjMax(i)) << i;
    }
}

TEST_F(LayoutTest, FlagsAreNonzeroBytesNotBooleans) {
    const unsigned char values[] = {0x00, 0x01, 0x80, 0xFF};
    for (unsigned char fahrenheit : values) {
        bytes_[2684] = fahrenheit;
        bytes_[2685] = static_cast<unsigned char>(0x80 - fahrenheit / 2);
        PublishBytes(bytes_);
        VantorixProxy proxy;
        ASSERT_TRUE(proxy.GetData());
        EXPECT_EQ(fahrenheit != 0, proxy.IsFahrenheit()) << int(fahrenheit);
        EXPECT_EQ(bytes_[2685] != 0, proxy.IsDistanceToTjMax()) << int(fahrenheit);
    }
}

TEST_F(LayoutTest, ReservedBytesAreCopiedButReadByNoAccessor) {
    PublishBytes(bytes_);
    VantorixProxy plain;
    ASSERT_TRUE(plain.GetData());

    bytes_[2686] = 0xAB;
    bytes_[2687] = 0xCD;
    PublishBytes(bytes_);
    VantorixProxy padded;
    ASSERT_TRUE(padded.GetData());

    const unsigned char* copy = reinterpret_cast<const unsigned char*>(padded.GetDataStruct());
    EXPECT_EQ(0xAB, copy[2686]);
    EXPECT_EQ(0xCD, copy[2687]);
    EXPECT_EQ(plain.IsFahrenheit(), padded.IsFahrenheit());
    EXPECT_EQ(plain.IsDistanceToTjMax(), padded.IsDistanceToTjMax());
    EXPECT_EQ(plain.GetMultiplier(), padded.GetMultiplier());
}

TEST_F(LayoutTest, NameIsNotTerminatedOrTrimmedByTheLibrary) {
    std::memset(bytes_ + 2584, 'N', 100);  // a name that fills its field
    bytes_[2684] = 0x01;
    PublishBytes(bytes_);
    VantorixProxy proxy;
    ASSERT_TRUE(proxy.GetData());
    EXPECT_EQ(0, std::memcmp(proxy.GetCPUName(), bytes_ + 2584, 100));
    EXPECT_TRUE(proxy.IsFahrenheit());  // the flag right after the name is intact
}

}  // namespace
