// Tests that loading and unloading the library does nothing by itself, and
// that unloading it after reads leaves nothing of it behind.
#include <gtest/gtest.h>

#include "GetVantorixInfo.h"
#include "ObjectNames.h"
#include "Publisher.h"
#include "TestPlatform.h"

namespace {

TEST(LoadTest, LoadAndUnloadCreatesNoObjects) {
    RemoveNamedObjects();
    ASSERT_FALSE(TestPlatform::NamedObjectExists(VANTORIX_MUTEX_NAME));
    ASSERT_FALSE(TestPlatform::NamedObjectExists(VANTORIX_MAPPING_NAME));
    const std::size_t handles = TestPlatform::OpenHandleCount();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(TestPlatform::WithLoadedLibrary(VANTORIX_LIBRARY_FILE, [](TestPlatform::FlatFunction) {}));
    }
    EXPECT_FALSE(TestPlatform::NamedObjectExists(VANTORIX_MUTEX_NAME));
    EXPECT_FALSE(TestPlatform::NamedObjectExists(VANTORIX_MAPPING_NAME));
    EXPECT_EQ(handles, TestPlatform::OpenHandleCount());
}

// Tests that after good and faulted copies the unloaded library has left no
// fault handler in the process.
TEST(LoadTest, UnloadAfterReadsLeavesNoFaultHandler) {
    RemoveNamedObjects();
    CPublisher monitor;
    std::uint32_t error = 0;
    ASSERT_TRUE(monitor.Create(sizeof(vantorix_shared_data), nullptr, &error)) << error;
    const std::uintptr_t handlers = TestPlatform::FaultHandlerState();
    static bool good = false, faulted = true;
    ASSERT_TRUE(TestPlatform::WithLoadedLibrary(VANTORIX_LIBRARY_FILE, [](TestPlatform::FlatFunction read) {
        static vantorix_shared_data block;
        vantorix_shared_data* data = &block;
        good = read(&data);
        void* page = TestPlatform::AllocatePages(1);
        TestPlatform::ProtectPages(page, 1, TestPlatform::Access::ReadOnly);
        data = static_cast<vantorix_shared_data*>(page);
        faulted = !read(&data);
        TestPlatform::FreePages(page, 1);
    }));
    EXPECT_TRUE(good);
    EXPECT_TRUE(faulted);
    EXPECT_EQ(handlers, TestPlatform::FaultHandlerState());
    monitor.Remove();
}

}  // namespace
