// The strict number parser that the command lines, the server's queries and
// the live source share.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "Numbers.h"

namespace {

// Tests that hostile text is refused whole, and that numbers are read as
// the number they are: digits only, with a sign, or as C reads a real. The
// ranges' ends are checked through each caller's own tests.
TEST(Numbers, HostileTextIsRefused) {
    struct Case {
        std::string text;
        bool digits, signed_whole, real;
        double value;
    };
    const Case cases[] = {
        {"42", true, true, true, 42},
        {"007", true, true, true, 7},
        {"", false, false, false, 0},
        {"+5", false, true, true, 5},
        {"-5", false, true, true, -5},
        {"+-5", false, false, false, 0},
        {"-", false, false, false, 0},
        {" 5", false, false, false, 0},
        {"5 ", false, false, false, 0},
        {"5x", false, false, false, 0},
        {std::string("5\0", 2), false, false, false, 0},
        {"99999999999999999999", false, false, true, 1e20},  // past a long long
        {"0x10", false, false, true, 16},
        {"1e3", false, false, true, 1000},
        {"1.5", false, false, true, 1.5},
        {"nan", false, false, false, 0},
        {"inf", false, false, false, 0},
        {"1e400", false, false, false, 0},
    };
    for (const Case& c : cases) {
        long long whole = -1;
        EXPECT_EQ(c.digits, ParseWhole(c.text, LLONG_MIN, LLONG_MAX, Sign::Refused, &whole)) << c.text;
        EXPECT_EQ(c.signed_whole, ParseWhole(c.text, LLONG_MIN, LLONG_MAX, Sign::Allowed, &whole)) << c.text;
        if (c.signed_whole) {
            EXPECT_EQ(c.value, static_cast<double>(whole)) << c.text;
        }
        double real = -1;
        EXPECT_EQ(c.real, ParseReal(c.text, -1e300, 1e300, &real)) << c.text;
        if (c.real) {
            EXPECT_EQ(c.value, real) << c.text;
        }
    }
    EXPECT_EQ("5 ", SkipSpace(" \t\v\f5 "));  // what strtod skips, and only before
}

}  // namespace
