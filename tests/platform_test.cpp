// Tests of the platform layer on its own: the guarded copy and the bounded
// system text, with inputs the public interface cannot produce.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../src/platform/Platform.h"
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

TEST(GuardedCopyTest, CopiesExactlyTheRequestedBytes) {
    const std::vector<unsigned char> source = Counting(RECORD_SIZE + 64);
    CTestView view(source);
    std::vector<unsigned char> dest(RECORD_SIZE + 16, 0xEE);
    ASSERT_TRUE(Platform::GuardedCopy(dest.data() + 8, view.view(), RECORD_SIZE));
    EXPECT_EQ(0, std::memcmp(source.data(), dest.data() + 8, RECORD_SIZE));
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(0xEE, dest[i]);
        EXPECT_EQ(0xEE, dest[RECORD_SIZE + 8 + i]);
    }
}

TEST(GuardedCopyTest, ReadOnlyDestinationFailsWithoutACrash) {
    const std::vector<unsigned char> source = Counting(RECORD_SIZE);
    CTestView view(source);
    void* page = TestPlatform::AllocatePages(1);
    TestPlatform::ProtectPages(page, 1, TestPlatform::Access::ReadOnly);
    EXPECT_FALSE(Platform::GuardedCopy(page, view.view(), RECORD_SIZE));
    EXPECT_FALSE(Platform::GuardedCopy(nullptr, view.view(), RECORD_SIZE));
    // The guard is gone after a fault: a good copy still works.
    std::vector<unsigned char> dest(RECORD_SIZE);
    EXPECT_TRUE(Platform::GuardedCopy(dest.data(), view.view(), RECORD_SIZE));
    TestPlatform::FreePages(page, 1);
}

TEST(GuardedCopyTest, DestinationRunningIntoAnInaccessiblePageStopsAtItsEdge) {
    const std::vector<unsigned char> source = Counting(RECORD_SIZE);
    CTestView view(source);
    const std::size_t page = TestPlatform::PageSize();
    unsigned char* pages = static_cast<unsigned char*>(TestPlatform::AllocatePages(2));
    std::memset(pages, 0x44, page);
    TestPlatform::ProtectPages(pages + page, 1, TestPlatform::Access::None);
    const std::size_t start = page - 100;
    EXPECT_FALSE(Platform::GuardedCopy(pages + start, view.view(), RECORD_SIZE));
    for (std::size_t i = 0; i < start; ++i) ASSERT_EQ(0x44, pages[i]) << i;
    TestPlatform::FreePages(pages, 2);
}

#if defined(_WIN32)
// Tests that a view that faults on reading is caught as well. (On Linux the
// kernel reads the region, so a source cannot fault.)
TEST(GuardedCopyTest, InaccessibleSourceFailsWithoutACrash) {
    const std::size_t page = TestPlatform::PageSize();
    unsigned char* pages = static_cast<unsigned char*>(TestPlatform::AllocatePages(2));
    std::memset(pages, 0x55, 2 * page);
    TestPlatform::ProtectPages(pages + page, 1, TestPlatform::Access::None);
    std::vector<unsigned char> dest(RECORD_SIZE);
    EXPECT_FALSE(Platform::GuardedCopy(dest.data(), reinterpret_cast<Platform::View>(pages + page - 16),
                                       RECORD_SIZE));
    EXPECT_FALSE(Platform::GuardedCopy(dest.data(), reinterpret_cast<Platform::View>(pages + page),
                                       RECORD_SIZE));
    TestPlatform::FreePages(pages, 2);
}
#else
// Tests that a region shorter than a record fails instead of copying a part.
TEST(GuardedCopyTest, ShortRegionFails) {
    const std::vector<unsigned char> source = Counting(RECORD_SIZE - 1);
    CTestView view(source);
    std::vector<unsigned char> dest(RECORD_SIZE);
    EXPECT_FALSE(Platform::GuardedCopy(dest.data(), view.view(), RECORD_SIZE));
}

// Tests that the copy leaves errno as it found it.
TEST(GuardedCopyTest, KeepsTheLastErrorCode) {
    const std::vector<unsigned char> source = Counting(RECORD_SIZE);
    CTestView view(source);
    std::vector<unsigned char> dest(RECORD_SIZE);
    errno = ENOENT;
    EXPECT_TRUE(Platform::GuardedCopy(dest.data(), view.view(), RECORD_SIZE));
    EXPECT_EQ(ENOENT, errno);
}
#endif

std::u16string Text(const vantorix_utf16* text) {
    std::u16string result;
    for (; *text != 0; ++text) result.push_back(static_cast<char16_t>(*text));
    return result;
}

TEST(SystemMessageTest, TextThatDoesNotFitGivesAnEmptyString) {
    const std::uint32_t code = TestPlatform::NotFoundCode();
    const std::u16string full = TestPlatform::SystemText(code);
    ASSERT_GT(full.size(), 4u);
    vantorix_utf16 text[100];
    std::fill(text, text + 100, static_cast<vantorix_utf16>('x'));

    EXPECT_FALSE(Platform::GetSystemMessage(code, text, full.size()));  // no room for the zero
    EXPECT_EQ(u"", Text(text));
    EXPECT_TRUE(Platform::GetSystemMessage(code, text, full.size() + 1));
    EXPECT_EQ(full, Text(text));
}

TEST(SystemMessageTest, UnknownCodeGivesAnEmptyString) {
    vantorix_utf16 text[100] = {'s', 't', 'a', 'l', 'e', 0};
    EXPECT_FALSE(Platform::GetSystemMessage(0x0000FFFEu, text, 99));
    EXPECT_EQ(u"", Text(text));
}

}  // namespace
