// Tests of GetDllError and GetErrorMessage: the code is the calling thread's,
// the fixed text for application-defined codes, the system's text otherwise.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "GetVantorixInfo.h"
#include "Publisher.h"
#include "StandinMonitor.h"
#include "TestPlatform.h"

namespace {

const std::u16string COPY_ERROR_TEXT = u"Unknown error occured while copying shared memory.";

std::u16string Text(const vantorix_utf16* text) {
    std::u16string result;
    for (; *text != 0; ++text) result.push_back(static_cast<char16_t>(*text));
    return result;
}

// Tests that any code with bit 29 set gives the fixed text and keeps the code.
TEST(ErrorTest, ApplicationCodesGiveTheFixedText) {
    const std::uint32_t codes[] = {0x20000000u, 0x20000001u, 0x2000FFFFu, 0xE0000000u, 0x3FFFFFFFu};
    VantorixProxy proxy;
    for (std::uint32_t code : codes) {
        TestPlatform::SetLastErrorCode(code);
        EXPECT_EQ(code, proxy.GetDllError());
        EXPECT_EQ(COPY_ERROR_TEXT, Text(proxy.GetErrorMessage())) << std::hex << code;
        EXPECT_EQ(code, proxy.GetDllError()) << "the fixed-text path changed the code";
    }
}

// Tests that codes without bit 29 never give the fixed text.
TEST(ErrorTest, OtherCodesNeverGiveTheFixedText) {
    VantorixProxy proxy;
    const std::uint32_t codes[] = {0u, 1u, 2u, 5u, 22u, 87u, 0x1FFFFFFFu, 0x40000000u, 0xC0000005u};
    for (std::uint32_t code : codes) {
        TestPlatform::SetLastErrorCode(code);
        EXPECT_NE(COPY_ERROR_TEXT, Text(proxy.GetErrorMessage())) << std::hex << code;
    }
}

// Tests that the system's text is passed on exactly, line break included,
// into the same buffer every time.
TEST(ErrorTest, NoMonitorGivesTheSystemTextForNotFound) {
    RemoveNamedObjects();
    VantorixProxy proxy;
    ASSERT_FALSE(proxy.GetData());
    const std::uint32_t code = proxy.GetDllError();
    EXPECT_EQ(TestPlatform::NotFoundCode(), code);
    const std::u16string expected = TestPlatform::SystemText(code);
    ASSERT_FALSE(expected.empty());
    const vantorix_utf16* first = proxy.GetErrorMessage();
    EXPECT_EQ(expected, Text(first));
    TestPlatform::SetLastErrorCode(code);
    EXPECT_EQ(first, proxy.GetErrorMessage());
}

// Tests the bound on the system's text: one of 98 characters is given
// whole, one that needs more than 99 units with its zero, or none at all,
// gives an empty string, never a cut one or an earlier text.
TEST(ErrorTest, SystemTextIsGivenOnlyIfItFitsNinetyNineUnits) {
    ASSERT_TRUE(TestPlatform::ServeMadeUpTexts());
    const std::uint32_t unknown = 0x0000FFFEu;
    ASSERT_TRUE(TestPlatform::SystemText(unknown).empty()) << "pick another unknown code";
    const struct {
        std::uint32_t code;
        std::u16string expected;
    } cases[] = {
        {TestPlatform::MADE_UP_CODE, TestPlatform::MadeUpText(TestPlatform::MADE_UP_CODE)},
        {TestPlatform::MADE_UP_CODE + 1, u""},
        {TestPlatform::MADE_UP_CODE + 2, u""},
        {unknown, u""},
    };
    VantorixProxy proxy;
    for (const auto& c : cases) {
        TestPlatform::SetLastErrorCode(SHAREDMEM_COPY_ERROR);
        ASSERT_FALSE(Text(proxy.GetErrorMessage()).empty());  // an earlier text in the buffer
        TestPlatform::SetLastErrorCode(c.code);
        EXPECT_EQ(c.expected, Text(proxy.GetErrorMessage())) << "code " << c.code;
    }
}

// Tests that the code is per thread: a failure on one thread is not seen on
// another.
TEST(ErrorTest, CodeBelongsToTheCallingThread) {
    RemoveNamedObjects();
    VantorixProxy proxy;
    TestPlatform::SetLastErrorCode(0);
    std::uint32_t seen_there = 0;
    std::thread([&] {
        VantorixProxy other;
        EXPECT_FALSE(other.GetData());
        seen_there = other.GetDllError();
    }).join();
    EXPECT_EQ(TestPlatform::NotFoundCode(), seen_there);
    EXPECT_EQ(0u, proxy.GetDllError());
}

}  // namespace
