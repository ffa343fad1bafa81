// Request bodies and reply documents of the file-system API, read and written with
// tinyxml2 (never with the client's code).
//
// A request body is one root element holding one element per parameter. A reply is
// "<?xml ...?><nuvra result="WORD">...</nuvra>", compact: every value is a child element
// with text, and an empty value is left out, because the client counts every root child
// without text as a listing item. Items are "item" elements holding their fields.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <tinyxml2.h>

#include "itemstore.h"

namespace localsvc {

inline constexpr char kXmlType[] = "text/xml; charset=utf-8";

// The parameters of a request body by element name.
using Params = std::map<std::string, std::string>;

// The parameters of a request body (the first of a name wins; an empty element or one
// holding only white space reads as ""). False when the body is not an XML document
// with a root element.
bool ParseRequest(const std::string& body, Params* params);
// The parameter's value, "" when it is missing.
std::string Param(const Params& params, const char* name);

class XmlReply {
 public:
  explicit XmlReply(const std::string& word = "ok");
  XmlReply(const XmlReply&) = delete;
  XmlReply& operator=(const XmlReply&) = delete;

  void SetWord(const std::string& word);
  // A root-level value; an empty text is left out.
  void Value(const char* name, const std::string& text);
  void Value(const char* name, int64_t number);
  // The item's fields as root-level values (item information).
  void Fields(const ItemView& item);
  // One listing item with its fields and its "sharer" children.
  void Item(const ItemView& item);
  std::string Text() const;

 private:
  tinyxml2::XMLDocument m_doc;
  tinyxml2::XMLElement* m_root;
};

// The reply with its result word replaced and every value kept; a body that is not an
// XML document becomes a reply carrying the word alone.
std::string ReplaceResultWord(const std::string& body, const std::string& word);

}  // namespace localsvc
