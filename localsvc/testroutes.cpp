// The generic test endpoints:
//
//   /test/echo               the request as recorded, as JSON
//   /test/status/<n>         HTTP status n with a small XML body
//   /test/sleep?ms=|s=       answers after the wait (default 1 s)
//   /test/redirect?n=&code=&to=   n redirections (default 1, status code default 302),
//                            then to the target (default /test/echo); "to" is
//                            percent-encoded and last
//   /test/trickle?n=&chunk=&ms=   n bytes (default 1 MiB) in pieces of chunk bytes
//                            (default 1024; 0 reads as 1), ms apart (default 100)
//   /test/drop               closes the connection without a reply
//   /test/bytes?n=&seed=     n bytes: zeros for seed 0, else a pseudo-random stream
//   /test/files/<name>       a regular file of the data folder, streamed (404 for
//                            anything else: a link, a pipe, a folder, a name with '/'
//                            or one that is "." or "..")
//   /test/sink               takes any body (counted, not kept) and answers its size
//   /api_server/             the state page (normal unless a fault replaces it)
//
// Waits (ms, s) are cut to an hour and sizes (n, chunk) to 64 MiB; a negative one
// answers 400 (bounds.h). A number beyond the 64-bit range reads as the nearest end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "ascii.h"
#include "bounds.h"
#include "connection.h"
#include "service.h"
#include "stopflag.h"

