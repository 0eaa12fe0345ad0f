#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "common/Pcm16.h"
#include "common/TextFormat.h"

namespace {

TEST(FormatExp, PrintfLeTexts) {
  struct Case {
    double v;
    const char* text;
  } cases[] = {{11025.0, "1.102500e+04"}, {0.015, "1.500000e-02"},      {0.9993, "9.993000e-01"},
               {0.0, "0.000000e+00"},     {-3.5, "-3.500000e+00"},      {1e100, "1.000000e+100"},
               {0.99997, "9.999700e-01"}, {0.123456789, "1.234568e-01"}};
  for (const Case& c : cases) EXPECT_EQ(FormatExp(c.v), c.text);
}

TEST(FormatExp, AgreesWithPrintfForRandomValues) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> mant(-10.0, 10.0);
  std::uniform_int_distribution<int> ex(-40, 40);
  for (int i = 0; i < 2000; ++i) {
    const double v = std::ldexp(mant(rng), ex(rng));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%le", v);
    ASSERT_EQ(FormatExp(v), buf) << v;
    std::snprintf(buf, sizeof buf, "%lf", v);
    std::string fixed = buf;
    ASSERT_EQ(FormatFixed(v).substr(0, 3), fixed.substr(0, 3)) << v;
  }
}

TEST(FormatFixed, TrimsZerosButKeepsOneDecimal) {
  struct Case {
    double v;
    const char* text;
  } cases[] = {{11025.0, "11025.0"}, {0.015, "0.015"},   {0.5, "0.5"},           {3675.0, "3675.0"},
               {20.0, "20.0"},       {1.0, "1.0"},       {-2.25, "-2.25"},       {0.0, "0.0"},
               {1e-7, "0.0"},        {5512.5, "5512.5"}, {0.1234567, "0.123457"}};
  for (const Case& c : cases) EXPECT_EQ(FormatFixed(c.v), c.text) << c.v;
}

TEST(FormatGeneral, ShortestFormAsPrintfG15) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> mant(-10.0, 10.0);
  std::uniform_int_distribution<int> ex(-40, 40);
  std::vector<double> values = {200.0, 0.015, 1e-5, 11025.0, 5512.5, 0.9993, 1.0 / 3.0, 0.0, 1e20};
  for (int i = 0; i < 2000; ++i) values.push_back(std::ldexp(mant(rng), ex(rng)));
  for (double v : values) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    ASSERT_EQ(FormatGeneral(v), buf) << v;
  }
  EXPECT_EQ(FormatGeneral(200.0), "200");
  EXPECT_EQ(FormatGeneral(0.015), "0.015");
}

TEST(ScanDouble, ScanfLfSemantics) {
  struct Case {
    const char* text;
    bool ok;
    double v;
  } cases[] = {{"700", true, 700}, {"  1.5e3xyz", true, 1500},
               {"+2", true, 2},    {"-0.25", true, -0.25},
               {"0x10", true, 16}, {"1.102500e+04", true, 11025},
               {"abc", false, 0},  {"", false, 0},
               {"  ", false, 0},   {"e5", false, 0}};
  for (const Case& c : cases) {
    auto v = ScanDouble(c.text);
    ASSERT_EQ(v.has_value(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(*v, c.v) << c.text;
    }
  }
  EXPECT_TRUE(std::isnan(*ScanDouble("nan")));
  EXPECT_EQ(*ScanDouble("-inf"), -INFINITY);
}

TEST(ScanUnsigned, ScanfUSemantics) {
  struct Case {
    const char* text;
    bool ok;
    int v;
  } cases[] = {{"101", true, 101}, {"  42abc", true, 42},    {"-5", true, -5},  {"+7", true, 7},
               {"0", true, 0},     {"4294967295", true, -1}, {"abc", false, 0}, {"", false, 0},
               {"-", false, 0},    {" x1", false, 0}};
  for (const Case& c : cases) {
    auto v = ScanUnsigned(c.text);
    ASSERT_EQ(v.has_value(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(*v, c.v) << c.text;
    }
  }
}

TEST(ParseIniInteger, DecimalOrHex) {
  struct Case {
    const char* text;
    bool ok;
    int v;
  } cases[] = {{"128", true, 128},        {"0x80", true, 128},       {"0X1f", true, 31}, {"-1", true, -1},
               {"0xFFFFFFFF", true, -1},  {" 12 ", true, 12},        {"+5", true, 5},    {"0x200", true, 512},
               {"12abc", false, 0},       {"0x", false, 0},          {"abc", false, 0},  {"", false, 0},
               {"99999999999", false, 0}, {"0x1FFFFFFFF", false, 0}, {"+-5", false, 0},  {"1.5", false, 0}};
  for (const Case& c : cases) {
    auto v = ParseIniInteger(c.text);
    ASSERT_EQ(v.has_value(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(*v, c.v) << c.text;
    }
  }
}

TEST(TextFormat, IgnoresTheProcessLocale) {
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"};
  const char* set = nullptr;
  for (const char* n : names)
    if ((set = std::setlocale(LC_NUMERIC, n))) break;
  if (!set) GTEST_SKIP() << "no locale with a decimal comma installed";
  EXPECT_EQ(FormatExp(0.015), "1.500000e-02");
  EXPECT_EQ(FormatFixed(5512.5), "5512.5");
  EXPECT_EQ(*ScanDouble("1.5"), 1.5);
  std::setlocale(LC_NUMERIC, "C");
}

TEST(SampleToPcm16, TruncatesAndSaturates) {
  struct Case {
    double x;
    int pcm;
  } cases[] = {{-0.9, 0},           {1.9, 1},           {-1.5, -1},       {32767.0, 32767},
               {32767.9, 32767},    {32768.0, 32767},   {40000.0, 32767}, {-32768.0, -32768},
               {-32768.9, -32768},  {-40000.0, -32768}, {NAN, 0},         {INFINITY, 32767},
               {-INFINITY, -32768}, {1e300, 32767}};
  for (const Case& c : cases) EXPECT_EQ(SampleToPcm16(c.x), c.pcm) << c.x;
}

}  // namespace
