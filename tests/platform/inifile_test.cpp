// The private-profile reader: names without case, first occurrence, comments, quotes,
// line ends, byte-order marks and the number rules of the profile functions.
#include "platform/inifile.h"

#include <climits>

#include "support/testenv.h"

namespace {

class IniFileTest : public OstrelTest {};

std::string AsciiToUtf16Le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

TEST_F(IniFileTest, NumbersAsTheProfileFunctionsReadThem) {
  struct Row { const char* text; int32_t value; } rows[] = {
      {"5abc", 5},   {"0x10", 16},    {"0X1f", 31}, {"-1", -1},         {"abc", 0},        {"  42", 42},
      {"+7", 7},     {"-0x10", -16},  {"0x", 0},    {"0xFFFFFFFF", -1}, {"4294967295", -1}, {"2147483648", INT_MIN},
      {"\t9", 9},    {"-", 0},
  };
  for (const Row& r : rows) EXPECT_EQ(ParseProfileInt(r.text), r.value) << r.text;
}

TEST_F(IniFileTest, MissingOrEmptyNumberGivesTheDefault) {
  CIniFile ini;
  ini.Parse("[Ostrel]\nLogLevel=\nLogSaveDate=-1\nCrashReport=abc\n");
  EXPECT_EQ(ini.GetInt("Ostrel", "LogLevel", 4), 4);
  EXPECT_EQ(ini.GetInt("Ostrel", "LogSaveDate", 3), -1);
  EXPECT_EQ(ini.GetInt("Ostrel", "CrashReport", 1), 0);
  EXPECT_EQ(ini.GetInt("Ostrel", "Missing", 77), 77);
  // A present but empty text is "", not the default.
  EXPECT_EQ(ini.GetString("Ostrel", "LogLevel", "dflt"), "");
  EXPECT_EQ(ini.GetString("Ostrel", "Missing", "dflt"), "dflt");
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

TEST_F(IniFileTest, CommentsQuotesBlanksAndStrayLines) {
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
      "\n");
  EXPECT_EQ(ini.GetString("Ostrel", "ServerRoot", ""), "http://a/x;y=z");
  EXPECT_EQ(ini.GetString("Ostrel", "Quoted", ""), "  spaced  ");
  EXPECT_EQ(ini.GetString("Ostrel", "Single", ""), "x");
  EXPECT_EQ(ini.GetString("Ostrel", "Unbalanced", ""), "\"abc'");
  EXPECT_EQ(ini.GetInt("Ostrel", "LogLevel", 4), 4) << "a commented line is no key";
  EXPECT_FALSE(ini.Find("Ostrel", "Orphan"));
  EXPECT_EQ(ini.GetString("Ostrel", "", "d"), "nameless");
}

TEST_F(IniFileTest, ByteOrderMarks) {
  struct Row { const char* name; std::string bytes; } rows[] = {
      {"utf8 bom", "\xEF\xBB\xBF[Ostrel]\nLogLevel=7\nServerRoot=http://s"},
      {"utf16le bom", "\xFF\xFE" + AsciiToUtf16Le("[Ostrel]\r\nLogLevel=7\nServerRoot=http://s\r\n")},
  };
  for (const Row& r : rows) {
    CIniFile ini;
    ini.Parse(r.bytes);
    EXPECT_EQ(ini.GetInt("Ostrel", "LogLevel", 4), 7) << r.name;
    EXPECT_EQ(ini.GetString("Ostrel", "ServerRoot", ""), "http://s") << r.name;
  }
}

TEST_F(IniFileTest, Utf16ValuesBecomeUtf8) {
  // "名=云" with a character above U+FFFF as a surrogate pair after it.
  std::string bytes("\xFF\xFE[\0S\0]\0\n\0\x0D\x54=\0\x91\x4E\x3D\xD8\x00\xDE", 20);
  CIniFile ini;
  ini.Parse(bytes);
  EXPECT_EQ(ini.GetString("S", "名", ""), "云\xF0\x9F\x98\x80");
}

// A missing file is the configuration's test.
TEST_F(IniFileTest, LoadFromDisk) {
  CIniFile ini;
  WriteFileBytes(PathIn("config.ini"), "[Ostrel]\nLogLevel=6\n");
  ASSERT_TRUE(ini.Load(PathIn("config.ini")));
  EXPECT_EQ(ini.GetInt("Ostrel", "LogLevel", 4), 6);

  // A folder in place of the file reads as missing, and clears what was read before.
  EXPECT_FALSE(ini.Load(Root()));
  EXPECT_EQ(ini.GetInt("Ostrel", "LogLevel", 4), 4);
}

}  // namespace
