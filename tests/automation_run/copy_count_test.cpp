#include "automation/copy_count.h"

#include <gtest/gtest.h>

#include "tests/test_names.h"

namespace orv {
namespace {

struct CountCase {
  const char* text;
  int expected;
};

class ToInt16CountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(ToInt16CountTest, AcceptedAndConvertedAlike) {
  const CountCase& c = GetParam();
  EXPECT_TRUE(isNumber(c.text));
  EXPECT_EQ(toInt16Count(c.text), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ToInt16CountTest,
    ::testing::Values(
        CountCase{"3", 3}, CountCase{"  3 ", 3}, CountCase{"\t+3\t", 3}, CountCase{"-3", -3},
        CountCase{"0", 0}, CountCase{"-0", 0}, CountCase{"2.5", 2}, CountCase{"3.5", 4},
        CountCase{"-2.5", -2}, CountCase{"-3.5", -4}, CountCase{"0.5", 0}, CountCase{"1.5", 2},
        CountCase{"2.4999999999999999999", 2},
        // A double would read this as 2.5 and round it down.
        CountCase{"2.50000000000000000001", 3}, CountCase{"2.6", 3}, CountCase{"2.", 2},
        CountCase{".5", 0}, CountCase{".51", 1}, CountCase{"-.5", 0}, CountCase{"0007", 7},
        CountCase{"2.000", 2}, CountCase{"32767", 32767}, CountCase{"32767.4", 32767},
        CountCase{"32766.5", 32766}, CountCase{"-32768", -32768}, CountCase{"-32768.5", -32768},
        CountCase{"000000000000000000000032767", 32767}),
    orv::testnames::byText(&CountCase::text));

class NotANumberTest : public ::testing::TestWithParam<const char*> {};

TEST_P(NotANumberTest, RefusedByCheckAndConversion) {
  EXPECT_FALSE(isNumber(GetParam()));
  EXPECT_THROW(toInt16Count(GetParam()), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Texts, NotANumberTest,
                         ::testing::Values("", "   ", "abc", ".", "+", "-", "+.", "- 3", "3 3",
                                           "3,5", "1e3", "0x10", "1.2.3", "++1", "3a", "$3",
                                           "\xC2\xA0"
                                           "3",
                                           "3\n", "\xD9\xA3" /* Arabic-Indic 3 */, "nan", "inf"),
                         orv::testnames::paramText);

class OverflowTest : public ::testing::TestWithParam<const char*> {};

TEST_P(OverflowTest, IsANumberButDoesNotFitTheCount) {
  EXPECT_TRUE(isNumber(GetParam()));
  EXPECT_THROW(toInt16Count(GetParam()), CopyCountOverflow);
}

INSTANTIATE_TEST_SUITE_P(Texts, OverflowTest,
                         ::testing::Values("32768", "32767.5", "32767.51", "-32769", "-32768.51",
                                           "99999999999999999999999999",
                                           "-99999999999999999999999999.5"),
                         orv::testnames::paramText);

// The stored "hide the splash" switch is compared with zero unrounded.
struct ZeroCase {
  const char* text;
  bool nonZero;
};

class NonZeroTest : public ::testing::TestWithParam<ZeroCase> {};

TEST_P(NonZeroTest, JudgedOnTheDigits) {
  EXPECT_EQ(isNonZero(GetParam().text), GetParam().nonZero) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, NonZeroTest,
                         ::testing::Values(ZeroCase{"0", false}, ZeroCase{" -0.000 ", false},
                                           ZeroCase{".0", false}, ZeroCase{"0.001", true},
                                           ZeroCase{"1", true}, ZeroCase{"-2.", true},
                                           ZeroCase{"99999999999999999999", true}),
                         orv::testnames::byText(&ZeroCase::text));

TEST(NonZeroTest, RefusesWhatIsNoNumber) { EXPECT_THROW(isNonZero("off"), std::invalid_argument); }

TEST(OverflowMessageTest, NamesTheCountAndTheLimit) {
  try {
    toInt16Count(" 32768 ");
    FAIL() << "no overflow";
  } catch (const CopyCountOverflow& e) {
    EXPECT_STREQ(e.what(),
                 "Overflow: 32768 copies are too many; at most 32767 copies can be made in one "
                 "run.");
  }
}

}  // namespace
}  // namespace orv
