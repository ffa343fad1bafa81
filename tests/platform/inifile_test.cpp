// The private-profile reader: names without case, first occurrence, comments, quotes,
// line ends, byte-order marks and the number rules of the profile functions.
#include "platform/inifile.h"

#include <climits>

#include "support/testenv.h"

namespace {

class IniFileTest : public OstrelTest {};

TEST_F(IniFileTest, NumbersAsTheProfileFunctionsReadThem) {
  struct Row { const char* text; int32_t value; } rows[] = {
      {"5abc", 5},   {"0x10", 16},    {"0X1f", 31}, {"-1", -1},         {"abc", 0},        {"  42", 42},
      {"+7", 7},     {"-0x10", -16},  {"0x", 0},    {"0xFFFFFFFF", -1}, {"4294967295", -1}, {"2147483648", INT_MIN},
      {"\t9", 9},    {"-", 0},
  };
  for (const Row& r : rows) EXPECT_EQ(ParseProfileInt(r.text), r.value) << r.text;
}

TEST_F(IniFileTest, NamesIgnoreCaseAndTheFirstOccurrenceWins) {
  CIniFile ini;
  ini.Parse(
      "[ostrel]\n"
      "LOGLEVEL = 9\n"
      "loglevel=2\n"
      "[TevokShell]\n"
      "WebServerRoot=http://w\n"
      "[OSTREL]\n"
      "LogLevel=3\n"
      "ServerRoot=http://second-section\n");
  EXPECT_EQ(ini.GetInt("Ostrel", "LogLevel", 4), 9);
  EXPECT_EQ(ini.GetString("Ostrel", "serverroot", ""), "http://second-section");
  EXPECT_EQ(ini.GetString("tevokshell", "WEBSERVERROOT", ""), "http://w");
}

TEST_F(IniFileTest, CommentsQuotesBlanksStrayLinesAndEmptyValues) {
  CIniFile ini;
  ini.Parse(
      "Orphan=before any section\n"
      "; a comment\n"
      "   ;LogLevel=9\n"
      "[ Ostrel ]  ; trailing words\n"
      "\tServerRoot\t=\t http://a/x;y=z \t\n"
      "Quoted=\"  spaced  \"\n"
      "Single='x'\n"
      "Unbalanced=\"abc'\n"
      "no equals sign here\n"
      "=nameless\n"
      "Empty=\n"
      "CrashReport=abc\n"
      "\n");
  EXPECT_EQ(ini.GetString("Ostrel", "ServerRoot", ""), "http://a/x;y=z");
  EXPECT_EQ(ini.GetString("Ostrel", "Quoted", ""), "  spaced  ");
  EXPECT_EQ(ini.GetString("Ostrel", "Single", ""), "x");
  EXPECT_EQ(ini.GetString("Ostrel", "Unbalanced", ""), "\"abc'");
  EXPECT_EQ(ini.GetInt("Ostrel", "LogLevel", 4), 4) << "a commented line is no key";
  EXPECT_FALSE(ini.Find("Ostrel", "Orphan"));
  EXPECT_EQ(ini.GetString("Ostrel", "", "d"), "nameless");
  // An empty number is the default, an empty text is "", not the default.
  EXPECT_EQ(ini.GetInt("Ostrel", "Empty", 4), 4);
  EXPECT_EQ(ini.GetString("Ostrel", "Empty", "dflt"), "");
  EXPECT_EQ(ini.GetString("Ostrel", "Missing", "dflt"), "dflt");
  EXPECT_EQ(ini.GetInt("Ostrel", "CrashReport", 1), 0);
}

// UTF-16 text (iconv's) reads as UTF-8, a character above U+FFFF (a surrogate pair) too.
TEST_F(IniFileTest, ByteOrderMarks) {
  const std::string text = "[Ostrel]\r\nLogLevel=7\nServerRoot=http://s\r\n[S]\n名=云\xF0\x9F\x98\x80";
  std::string utf16;
  ASSERT_EQ(RunCommand("printf %s " + ShellQuote(text) + " | iconv -f UTF-8 -t UTF-16LE", &utf16), 0);
  for (const std::string& bytes : {"\xEF\xBB\xBF" + text, "\xFF\xFE" + utf16}) {
    CIniFile ini;
    ini.Parse(bytes);
    EXPECT_EQ(ini.GetInt("Ostrel", "LogLevel", 4), 7) << bytes;
    EXPECT_EQ(ini.GetString("Ostrel", "ServerRoot", ""), "http://s") << bytes;
    EXPECT_EQ(ini.GetString("S", "名", ""), "云\xF0\x9F\x98\x80") << bytes;
  }
}

// Reading the file and a missing one are the configuration's test.
TEST_F(IniFileTest, AFolderInPlaceOfTheFileReadsAsMissingAndClearsWhatWasRead) {
  CIniFile ini;
  ini.Parse("[Ostrel]\nLogLevel=6\n");
  EXPECT_FALSE(ini.Load(Root()));
  EXPECT_EQ(ini.GetInt("Ostrel", "LogLevel", 4), 4);
}

}  // namespace