namespace localsvc {
namespace {

// The number at key of the query, def when it is absent or no number.
int64_t QueryInt(const std::string& query, const std::string& key, int64_t def) {
  std::string v = QueryValue(query, key, "");
  if (v.empty()) return def;
  try {
    return std::stoll(v);
  } catch (const std::out_of_range&) {
    bool negative = v.find('-') < v.find_first_of("0123456789");
    return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  } catch (...) {
    return def;
  }
}

size_t CutSize(int64_t n) { return static_cast<size_t>(std::min(n, kLargestSize)); }

void Refuse(httplib::Response& res, const char* why) {
  res.status = 400;
  res.set_content(why, "text/plain");
}

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The text after "to=" up to the end of the query, percent-decoded.
std::string RedirectTarget(const std::string& query) {
  size_t pos = query.rfind("to=", 0) == 0 ? 0 : query.find("&to=");
  if (pos == std::string::npos) return "/test/echo";
  return PercentDecode(query.substr(pos == 0 ? 3 : pos + 4));
}

std::string PercentEncode(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == ':') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

const char kOkXml[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?><nuvra result=\"ok\"/>";

// Fills with zeros (seed 0) or a splitmix64 stream in which each 8-byte word depends
// only on the seed and the word's offset.
void FillBytes(uint64_t seed, uint64_t offset, char* out, size_t n) {
  if (seed == 0) {
    std::memset(out, 0, n);
    return;
  }
  uint64_t lastWord = UINT64_MAX, value = 0;
  for (size_t i = 0; i < n; ++i) {
    uint64_t word = (offset + i) / 8;
    if (word != lastWord) {
      uint64_t z = seed + word * 0x9E3779B97F4A7C15ull;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      value = z ^ (z >> 31);
      lastWord = word;
    }
    out[i] = static_cast<char>(value >> (8 * ((offset + i) % 8)));
  }
}

bool SafeName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

}  // namespace

void Service::AddTestRoutes() {
  auto echo = [](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
    res.set_content(JsonText(ToJson(rec)), "application/json");
  };
  Get("/test/echo", echo);
  Post("/test/echo", echo);

  auto status = [](const httplib::Request& req, const RecordedRequest&, httplib::Response& res) {
    res.status = std::stoi(req.matches[1].str());
    res.set_content(kOkXml, "text/xml");
  };
  Get("/test/status/([0-9]{3})", status);
  Post("/test/status/([0-9]{3})", status);

  auto sleep = [](const httplib::Request& req, const RecordedRequest& rec, httplib::Response& res) {
    int64_t s = QueryInt(rec.query, "s", 1);
    int64_t ms = QueryInt(rec.query, "ms", s < 0 ? -1 : std::min<int64_t>(s, kLongestWait.count() / 1000) * 1000);
    if (ms < 0) {
      Refuse(res, "ms and s are not negative");
      return;
    }
    if (!StopFlag::Get().WaitFor(std::chrono::milliseconds(ms))) {
      ShutdownConnection(FindConnectionSocket(req));
      return;
    }
    res.set_content("slept", "text/plain");
  };
  Get("/test/sleep", sleep);
  Post("/test/sleep", sleep);

  auto redirect = [](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
    int64_t n = QueryInt(rec.query, "n", 1);
    std::string to = RedirectTarget(rec.query);
    std::string location = n > 1 ? "/test/redirect?n=" + std::to_string(n - 1) + "&code=" +
                                       std::to_string(QueryInt(rec.query, "code", 302)) + "&to=" + PercentEncode(to)
                                 : to;
    res.status = static_cast<int>(QueryInt(rec.query, "code", 302));
    res.set_header("Location", location);
    res.set_content("redirect", "text/plain");
  };
  Get("/test/redirect", redirect);
  Post("/test/redirect", redirect);

  Get("/test/trickle", [](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
    int64_t n = QueryInt(rec.query, "n", 1 << 20), chunkSize = QueryInt(rec.query, "chunk", 1024),
            ms = QueryInt(rec.query, "ms", 100);
    if (n < 0 || chunkSize < 0 || ms < 0) {
      Refuse(res, "n, chunk and ms are not negative");
      return;
    }
    size_t total = CutSize(n);
    size_t chunk = std::max<size_t>(1, CutSize(chunkSize));
    auto pause = std::chrono::milliseconds(ms);
    res.set_content_provider(total, "application/octet-stream",
                             [chunk, pause](size_t offset, size_t length, httplib::DataSink& sink) {
                               if (offset > 0 && !StopFlag::Get().WaitFor(pause)) return false;
                               std::string piece(std::min(chunk, length), 'x');
                               return sink.write(piece.data(), piece.size());
                             });
  });

  auto drop = [](const httplib::Request& req, const RecordedRequest&, httplib::Response& res) {
    ShutdownConnection(FindConnectionSocket(req));
    res.status = 500;
  };
  Get("/test/drop", drop);
  Post("/test/drop", drop);

  Get("/test/bytes", [](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
    int64_t n = QueryInt(rec.query, "n", 0);
    if (n < 0) {
      Refuse(res, "n is not negative");
      return;
    }
    size_t total = CutSize(n);
    uint64_t seed = static_cast<uint64_t>(QueryInt(rec.query, "seed", 0));
    res.set_content_provider(total, "application/octet-stream",
                             [seed](size_t offset, size_t length, httplib::DataSink& sink) {
                               std::string piece(std::min<size_t>(length, 256 * 1024), '\0');
                               FillBytes(seed, offset, piece.data(), piece.size());
                               return sink.write(piece.data(), piece.size());
                             });
  });

  std::string dataDir = m_options.dataDir;
  Get("/test/files/([^/]+)", [dataDir](const httplib::Request& req, const RecordedRequest&, httplib::Response& res) {
    std::string name = req.matches[1].str();
    int fd = -1;
    // Opening never waits (a pipe without a writer would hold the worker, and a stop,
    // for good) and never follows a link out of the folder.
    if (!dataDir.empty() && SafeName(name))
      fd = ::open((dataDir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (fd >= 0) ::close(fd);
      res.status = 404;
      res.set_content("no such file", "text/plain");
      return;
    }
    auto file = std::shared_ptr<int>(new int(fd), [](int* p) {
      ::close(*p);
      delete p;
    });
    res.set_content_provider(static_cast<size_t>(st.st_size), "application/octet-stream",
                             [file](size_t offset, size_t length, httplib::DataSink& sink) {
                               std::string piece(std::min<size_t>(length, 256 * 1024), '\0');
                               ssize_t n = ::pread(*file, piece.data(), piece.size(), static_cast<off_t>(offset));
                               if (n <= 0) return false;
                               return sink.write(piece.data(), static_cast<size_t>(n));
                             });
  });

  Post(
      "/test/sink",
      [](const httplib::Request&, const RecordedRequest& rec, httplib::Response& res) {
        res.set_content("{\"received\":" + std::to_string(rec.bodySize) + ",\"parts\":" +
                            std::to_string(rec.parts.size()) + "}",
                        "application/json");
      },
      BodyMode::kCount);

  Get("/api_server/", [](const httplib::Request&, const RecordedRequest&, httplib::Response& res) {
    res.set_content("<s><State>normal</State></s>", "text/xml");
  });
}

}  // namespace localsvc
