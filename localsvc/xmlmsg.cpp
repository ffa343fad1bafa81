#include "xmlmsg.h"

namespace localsvc {
namespace {

void AddText(tinyxml2::XMLElement* parent, const char* name, const std::string& text) {
  if (text.empty()) return;
  tinyxml2::XMLElement* e = parent->GetDocument()->NewElement(name);
  e->SetText(text.c_str());
  parent->InsertEndChild(e);
}

void AddFields(tinyxml2::XMLElement* parent, const ItemView& item) {
  AddText(parent, "type", item.type);
  AddText(parent, "fileId", item.fileId);
  AddText(parent, "parentId", item.parentId);
  AddText(parent, "name", item.name);
  AddText(parent, "sha1", item.sha1);
  AddText(parent, "size", std::to_string(item.size));
  AddText(parent, "fileVer", std::to_string(item.fileVer));
  AddText(parent, "opVer", std::to_string(item.opVer));
  AddText(parent, "createdTime", item.createdTime);
  AddText(parent, "modTime", item.modTime);
  AddText(parent, "modifier", item.modifier);
  AddText(parent, "shared", item.shared ? "1" : "0");
  AddText(parent, "digest", item.digest);
}

std::string Print(const tinyxml2::XMLDocument& doc) {
  tinyxml2::XMLPrinter printer(nullptr, /*compact=*/true);
  doc.Print(&printer);
  return std::string(printer.CStr(), static_cast<size_t>(printer.CStrSize() - 1));
}

}  // namespace

bool ParseRequest(const std::string& body, Params* params) {
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  if (doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS || !doc.RootElement()) return false;
  for (auto* e = doc.RootElement()->FirstChildElement(); e; e = e->NextSiblingElement()) {
    const char* text = e->GetText();
    params->emplace(e->Name(), text ? text : "");
  }
  return true;
}

std::string Param(const Params& params, const char* name) {
  auto it = params.find(name);
  return it == params.end() ? "" : it->second;
}

XmlReply::XmlReply(const std::string& word) {
  m_doc.InsertEndChild(m_doc.NewDeclaration());
  m_root = m_doc.NewElement("nuvra");
  m_doc.InsertEndChild(m_root);
  SetWord(word);
}

void XmlReply::SetWord(const std::string& word) { m_root->SetAttribute("result", word.c_str()); }

void XmlReply::Value(const char* name, const std::string& text) { AddText(m_root, name, text); }

void XmlReply::Value(const char* name, int64_t number) { AddText(m_root, name, std::to_string(number)); }

void XmlReply::Fields(const ItemView& item) { AddFields(m_root, item); }

void XmlReply::Item(const ItemView& item) {
  tinyxml2::XMLElement* e = m_doc.NewElement("item");
  m_root->InsertEndChild(e);
  AddFields(e, item);
  for (const auto& s : item.sharers) {
    tinyxml2::XMLElement* sharer = m_doc.NewElement("sharer");
    e->InsertEndChild(sharer);
    AddText(sharer, "nickName", s.nickName);
    AddText(sharer, "email", s.email);
    AddText(sharer, "userId", s.userId);
    AddText(sharer, "right", s.right);
  }
}

std::string XmlReply::Text() const { return Print(m_doc); }

std::string ReplaceResultWord(const std::string& body, const std::string& word) {
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  if (doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS || !doc.RootElement())
    return XmlReply(word).Text();
  doc.RootElement()->SetAttribute("result", word.c_str());
  return Print(doc);
}

}  // namespace localsvc
