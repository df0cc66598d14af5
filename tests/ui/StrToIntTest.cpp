#include "ui/StrToInt.h"

#include <gtest/gtest.h>

namespace ct {
namespace {

struct Conversion {
    const char* text;
    std::optional<std::int32_t> expected;
};

class StrToIntTable : public testing::TestWithParam<Conversion> {};

TEST_P(StrToIntTable, ConvertsOrRefuses) {
    const Conversion& c = GetParam();
    EXPECT_EQ(TryStrToInt(c.text), c.expected) << "text '" << c.text << "'";
    if (c.expected)
        EXPECT_EQ(StrToInt(c.text), *c.expected);
    else
        EXPECT_THROW(StrToInt(c.text), EConvertError);
}

INSTANTIATE_TEST_SUITE_P(
    TypedText, StrToIntTable,
    testing::Values(Conversion{"0", 0}, Conversion{"5", 5}, Conversion{"250", 250}, Conversion{"70000", 70000},
                    Conversion{"-1", -1}, Conversion{"+7", 7}, Conversion{"  12", 12}, Conversion{"007", 7},
                    Conversion{"2147483647", 2147483647}, Conversion{"-2147483648", INT32_MIN},
                    Conversion{"2147483648", std::nullopt}, Conversion{"-2147483649", std::nullopt},
                    Conversion{"99999999999999999999", std::nullopt}, Conversion{"$10", 16},
                    Conversion{"$ff", 255}, Conversion{"0x1F", 31}, Conversion{"$FFFFFFFF", -1},
                    Conversion{"$100000000", std::nullopt}, Conversion{"-$10", -16}, Conversion{"", std::nullopt},
                    Conversion{" ", std::nullopt}, Conversion{"-", std::nullopt}, Conversion{"$", std::nullopt},
                    Conversion{"abc", std::nullopt}, Conversion{"12a", std::nullopt}, Conversion{"1 ", std::nullopt},
                    Conversion{"1.5", std::nullopt}, Conversion{"--1", std::nullopt}, Conversion{"$g", std::nullopt}));

} // namespace
} // namespace ct
