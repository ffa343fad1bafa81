#include "common/xmlhelper.h"

#include <tinyxml.h>

#include <new>

#include "common/checks.h"
#include "common/log.h"
#include "common/utf8.h"
#include "common/xmlscan.h"

namespace {

void AppendEscaped(std::string& out, std::string_view text, bool escapeQuotes) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"':
        if (escapeQuotes) {
          out += "&quot;";
          break;
        }
        [[fallthrough]];
      default: out += c;
    }
  }
}

void WriteXmlNode(const RecordTree& node, std::string& out) {
  std::string name = XmlEscape(node.GetName(), false);
  out += '<';
  out += name;
  for (const auto& [key, value] : node.GetAttributeMap()) {
    out += ' ';
    out += XmlEscape(key, false);
    out += "=\"";
    out += XmlEscape(value, true);
    out += '"';
  }
  out += '>';
  for (const auto& pair : node.GetPairs()) {
    std::string key = XmlEscape(pair.Key, false);
    out += '<';
    out += key;
    out += '>';
    out += XmlEscape(pair.Value, false);
    out += "</";
    out += key;
    out += '>';
  }
  for (size_t i = 0; i < node.GetChildCount(); ++i) WriteXmlNode(node.GetChild(i), out);
  out += "</";
  out += name;
  out += '>';
}

// Text from TinyXML as the tree keeps it: up to a NUL, and valid UTF-8.
std::string TreeText(const char* text) {
  return ToValidUtf8(text ? std::string_view(text) : std::string_view());
}

// Fills node from element; recursion is bounded by the structure check's depth.
void XmlElementToRecordTree(RecordTree& node, const TiXmlElement& element) {
  node.SetName(TreeText(element.Value()));
  for (const TiXmlAttribute* a = element.FirstAttribute(); a; a = a->Next()) {
    CheckReplyNodeAllocation();
    node.SetAttribute(TreeText(a->Name()), TreeText(a->Value()));
  }
  for (const TiXmlElement* child = element.FirstChildElement(); child; child = child->NextSiblingElement()) {
    const TiXmlNode* first = child->FirstChild();
    const TiXmlText* text = first ? first->ToText() : nullptr;
    CheckReplyNodeAllocation();
    if (text) {
      node.AddValue(TreeText(child->Value()), TreeText(text->Value()));
    } else {
      XmlElementToRecordTree(node.AddChild(std::string()), *child);
    }
  }
}

// TinyXML condenses runs of white space in element text by default, which would
// change item names; it is a process-wide switch, turned off once before the first
// document is read.
void SetUpXmlReaderOnce() {
  static const bool done = [] {
    TiXmlBase::SetCondenseWhiteSpace(false);
    return true;
  }();
  (void)done;
}

// ParseXmlToRecordTree without its check of node and its handling of an allocation
// failure: *node is filled only when the text is accepted, and after std::bad_alloc
// it may hold part of the document.
HRESULT ReadXmlDocument(RecordTree* node, std::string_view xml) {
  // The service's text is UTF-8; what is not is read as U+FFFD, as a conversion to
  // wide text would. TinyXML must never see a broken sequence.
  std::string text = ToValidUtf8(xml);
  XmlScanResult scan = ScanXmlStructure(text, kXmlMaxDepth, kReplyMaxNodes);
  bool bRet = scan.ok;
  TiXmlDocument doc;
  if (!bRet) {
    OSTREL_LOG(kLogWarn,
               "XML text refused before parsing (%zu bytes): malformed, nested deeper than %d, more than %zu "
               "nodes, or more than %d attributes on an element",
               text.size(), kXmlMaxDepth, kReplyMaxNodes, kXmlMaxAttributes);
  } else {
    doc.SetTabSize(0);  // no row/column tracking
    doc.Parse(text.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (doc.Error()) {
      bRet = false;
      OSTREL_LOG(kLogWarn, "XML text does not parse (%zu bytes): %s", text.size(), doc.ErrorDesc());
    } else if (!doc.RootElement()) {
      bRet = false;
      OSTREL_LOG(kLogWarn, "XML text has no root element (%zu bytes)", text.size());
    }
  }
  ERROR_CHECK_BOOLEX(bRet);

  XmlElementToRecordTree(*node, *doc.RootElement());
  return S_OK;
}

}  // namespace

std::string XmlEscape(std::string_view text, bool escapeQuotes) {
  ASSERT(IsXmlSafeText(text));
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text, escapeQuotes);
  return out;
}

bool IsXmlSafeText(std::string_view text) {
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return false;
  }
  return IsValidUtf8(text);
}

bool IsRecordTreeXmlSafe(const RecordTree& node) {
  if (!IsXmlSafeText(node.GetName())) return false;
  for (const auto& [key, value] : node.GetAttributeMap())
    if (!IsXmlSafeText(key) || !IsXmlSafeText(value)) return false;
  for (const auto& pair : node.GetPairs())
    if (!IsXmlSafeText(pair.Key) || !IsXmlSafeText(pair.Value)) return false;
  for (size_t i = 0; i < node.GetChildCount(); ++i)
    if (!IsRecordTreeXmlSafe(node.GetChild(i))) return false;
  return true;
}

std::string RecordTreeToXmlDocument(const RecordTree& node) {
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";
  WriteXmlNode(node, out);
  return out;
}

HRESULT ParseXmlToRecordTree(RecordTree* node, std::string_view xml) {
  ERROR_CHECK_BOOLEX(node);
  SetUpXmlReaderOnce();
  // A reply can be large: running out of memory anywhere in reading it fails this one
  // call, with *node as it was.
  try {
    RecordTree before;
    if (!node->IsEmpty()) before = *node;
    try {
      return ReadXmlDocument(node, xml);
    } catch (const std::bad_alloc&) {
      *node = std::move(before);
      throw;
    }
  } catch (const std::bad_alloc&) {
    // Logged below, once the partial document has been freed.
  }
  OSTREL_LOG(kLogWarn, "XML text could not be read (%zu bytes): out of memory", xml.size());
  return E_OUTOFMEMORY;
}
