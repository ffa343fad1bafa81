// Requests of the service's XML API written by hand as the client frames them, and
// their replies read with tinyxml2, independently of the client. Every reply is held to
// what the client's reader needs: HTTP 200, a result attribute, no empty root element.
#pragma once

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <map>
#include <string>
#include <vector>

#include "support/fsseed.h"
#include "support/localservice.h"

using Fields = std::map<std::string, std::string>;
using Params = std::vector<std::pair<std::string, std::string>>;

struct Reply {
  std::string body, word;
  Fields values;                             // root-level values
  std::vector<Fields> items;                 // root children holding elements
  std::vector<std::vector<Fields>> sharers;  // per item, its "sharer" children
};

inline Fields ChildTexts(const tinyxml2::XMLElement* e) {
  Fields f;
  for (auto* c = e->FirstChildElement(); c; c = c->NextSiblingElement())
    if (!c->FirstChildElement()) f[c->Name()] = c->GetText() ? c->GetText() : "";
  return f;
}

inline Reply ParseReply(const HttpReply& http) {
  Reply r;
  r.body = http.body;
  EXPECT_TRUE(http.ok && http.status == 200) << http.status << " " << http.body;
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  if (doc.Parse(http.body.data(), http.body.size()) != tinyxml2::XML_SUCCESS || !doc.RootElement()) {
    ADD_FAILURE() << "not XML: " << http.body;
    return r;
  }
  const char* word = doc.RootElement()->Attribute("result");
  EXPECT_TRUE(word) << http.body;
  r.word = word ? word : "";
  for (auto* c = doc.RootElement()->FirstChildElement(); c; c = c->NextSiblingElement()) {
    if (c->FirstChildElement()) {
      r.items.push_back(ChildTexts(c));
      r.sharers.emplace_back();
      for (auto* s = c->FirstChildElement("sharer"); s; s = s->NextSiblingElement("sharer"))
        r.sharers.back().push_back(ChildTexts(s));
    } else {
      EXPECT_TRUE(c->GetText()) << "empty root element <" << c->Name() << "> in " << http.body;
      r.values[c->Name()] = c->GetText() ? c->GetText() : "";
    }
  }
  return r;
}

// POSTs params to path as the client's body, with "User-Agent:ostrel" and "v:<v>" (no
// v when it is empty). An account (JSON with a token) as who puts its token first.
inline Reply CallApi(LocalService& service, const std::string& path, Params params, const std::string& v = "2",
                     const nlohmann::json& who = nullptr) {
  if (!who.is_null()) params.insert(params.begin(), {"token", who["token"].get<std::string>()});
  std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra>";
  for (const auto& [k, value] : params) {
    body += "<" + k + ">";
    for (char c : value) body += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    body += "</" + k + ">";
  }
  std::vector<std::string> headers = {"User-Agent:ostrel"};
  if (!v.empty()) headers.push_back("v:" + v);
  return ParseReply(HttpExchange(service.Port(), "POST", path, body + "</nuvra>", headers));
}
