// Tests of the proxy's own behaviour: its initial state, its accessors'
// bounds, and what a failed refresh leaves.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "GetVantorixInfo.h"
#include "InProcessMonitor.h"
#include "Pattern.h"
#include "Publisher.h"
#include "TestPlatform.h"

namespace {

// Tests that a new proxy, wherever it is made, starts as all zero bytes
// whatever the memory held, and deletes through its virtual destructor.
TEST(ProxyTest, NewProxyStartsAllZeroWhateverTheMemoryHeld) {
    alignas(VantorixProxy) static unsigned char storage[sizeof(VantorixProxy)];
    std::memset(storage, 0xA5, sizeof(storage));
    VantorixProxy* placed = new (storage) VantorixProxy;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(placed->GetDataStruct());
    for (std::size_t i = 0; i < sizeof(vantorix_shared_data); ++i) {
        ASSERT_EQ(0, bytes[i]) << "byte " << i;
    }
    EXPECT_FALSE(placed->IsFahrenheit());
    placed->~VantorixProxy();

    VantorixProxy* proxy = new VantorixProxy;
    EXPECT_EQ(0, proxy->GetCoreLoad(255));
    delete proxy;
}

class ProxyWithMonitorTest : public InProcessMonitorTest {};

// Tests that indices outside the arrays read 0 and never memory past them.
TEST_F(ProxyWithMonitorTest, OutOfRangeIndicesReadZero) {
    vantorix_shared_data record;
    FillPattern(3, &record);
    monitor_.Publish(record);
    VantorixProxy proxy;
    ASSERT_TRUE(proxy.GetData());

    const int bad_core[] = {-1, 256, 257, INT_MAX, INT_MIN};
    for (int index : bad_core) {
        EXPECT_EQ(0, proxy.GetCoreLoad(index)) << index;
        EXPECT_EQ(0.0f, proxy.GetTemp(index)) << index;
    }
    const int bad_tj_max[] = {-1, 128, 256, INT_MAX, INT_MIN};
    for (int index : bad_tj_max) {
        EXPECT_EQ(0, proxy.GetTjMax(index)) << index;
    }
    // The edges inside the ranges still read the record.
    EXPECT_EQ(record.core_load[255], proxy.GetCoreLoad(255));
    EXPECT_EQ(record.tj_max[127], proxy.GetTjMax(127));
    EXPECT_EQ(record.temp[0], proxy.GetTemp(0));
}

// Tests that GetDataStruct is the proxy's own whole copy, at one address for
// the proxy's life, and that proxies are independent copies. (What each
// accessor reads is tested against raw offsets in layout_test.cpp.)
TEST_F(ProxyWithMonitorTest, DataStructIsTheProxysOwnCopy) {
    vantorix_shared_data record;
    FillPattern(41, &record);
    monitor_.Publish(record);
    VantorixProxy proxy;
    const vantorix_shared_data* data = proxy.GetDataStruct();
    ASSERT_TRUE(proxy.GetData());

    EXPECT_EQ(data, proxy.GetDataStruct());
    EXPECT_EQ(0, std::memcmp(&record, data, sizeof(record)));
    EXPECT_EQ(data->cpu_name, proxy.GetCPUName());
    VantorixProxy other;
    EXPECT_NE(other.GetDataStruct(), data);
    EXPECT_EQ(0, other.GetCoreCount());
}

// Tests that a refresh that fails before copying keeps the previous values.
TEST_F(ProxyWithMonitorTest, FailedRefreshKeepsThePreviousSnapshot) {
    vantorix_shared_data record;
    FillPattern(77, &record);
    monitor_.Publish(record);
    VantorixProxy proxy;
    ASSERT_TRUE(proxy.GetData());

    monitor_.Remove();  // the monitor goes away
    EXPECT_FALSE(proxy.GetData());
    EXPECT_EQ(TestPlatform::NotFoundCode(), proxy.GetDllError());
    EXPECT_EQ(0, std::memcmp(&record, proxy.GetDataStruct(), sizeof(record)));
}

}  // namespace
