// Tests of fnGetVantorixInfo: a copy into the caller's block, nothing else.
#include <gtest/gtest.h>

#include <cstring>

#include "GetVantorixInfo.h"
#include "ObjectNames.h"
#include "Pattern.h"
#include "Publisher.h"
#include "StandinMonitor.h"
#include "TestPlatform.h"

namespace {

class FlatFunctionTest : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveNamedObjects();
        std::memset(&block_, 0x5A, sizeof(block_));
        std::memset(&untouched_, 0x5A, sizeof(untouched_));
    }
    void TearDown() override { RemoveNamedObjects(); }
    vantorix_shared_data block_;
    vantorix_shared_data untouched_;
};

TEST_F(FlatFunctionTest, CopiesTheRecordAndKeepsThePointer) {
    CStandinMonitor monitor;
    ASSERT_TRUE(monitor.Start({"--generation", "4242"}));
    vantorix_shared_data expected;
    FillPattern(4242, &expected);

    vantorix_shared_data* data = &block_;
    EXPECT_TRUE(fnGetVantorixInfo(data));
    EXPECT_EQ(&block_, data);
    EXPECT_EQ(0, std::memcmp(&expected, &block_, sizeof(expected)));
    monitor.Kill();
}

// Tests that a null pointer is refused before any object is created.
TEST_F(FlatFunctionTest, NullPointerIsRefusedAcquiringNothing) {
    vantorix_shared_data* data = nullptr;
    TestPlatform::SetLastErrorCode(0);
    EXPECT_FALSE(fnGetVantorixInfo(data));
    VantorixProxy proxy;
    EXPECT_EQ(TestPlatform::InvalidParameterCode(), proxy.GetDllError());
    EXPECT_EQ(nullptr, data);
    EXPECT_FALSE(TestPlatform::NamedObjectExists(VANTORIX_MUTEX_NAME));
}

// Tests that an unaligned block is copied like any other.
TEST_F(FlatFunctionTest, UnalignedBlockIsCopied) {
    CStandinMonitor monitor;
    ASSERT_TRUE(monitor.Start({"--generation", "8"}));
    static unsigned char buffer[sizeof(vantorix_shared_data) + 3];
    std::memset(buffer, 0x11, sizeof(buffer));
    vantorix_shared_data* data = reinterpret_cast<vantorix_shared_data*>(buffer + 1);
    EXPECT_TRUE(fnGetVantorixInfo(data));
    vantorix_shared_data expected;
    FillPattern(8, &expected);
    EXPECT_EQ(0, std::memcmp(&expected, buffer + 1, sizeof(expected)));
    EXPECT_EQ(0x11, buffer[0]);
    EXPECT_EQ(0x11, buffer[sizeof(buffer) - 2]);
    EXPECT_EQ(0x11, buffer[sizeof(buffer) - 1]);
    monitor.Kill();
}

}  // namespace
