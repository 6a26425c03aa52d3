#include "cgi/conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/failure.h"

namespace trackrelay {
namespace {

struct NumericCase {
  std::string text;
  double value;
};

TEST(NumericValueTest, ReadsTheLongestLeadingNumber) {
  const NumericCase cases[] = {
      {"", 0},          {"abc", 0},        {"12abc", 12},      {" 1 2", 12},       {"1\t2\n3", 123},
      {"-5", -5},       {"+5", 5},         {"- 5", -5},        {"3.25", 3.25},     {".5", 0.5},
      {"5.", 5},        {"-.5x", -0.5},    {"1e3", 1000},      {"1E3", 1000},      {"2.5e-1", 0.25},
      {"1e", 1},        {"1e+", 1},        {"1ex", 1},         {"1.2.3", 1.2},     {"+-1", 0},
      {"-", 0},         {".", 0},          {"&HFF", 255},      {"&hff", 255},      {"&H", 0},
      {"&H4", 4},       {"&Hzz", 0},       {"&H1G", 1},        {"&H 4 1", 65},     {"-&H10", 0},
      {"&O7", 0},       {"1,000", 1},      {"\r5", 0},         {"0x10", 0},
  };
  for (const NumericCase& c : cases) EXPECT_DOUBLE_EQ(NumericValue(c.text), c.value) << "text: " << c.text;
}

TEST(NumericValueTest, HugeInputsStayHugeOrVanish) {
  std::string thousand(1000, '9');
  EXPECT_GT(NumericValue(thousand), 1e300);
  EXPECT_TRUE(std::isinf(NumericValue(thousand + "e999")));
  EXPECT_TRUE(std::isinf(NumericValue("-" + thousand + "e999")));
  EXPECT_LT(NumericValue("-" + thousand + "e999"), 0);
  EXPECT_EQ(NumericValue("1e-999"), 0.0);
  EXPECT_TRUE(std::isinf(NumericValue("&H" + std::string(400, 'F'))));
  EXPECT_DOUBLE_EQ(NumericValue("0." + std::string(5000, '0') + "1"), 0.0);
}

struct Int16Case {
  std::string text;
  int value;  // or the failure number, when failure is set
  bool failure;
};

TEST(ToInt16Test, AcceptsSignDigitsAndFractionOnly) {
  const Int16Case cases[] = {
      {"0", 0, false},           {"41", 41, false},          {"  41  ", 41, false},     {"\t7\t", 7, false},
      {"-5", -5, false},         {"+5", 5, false},           {"007", 7, false},         {"32767", 32767, false},
      {"-32768", -32768, false}, {"2.5", 2, false},          {"3.5", 4, false},         {"-2.5", -2, false},
      {"0.5", 0, false},         {".5", 0, false},           {"1.5000001", 2, false},   {"2.4999", 2, false},
      {"5.", 5, false},          {"32767.4", 32767, false},  {"-32768.5", -32768, false},
      {"32768", kOverflow, true}, {"-32769", kOverflow, true}, {"32767.5", kOverflow, true},
      {"-32768.51", kOverflow, true}, {"99999", kOverflow, true}, {"100000", kOverflow, true},
      {"", kTypeMismatch, true}, {"   ", kTypeMismatch, true}, {"-", kTypeMismatch, true},
      {".", kTypeMismatch, true}, {"1;2", kTypeMismatch, true}, {"1 2", kTypeMismatch, true},
      {"- 5", kTypeMismatch, true}, {"1e3", kTypeMismatch, true}, {"&H10", kTypeMismatch, true},
      {"1,000", kTypeMismatch, true}, {"12abc", kTypeMismatch, true}, {"++1", kTypeMismatch, true},
      {"1\r", kTypeMismatch, true}, {std::string("1\0", 2), kTypeMismatch, true},
  };
  for (const Int16Case& c : cases) {
    if (c.failure) {
      try {
        ToInt16(c.text);
        ADD_FAILURE() << "no failure for: " << c.text;
      } catch (const Failure& f) {
        EXPECT_EQ(f.number(), c.value) << "text: " << c.text;
      }
    } else {
      EXPECT_EQ(ToInt16(c.text), c.value) << "text: " << c.text;
    }
  }
}

TEST(ToInt16Test, LongInputsOverflowWithoutMisbehaving) {
  const std::string thousand(1000, '9');
  const std::string zeros(1000, '0');
  for (const std::string& text : {thousand, "-" + thousand, "1" + zeros}) {
    try {
      ToInt16(text);
      ADD_FAILURE() << "no overflow";
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), kOverflow);
    }
  }
  EXPECT_EQ(ToInt16(zeros + "42"), 42);
  EXPECT_EQ(ToInt16("1." + std::string(1000, '4')), 1);
  EXPECT_EQ(ToInt16("1.5" + zeros), 2);
  EXPECT_EQ(ToInt16("2.5" + zeros + "1"), 3);
}

TEST(RoundToInt32Test, RoundsTiesToEvenAndReportsOverflow) {
  const std::pair<double, int> rounded[] = {{0.5, 0},   {1.5, 2},   {2.5, 2},  {-2.5, -2},
                                            {2147483647.0, 2147483647}, {2147483647.4, 2147483647},
                                            {-2147483648.0, -2147483647 - 1}, {-2147483648.5, -2147483647 - 1}};
  for (auto [value, expected] : rounded) EXPECT_EQ(RoundToInt32(value), expected) << value;
  for (double value : {2147483647.5, 2147483648.0, -2147483649.0, 99999999999.0, HUGE_VAL, -HUGE_VAL, double(NAN)}) {
    try {
      RoundToInt32(value);
      ADD_FAILURE() << "no overflow for " << value;
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), kOverflow);
    }
  }
}

}  // namespace
}  // namespace trackrelay
