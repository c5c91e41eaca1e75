// Tests of a read against the stand-in monitor running as its own process:
// whole snapshots, a dead owner of the mutex, faults, and nothing left open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "GetVantorixInfo.h"
#include "MonitorProcessTest.h"
#include "ObjectNames.h"
#include "Pattern.h"
#include "Publisher.h"
#include "StandinMonitor.h"
#include "TestPlatform.h"

namespace {

class ReaderTest : public MonitorProcessTest {};

// Tests that every path of a read (no monitor, a faulted copy, a good copy)
// gives its result and code, releases the mutex even while a child process
// shares the read's descriptors, and leaves no handle, descriptor or view.
TEST_F(ReaderTest, EveryPathReleasesTheMutexAndLeavesNothingBehind) {
    void* page = TestPlatform::AllocatePages(1);
    ASSERT_NE(nullptr, page);
    TestPlatform::ProtectPages(page, 1, TestPlatform::Access::ReadOnly);
    static vantorix_shared_data block;
    const struct {
        const char* path;
        bool monitor;
        vantorix_shared_data* dest;
        bool ok;
        std::uint32_t code;
    } cases[] = {
        {"no monitor", false, &block, false, TestPlatform::NotFoundCode()},
        {"faulted copy", true, static_cast<vantorix_shared_data*>(page), false, SHAREDMEM_COPY_ERROR},
        {"good copy", true, &block, true, 0},
    };
    VantorixProxy proxy;
    bool started = false;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.monitor && !started) {
            ASSERT_TRUE(started = monitor_.Start({"--generation", "9"}));
        }
        vantorix_shared_data* dest = c.dest;
        fnGetVantorixInfo(dest);  // settle lazy allocations before counting
        const std::size_t handles = TestPlatform::OpenHandleCount();
        const std::size_t mappings = TestPlatform::MappingCount();
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(c.ok, fnGetVantorixInfo(dest));
            ASSERT_EQ(c.code, c.ok ? 0u : proxy.GetDllError());
        }
        EXPECT_EQ(handles, TestPlatform::OpenHandleCount());
        EXPECT_EQ(mappings, TestPlatform::MappingCount());
        TestPlatform::CLockWatch watch;
        EXPECT_EQ(c.ok, fnGetVantorixInfo(dest));
        EXPECT_FALSE(TestPlatform::MutexHeldElsewhere()) << "the read kept the mutex";
    }
    std::uint32_t generation = 0;
    EXPECT_TRUE(MatchesPattern(block, &generation));
    TestPlatform::FreePages(page, 1);
}

// Tests that a monitor that died or exited while holding the mutex blocks
// no reader: the next read returns, and succeeds while the region lives.
TEST_F(ReaderTest, OwnerThatDiedHoldingTheMutexBlocksNobody) {
    for (const bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "killed while holding it" : "exited without releasing it");
        RemoveNamedObjects();  // what the monitor killed before left behind
        ASSERT_TRUE(monitor_.Start({"--generation", "55", killed ? "--hold" : "--hold-and-exit"},
                                   CStandinMonitor::Ready::Holding));
        TestPlatform::CObjectKeeper keeper;  // Windows deletes objects with their last handle
        ASSERT_TRUE(keeper.Holding());
        if (killed) {
            monitor_.Kill();
        } else {
            monitor_.Stop();  // it exits holding the mutex
        }

        auto proxy = std::make_shared<VantorixProxy>();
        bool result = false;
        ASSERT_TRUE(GetDataWithin(proxy, 10000, &result)) << "GetData hung on an abandoned mutex";
        EXPECT_TRUE(result);
        std::uint32_t generation = 0;
        EXPECT_TRUE(MatchesPattern(*proxy->GetDataStruct(), &generation));
        EXPECT_EQ(55u, generation);
        EXPECT_FALSE(TestPlatform::MutexHeldElsewhere());
    }
}

// Tests that reads never overlap an update: threads here and a second reader
// process read while the monitor republishes as fast as it can.
TEST_F(ReaderTest, ConcurrentReadersNeverSeeATornRecord) {
    ASSERT_TRUE(monitor_.Start({"--rate", "0"}));
    TestPlatform::CChildProcess other_reader;
    ASSERT_TRUE(other_reader.Start(TestPlatform::ToolPath("vantorix-read-stress"), {"3000"}));

    const int threads = 4;
    const int reads_per_thread = 3000;
    std::atomic<int> failed(0), torn(0);
    std::atomic<std::uint32_t> highest(0);
    const bool finished = RunThreadsWithin(
        threads,
        [&](int t) {
            VantorixProxy proxy;
            static vantorix_shared_data blocks[threads];
            vantorix_shared_data* block = &blocks[t];
            for (int i = 0; i < reads_per_thread; ++i) {
                const bool flat = (i % 2) == 1;
                const bool ok = flat ? fnGetVantorixInfo(block) : proxy.GetData();
                const vantorix_shared_data& copy = flat ? *block : *proxy.GetDataStruct();
                std::uint32_t generation = 0;
                if (!ok) {
                    ++failed;
                } else if (!MatchesPattern(copy, &generation)) {
                    ++torn;
                } else if (generation > highest) {
                    highest = generation;
                }
            }
        },
        120000);
    ASSERT_TRUE(finished) << "a reader's GetData blocked";
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(0, torn.load());
    EXPECT_GT(highest.load(), 2u) << "the monitor did not republish during the reads";
    EXPECT_EQ(0, other_reader.Wait(120000)) << "the second reader process saw a failure or a torn record";
}

