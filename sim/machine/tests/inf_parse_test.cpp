// The INF parser on small texts: how lines split into keys and fields, how strings and
// directory ids are substituted, the file encodings, and the error each malformed line gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/inf.h"

namespace {

using sim::machine::inf::DirIds;
using sim::machine::inf::InfFile;
using sim::machine::inf::ParseOptions;
using Strings = std::vector<std::string>;

struct LineCase {
  const char* name;
  std::string text;  // section [S]'s first line is checked
  bool hasKey;
  std::string key;
  Strings fields;
};

class InfLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(InfLineTest, SplitsAndSubstitutes) {
  const LineCase& c = GetParam();
  std::string error;
  auto inf = InfFile::Parse(c.text, "t.inf", &error);
  ASSERT_TRUE(inf) << error;
  const auto* s = inf->FindSection("s");
  ASSERT_NE(s, nullptr);
  ASSERT_FALSE(s->lines.empty());
  EXPECT_EQ(s->lines[0].hasKey, c.hasKey);
  EXPECT_EQ(s->lines[0].key, c.key);
  EXPECT_EQ(s->lines[0].fields, c.fields);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, InfLineTest,
    ::testing::Values(
        LineCase{"KeyValueTrimmed", "[S]\n  Key  =  two words  \n", true, "Key", {"two words"}},
        LineCase{"ValueOnlyWithEmptyFields", "[S]\na, ,c,\n", false, "", {"a", "", "c", ""}},
        LineCase{"KeyWithNothingAfter", "[S]\nk =\n", true, "k", {}},
        LineCase{"QuotedCommaSemicolonAndDoubledQuote", "[S]\nk = \"a,b;c\", \"say \"\"hi\"\"\"\n", true, "k",
                 {"a,b;c", "say \"hi\""}},
        LineCase{"QuotedBlanksKept", "[S]\nk = \"  padded  \"\n", true, "k", {"  padded  "}},
        LineCase{"QuotedEqualsIsNoKey", "[S]\n\"a=b\", c\n", false, "", {"a=b", "c"}},
        LineCase{"CommentStripped", "[S]\nk = v ; a comment, with = signs\n", true, "k", {"v"}},
        LineCase{"ContinuationJoinsLines", "[S]\nk = a, \\\n    b\n", true, "k", {"a", "b"}},
        LineCase{"CrLfLineEnds", "[S]\r\nk = v\r\n", true, "k", {"v"}},
        LineCase{"StringsDefinedLaterAnyCase", "[S]\nk = %NAME%\n[Strings]\nname = \"x y\"\n", true, "k", {"x y"}},
        LineCase{"SubstitutedTextIsData", "[S]\nk = %A%\n[Strings]\nA = \"x, y ; z %B%\"\n", true, "k",
                 {"x, y ; z %B%"}},
        LineCase{"KeyAndQuotedFieldSubstituted", "[S]\n%K% = \"%16422%\\RYLE\\x.exe\"\n[Strings]\nK = Model\n", true,
                 "Model", {"C:\\Program Files\\RYLE\\x.exe"}},
        LineCase{"DoublePercentIsLiteral", "[S]\nk = 100%%\n", true, "k", {"100%"}},
        LineCase{"DirIdMapped", "[S]\nk = %12%\\a.sys\n", true, "k", {"C:\\WINDOWS\\System32\\drivers\\a.sys"}},
        LineCase{"UnknownDirIdKept", "[S]\nk = %99999%\n", true, "k", {"%99999%"}},
        LineCase{"LocaleStringsOverrideStrings",
                 "[S]\nk = %A%, %B%\n[Strings.0411]\nA = \"\xE3\x83\xA2\"\n[Strings]\nA = en\nB = only\n[Strings.0409]\nB = us\n",
                 true, "k", {"\xE3\x83\xA2", "only"}},
        LineCase{"StringsWinOverDirId", "[S]\nk = %12%\n[Strings]\n12 = twelve\n", true, "k", {"twelve"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InfParse, DirIdsCanBeKeptAsText) {
  ParseOptions keep;
  keep.dirIds = DirIds::KeepAsText;
  auto inf = InfFile::Parse("[S]\nk = %12%\\a.sys\n", "t.inf", nullptr, keep);
  ASSERT_TRUE(inf);
  EXPECT_EQ(inf->Value("S", "k"), "%12%\\a.sys");
}

TEST(InfParse, SectionsMergeAndCompareWithoutCase) {
  auto inf = InfFile::Parse("[Install]\nAddReg = a\n[other]\nx=1\n[INSTALL]\naddreg = b, c\n", "t.inf", nullptr);
  ASSERT_TRUE(inf);
  ASSERT_EQ(inf->Sections().size(), 2u);
  EXPECT_EQ(inf->AllValues("install", "ADDREG"), (Strings{"a", "b", "c"}));
  EXPECT_EQ(inf->FindSection("install")->lines[1].lineNumber, 6);
}

// UTF-16LE with BOM, as Windows tools save INF files, including text outside ASCII.
TEST(InfParse, Utf16LittleEndianWithBom) {
  std::u16string text = u"[Strings]\r\nDesc = \"\u30e2\u30c7\u30e0 \U0001F4F1\"\r\n[S]\r\nk = %Desc%\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += char(c & 0xFF);
    bytes += char(c >> 8);
  }
  std::string error;
  auto inf = InfFile::Parse(bytes, "u.inf", &error);
  ASSERT_TRUE(inf) << error;
  EXPECT_EQ(inf->Value("S", "k"), "\xE3\x83\xA2\xE3\x83\x87\xE3\x83\xA0 \xF0\x9F\x93\xB1");
}

TEST(InfParse, Utf8BomIsDropped) {
  auto inf = InfFile::Parse("\xEF\xBB\xBF[S]\nk = v\n", "t.inf", nullptr);
  ASSERT_TRUE(inf);
  EXPECT_EQ(inf->Value("S", "k"), "v");
}

struct ErrorCase {
  const char* name;
  std::string text;
  std::string expected;  // the whole message: file, line and what
};

class InfErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(InfErrorTest, ReportsFileAndLine) {
  const ErrorCase& c = GetParam();
  std::string error;
  EXPECT_FALSE(InfFile::Parse(c.text, "bad.inf", &error));
  EXPECT_EQ(error, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, InfErrorTest,
    ::testing::Values(
        ErrorCase{"UnterminatedQuote", "[S]\nk = \"abc\n", "bad.inf(2): unterminated quoted string"},
        ErrorCase{"QuoteOpenAcrossContinuation", "[S]\nk = \"abc \\\n def\"\n", "bad.inf(2): unterminated quoted string"},
        ErrorCase{"HeaderWithoutBracket", "[S]\nk=v\n[Bad\n", "bad.inf(3): section header without ']'"},
        ErrorCase{"EmptySectionName", "[ ]\n", "bad.inf(1): empty section name"},
        ErrorCase{"LineBeforeAnySection", "; comment\nk = v\n[S]\n", "bad.inf(2): line before the first section header"},
        ErrorCase{"UndefinedString", "[S]\n\nk = %Nope%\n[Strings]\nYes = 1\n", "bad.inf(3): undefined string %Nope%"},
        ErrorCase{"UndefinedStringInContinuation", "[S]\nk = a, \\\n %Nope%\n", "bad.inf(2): undefined string %Nope%"},
        ErrorCase{"LonePercent", "[S]\nk = 50%\n", "bad.inf(2): '%' without a closing '%'"},
        ErrorCase{"OddUtf16", std::string("\xFF\xFE[\0S", 5), "bad.inf(1): UTF-16 file with an odd number of bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InfParse, MissingFileIsAnError) {
  std::string error;
  EXPECT_FALSE(InfFile::Load("/nonexistent/x.inf", &error));
  EXPECT_EQ(error, "/nonexistent/x.inf: cannot open the file");
}

}  // namespace
