// The XML reader on several threads at once, from the very first document: every
// thread must see white space kept (TinyXML's process-wide switch is set once,
// before any document is read) and get its own tree.
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "common/xmlhelper.h"
#include "support/testenv.h"

namespace {

class XmlReaderConcurrencyTest : public OstrelTest {};

TEST_F(XmlReaderConcurrencyTest, FirstDocumentsOnManyThreadsKeepWhiteSpace) {
  constexpr int kThreads = 8;
  constexpr int kDocs = 200;
  std::latch start(kThreads);
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kDocs; ++i) {
        std::string name = "  name  " + std::to_string(t) + "  " + std::to_string(i) + " ";
        RecordTree request("nuvra");
        request.AddValue("name", name);
        RecordTree reply;
        if (ParseXmlToRecordTree(&reply, RecordTreeToXmlDocument(request)) != S_OK ||
            reply.GetValue("name") != name)
          ++wrong[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

}  // namespace
