// Property test of the XML writer: random trees (fixed seeds) whose texts mix CJK,
// emoji, markup characters and runs of spaces come back equal from our reader, and
// python3's xml.etree, an independent parser, reads every document to the same tree.
#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/xmlhelper.h"
#include "support/testenv.h"
#include "support/textcodec.h"

namespace {

class XmlRoundTripTest : public OstrelTest {
 protected:
  std::string Pick(const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(m_rng)];
  }
  int Count(int max) { return std::uniform_int_distribution<int>(0, max)(m_rng); }

  std::string Text() {
    static const std::vector<std::string> pieces = {
        "a", "Z", "0", "9", " ", "  ", "&", "<", ">", "\"", "'", "&amp;", "&#x41;", ";", "#", "]]>",
        "\xE4\xB8\xAD", "\xE6\x96\x87", "\xE4\xBB\xB6", "\xE5\x90\x8D",  // CJK
        "\xF0\x9F\x98\x80", "\xF0\x9F\x8E\x89",                          // emoji
        "\xC3\xA9", "\xC2\xA0", "\xEE\x80\x80", "\xEF\xBF\xBD", "name.txt",
    };
    std::string s;
    int n = Count(12);
    for (int i = 0; i < n; ++i) s += Pick(pieces);
    // Blank text reads back as an element without text (a child node), so a pair's
    // value carries at least one other character.
    if (s.find_first_not_of(' ') == std::string::npos) s += Pick({"x", "\xE4\xB8\xAD", "&"});
    return s;
  }

  std::string Name() {
    static const std::vector<std::string> starts = {"n", "item", "_", "Name", "\xE5\x90\x8D", "k"};
    static const std::vector<std::string> rest = {"a", "B", "1", "_", "-", ".", "\xE5\x89\x8D"};
    std::string s = Pick(starts);
    for (int i = Count(4); i > 0; --i) s += Pick(rest);
    return s;
  }

  void Fill(RecordTree& node, int depth) {
    for (int i = Count(3); i > 0; --i) node.SetAttribute(Name(), Count(3) == 0 ? std::string() : Text());
    for (int i = Count(5); i > 0; --i) node.AddValue(Name(), Text());
    if (depth < 4)
      for (int i = Count(3); i > 0; --i) Fill(node.AddChild(Name()), depth + 1);
  }

  std::mt19937 m_rng;
};

// The lines the python peer prints for a document: N name, A attr value (sorted by
// name), P key text for an element with text, C ... E around an element without.
void Describe(const RecordTree& t, std::string& out) {
  out += "N " + HexEncode(t.GetName()) + "\n";
  std::vector<std::pair<std::string, std::string>> attrs(t.GetAttributeMap().begin(), t.GetAttributeMap().end());
  std::sort(attrs.begin(), attrs.end());
  for (const auto& [k, v] : attrs) out += "A " + HexEncode(k) + " " + HexEncode(v) + "\n";
  for (const auto& p : t.GetPairs()) out += "P " + HexEncode(p.Key) + " " + HexEncode(p.Value) + "\n";
  for (size_t i = 0; i < t.GetChildCount(); ++i) {
    out += "C\n";
    Describe(t.GetChild(i), out);
    out += "E\n";
  }
}

constexpr const char* kPeer = R"PY(
import sys, os
import xml.etree.ElementTree as ET

def hx(s):
    return s.encode('utf-8').hex()

def describe(e, out):
    out.append('N ' + hx(e.tag))
    for k in sorted(e.attrib, key=lambda k: k.encode('utf-8')):
        out.append('A ' + hx(k) + ' ' + hx(e.attrib[k]))
    for c in e:
        if c.text:
            out.append('P ' + hx(c.tag) + ' ' + hx(c.text))
    for c in e:
        if not c.text:
            out.append('C')
            describe(c, out)
            out.append('E')

folder = sys.argv[1]
for name in sorted(os.listdir(folder), key=int):
    with open(os.path.join(folder, name), 'rb') as f:
        root = ET.fromstring(f.read())
    out = ['DOC ' + name]
    describe(root, out)
    sys.stdout.write('\n'.join(out) + '\n')
)PY";

TEST_F(XmlRoundTripTest, RandomTreesReadBackEqualHereAndInPython) {
  constexpr int kDocs = 300;
  std::string folder = PathIn("docs");
  std::filesystem::create_directories(folder);
  std::string expected;
  for (int seed = 0; seed < kDocs; ++seed) {
    m_rng.seed(static_cast<uint32_t>(seed));
    RecordTree tree(seed % 3 == 0 ? std::string("nuvra") : Name());
    Fill(tree, 1);
    std::string xml = RecordTreeToXmlDocument(tree);
    ASSERT_TRUE(IsRecordTreeXmlSafe(tree));

    RecordTree read;
    ASSERT_EQ(ParseXmlToRecordTree(&read, xml), S_OK) << "seed " << seed << "\n" << xml;
    EXPECT_EQ(read, tree) << "seed " << seed << "\n" << xml;

    WriteFileBytes(folder + "/" + std::to_string(seed), xml);
    expected += "DOC " + std::to_string(seed) + "\n";
    Describe(tree, expected);
  }

  WriteFileBytes(PathIn("peer.py"), kPeer);
  std::string out;
  ASSERT_EQ(RunCommand("python3 " + ShellQuote(PathIn("peer.py")) + " " + ShellQuote(folder), &out), 0) << out;
  EXPECT_EQ(out, expected);  // a failure prints the differing lines
}

}  // namespace