// Tests that a client written in C reads through the flat function.
TEST_F(ReaderTest, ClientWrittenInCReadsTheRecord) {
    ASSERT_TRUE(monitor_.Start({"--generation", "321"}));
    EXPECT_EQ(0, RunTool("vantorix-c-client", {"321"}));
}

}  // namespace

#if defined(_WIN32)
#include <windows.h>
// after windows.h, which it needs
#include <sddl.h>

namespace {

// Tests that objects which grant others only the rights a read needs, as an
// elevated monitor may create them, are still used: a mutex others may only
// wait on and release, and a region others may only map for reading.
TEST(LeastPrivilegeTest, ObjectsGrantingOnlyWhatAReadNeedsAreUsed) {
    const struct {
        const wchar_t* mutex;   // security descriptors; null: the default
        const wchar_t* region;
    } cases[] = {
        {L"D:(A;;0x00100001;;;WD)", nullptr},  // Everyone: SYNCHRONIZE | MUTEX_MODIFY_STATE
        {nullptr, L"D:(A;;0x00000005;;;WD)"},  // Everyone: SECTION_QUERY | SECTION_MAP_READ
    };
    vantorix_shared_data record;
    FillPattern(21, &record);
    for (const auto& c : cases) {
        SECURITY_ATTRIBUTES mutex_attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
        SECURITY_ATTRIBUTES region_attributes = mutex_attributes;
        if (c.mutex != nullptr) {
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
                c.mutex, SDDL_REVISION_1, &mutex_attributes.lpSecurityDescriptor, nullptr));
        }
        if (c.region != nullptr) {
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
                c.region, SDDL_REVISION_1, &region_attributes.lpSecurityDescriptor, nullptr));
        }
        HANDLE mutex = CreateMutexW(&mutex_attributes, FALSE, L"" VANTORIX_MUTEX_NAME);
        HANDLE region = CreateFileMappingW(INVALID_HANDLE_VALUE, &region_attributes, PAGE_READWRITE, 0,
                                           sizeof(record), L"" VANTORIX_MAPPING_NAME);
        LocalFree(mutex_attributes.lpSecurityDescriptor);
        LocalFree(region_attributes.lpSecurityDescriptor);
        ASSERT_NE(nullptr, mutex);
        ASSERT_NE(nullptr, region);
        void* view = MapViewOfFile(region, FILE_MAP_WRITE, 0, 0, sizeof(record));
        std::memcpy(view, &record, sizeof(record));

        // Whether this system enforces the descriptor (Wine does for the
        // region, not for the mutex): full access is refused if it does.
        HANDLE full = c.mutex != nullptr ? CreateMutexW(nullptr, FALSE, L"" VANTORIX_MUTEX_NAME)
                                         : OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, L"" VANTORIX_MAPPING_NAME);
        if (full != nullptr) CloseHandle(full);

        VantorixProxy proxy;
        const bool ok = proxy.GetData();
        EXPECT_TRUE(ok) << "error " << proxy.GetDllError();
        EXPECT_EQ(record.core_total, proxy.GetCoreCount());
        if (full != nullptr) std::printf("note: full access to the %s was granted here\n", c.mutex ? "mutex" : "region");
        UnmapViewOfFile(view);
        CloseHandle(region);
        CloseHandle(mutex);
    }
}

}  // namespace
#endif

#if defined(_WIN32)
namespace {

// Tests that the DLL carries a version resource that the usual API reads.
TEST(VersionResourceTest, DllNamesItsProductAndVersion) {
    const std::string dll = TestPlatform::ProgramDirectory() + "\\GetVantorixInfo.dll";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(dll.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(0, 1)), fixed->dwFileVersionMS);  // 1.0
    char* product = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904b0\\ProductName",
                               reinterpret_cast<void**>(&product), &length));
    EXPECT_STREQ("GetVantorixInfo", product);
}

}  // namespace
#endif
