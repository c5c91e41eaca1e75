// Tests of the platform layer's guarded copy on its own, with inputs the
// public interface cannot produce.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "../../src/platform/Platform.h"
#include "TestPlatform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const std::size_t RECORD_SIZE = sizeof(vantorix_shared_data);

// A view whose bytes are `source`, in whatever form the platform reads.
class CTestView {
public:
    explicit CTestView(const std::vector<unsigned char>& source);
    ~CTestView();
    Platform::View view() const { return view_; }

private:
    Platform::View view_ = 0;
    std::size_t pages_ = 0;
};

#if defined(_WIN32)
CTestView::CTestView(const std::vector<unsigned char>& source) {
    pages_ = source.size() / TestPlatform::PageSize() + 1;
    void* pages = TestPlatform::AllocatePages(pages_);
    std::memcpy(pages, source.data(), source.size());
    view_ = reinterpret_cast<Platform::View>(pages);
}
CTestView::~CTestView() { TestPlatform::FreePages(reinterpret_cast<void*>(view_), pages_); }
#else
CTestView::CTestView(const std::vector<unsigned char>& source) {
    std::FILE* file = std::tmpfile();
    std::fwrite(source.data(), 1, source.size(), file);
    std::fflush(file);
    view_ = static_cast<Platform::View>(dup(fileno(file)));
    std::fclose(file);
}
CTestView::~CTestView() { close(static_cast<int>(view_)); }
#endif

std::vector<unsigned char> Counting(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    return bytes;
}

// Tests each outcome of the copy: exactly the requested bytes on success;
// false without a crash when the destination cannot be written (read-only,
// null, running into an inaccessible page, where it stops at the edge), the
// source faults (Windows) or the region is short (Linux); and the last-error
// code as it was in every case.
TEST(GuardedCopyTest, CopiesExactlyTheRecordOrFailsKeepingTheLastErrorCode) {
    const std::size_t page = TestPlatform::PageSize();
    unsigned char* pages = static_cast<unsigned char*>(TestPlatform::AllocatePages(4));
    ASSERT_NE(nullptr, pages);
    std::memset(pages, 0x44, 4 * page);
    TestPlatform::ProtectPages(pages + page, 1, TestPlatform::Access::None);       // page 1
    TestPlatform::ProtectPages(pages + 2 * page, 1, TestPlatform::Access::ReadOnly);  // page 2
    const std::vector<unsigned char> source = Counting(RECORD_SIZE + 64);
    const CTestView record(source);
    const CTestView short_region(Counting(RECORD_SIZE - 1));
    std::vector<unsigned char> good(RECORD_SIZE + 16, 0xEE);
    const struct {
        const char* what;
        void* dest;
        Platform::View view;
        bool copied;
    } cases[] = {
        {"read-only destination", pages + 2 * page, record.view(), false},
        {"null destination", nullptr, record.view(), false},
        {"destination into an inaccessible page", pages + page - 100, record.view(), false},
#if defined(_WIN32)
        // A Windows view is memory, so a source can fault too.
        {"source running into an inaccessible page", good.data() + 8,
         reinterpret_cast<Platform::View>(pages + page - 16), false},
        {"inaccessible source", good.data() + 8, reinterpret_cast<Platform::View>(pages + page), false},
#else
        // The kernel reads a Linux region, so it can end early instead.
        {"short region", good.data() + 8, short_region.view(), false},
#endif
        {"good copy after the faults", good.data() + 8, record.view(), true},
    };
    for (const auto& c : cases) {
        Platform::SetLastErrorCode(0x1234);
        EXPECT_EQ(c.copied, Platform::GuardedCopy(c.dest, c.view, RECORD_SIZE)) << c.what;
        EXPECT_EQ(0x1234u, Platform::GetLastErrorCode()) << c.what;
    }
    EXPECT_EQ(0, std::memcmp(source.data(), good.data() + 8, RECORD_SIZE));
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(0xEE, good[i]);
        EXPECT_EQ(0xEE, good[RECORD_SIZE + 8 + i]);
    }
    for (std::size_t i = 0; i < page - 100; ++i) ASSERT_EQ(0x44, pages[i]) << "wrote before the block at " << i;
    TestPlatform::FreePages(pages, 4);
}

#if defined(_WIN32)
int g_guard_page_exceptions = 0;

LONG CALLBACK GuardPageHandler(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
    ++g_guard_page_exceptions;
    return EXCEPTION_CONTINUE_EXECUTION;  // the guard is gone: the write is retried
}

// Tests that an exception other than a fault, raised inside the copy among
// the bytes it moves, is passed on to the process's own handler, and the
// copy completes when that handler resumes it.
TEST(GuardedCopyTest, OtherExceptionsReachTheProcessOwnHandler) {
    const std::vector<unsigned char> source = Counting(RECORD_SIZE);
    const CTestView record(source);
    const std::size_t page = TestPlatform::PageSize();
    unsigned char* dest = static_cast<unsigned char*>(TestPlatform::AllocatePages(1));
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(dest, page, PAGE_READWRITE | PAGE_GUARD, &old));
    g_guard_page_exceptions = 0;
    PVOID handler = AddVectoredExceptionHandler(0, GuardPageHandler);  // after the library's
    const bool copied = Platform::GuardedCopy(dest, record.view(), RECORD_SIZE);
    RemoveVectoredExceptionHandler(handler);
    EXPECT_TRUE(copied) << "the guard took an exception that was not a fault";
    EXPECT_EQ(1, g_guard_page_exceptions);
    EXPECT_EQ(0, std::memcmp(source.data(), dest, RECORD_SIZE));
    TestPlatform::FreePages(dest, 1);
}
#endif

}  // namespace
