// The block protocol's calls through a recording transport: the result word of each
// call and its failure line, escaping and exact lookups, and the replies a hostile
// service could send (refused before anything uses them). The ordinary requests and
// replies are checked by the local service in the transfer tests.
#include "core/remotestorage/remotefs.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "common/config.h"
#include "core/encrypt/encodedsize.h"
#include "core/remotestorage/blockid.h"
#include "core/remotestorage/recordingtransport.h"
#include "core/remotestorage/remotestorage.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

const std::string kSha1A = "1111111111111111111111111111111111111111";
const std::string kSha1B = "2222222222222222222222222222222222222222";
const std::string kKey(64, 'a');

class RemoteFsTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    WriteFileBytes(PathIn("config.ini"), "[Ostrel]\nServerRoot=http://api.test\n");
    CConfig::Instance().Init(Root());
    ASSERT_EQ(S_OK, CreateRemoteStorage(m_rs.Receive()));
  }
  // A downloadMetadata reply with the given block objects.
  static std::string Blocks(const std::string& objects) {
    return "{\"code\":\"ok\",\"blocks\":[" + objects + "]}";
  }
  static std::string Block(const std::string& index, const std::string& blockId, const std::string& sha1 = kSha1A,
                           const std::string& key = kKey) {
    return "{\"index\":\"" + index + "\",\"blockId\":\"" + blockId + "\",\"sha1\":\"" + sha1 + "\",\"fileKey\":\"" +
           key + "\"}";
  }

  RefPtr<IRemoteStorage> m_rs;
  TransportRecorder m_net;
};

TEST_F(RemoteFsTest, ResultWordsByCall) {
  WriteFileBytes(PathIn("block"), "encoded");
  const std::map<std::string, std::function<HRESULT()>> calls = {
      {"upload requester",
       [this] {
         RMT_FS::UploadRequester up;
         up.m_strToken = "secret-token";
         HRESULT hr = up.Perform(m_rs.get());
         EXPECT_EQ("", up.m_strStub);
         return hr;
       }},
      {"committer", [this] { return RMT_FS::Committer().Perform(m_rs.get()); }},
      {"metadata uploader",
       [this] {
         RMT_FS::MetadataUploader meta;
         meta.m_strURL = "http://blk.test/b/";
         return meta.Perform(m_rs.get());
       }},
      {"block uploader",
       [this] {
         RMT_FS::BlockUploader up;
         up.m_strURL = "http://blk.test/b/";
         up.m_strStub = "S";
         up.m_pathTmp = PathIn("block");
         return up.Perform(m_rs.get());
       }},
      {"metadata downloader", [this] { return RMT_FS::MetadataDownloader().Perform(m_rs.get()); }},
  };
  struct Case {
    const char* call;
    HRESULT transport;
    std::string reply;
    HRESULT expected;
    const char* logged;  // the failure line, or "" when not checked
  } cases[] = {
      {"upload requester", S_OK, "<nuvra result=\"overSpace\"><stub>S</stub><url>u</url></nuvra>",
       E_CV_SRV_OVER_SPACE, "RMT_FS::UploadRequester Failed, URL = http://api.test/xsvr/requestUpload/"},
      {"committer", E_CV_NETWORK_ERROR2, "", E_CV_NETWORK_ERROR2, "ERROR_CHECK_COM hr = 80044002: hr"},
      {"metadata uploader", S_OK, "{\"code\":\"badStub\"}", E_CV_SRV_BAD_STUB,
       "RMT_FS::MetadataUploader Failed, URL = http://blk.test/b/uploadMetadata, ResultCode = 'badStub'"},
      {"block uploader", S_OK, "{\"code\":\"uploadError\"}", E_CV_SRV_UPLOAD_ERROR,
       "RMT_FS::BlockUploader Failed, URL = http://blk.test/b/uploadBlock"},
      {"block uploader", S_OK, "{\"code\":\"fileVerConflict\"}", E_CV_FILE_VER_CONFLICT, ""},
      {"block uploader", S_OK, "{\"nocode\":\"x\"}", E_CV_SRV_SERVER_ERROR, ""},
      {"block uploader", S_OK, "not json", E_FAIL, "CRemoteStorage::UploadBlock() Process Xml Failed"},
      {"metadata downloader", S_OK, "{\"code\":\"badStub\"}", E_CV_SRV_BAD_STUB,
       "RMT_FS::MetadataDownloader Failed, ResultCode = 'badStub'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + ": " + c.reply);
    LogCapture log;
    m_net.Queue(c.transport, c.reply);
    EXPECT_EQ(c.expected, calls.at(c.call)());
    EXPECT_TRUE(log.Contains(c.logged)) << log.All();
    EXPECT_FALSE(log.Contains("secret-token"));
  }
}

TEST_F(RemoteFsTest, StubsAreEscapedInBodiesAndStatusKeysMatchExactly) {
  RMT_FS::MetadataUploader meta;
  meta.m_strStub = "s\"\\\n";
  meta.m_strURL = "http://blk.test/b/";
  meta._AddBlock(2, kSha1B, "m2", 1);
  meta._AddBlock(1, kSha1A, "m1", 4194304);
  m_net.Queue(S_OK, "{\"code\":\"ok\",\"blocks\":{\"400000" + kSha1A + "\":\"TargetExist\",\"000001" + kSha1B +
                        "\":\"" + kKey + "\"}}");
  ASSERT_EQ(S_OK, meta.Perform(m_rs.get()));
  EXPECT_EQ(0u, m_net.Last().body.find("{\"stub\":\"s\\\"\\\\\\u000a\",\"metas\":[")) << m_net.Last().body;
  std::string word;
  ASSERT_TRUE(meta._GetBlockStatus(1, &word));
  EXPECT_EQ("TargetExist", word);
  ASSERT_TRUE(meta._GetBlockStatus(2, &word));
  EXPECT_EQ(kKey, word);
  // A status key that differs only in letter case is not the block's.
  meta.m_Metadata.clear();
  meta._AddBlock(1, std::string(40, 'a'), "m", 4194304);
  m_net.Queue(S_OK, "{\"code\":\"ok\",\"blocks\":{\"400000" + std::string(40, 'A') + "\":\"TargetExist\"}}");
  ASSERT_EQ(S_OK, meta.Perform(m_rs.get()));
  EXPECT_FALSE(meta._GetBlockStatus(1, &word));

  RMT_FS::BlockDownloader down;
  down.m_strURL = "http://blk.test/b/";
  down.m_strStub = "S\"";
  down.m_nIndex = 12;
  down.m_pathLocal = PathIn("got");
  m_net.Queue(S_OK, "bytes");
  ASSERT_EQ(S_OK, down.Perform(m_rs.get()));
  EXPECT_EQ("{\"stub\":\"S\\\"\",\"index\":\"12\"}", m_net.Last().body);
  EXPECT_EQ("v:2&User-Agent:ostrel", m_net.Last().header) << "the block download goes out with version 2";
  EXPECT_EQ("bytes", ReadFileBytes(PathIn("got")));
  // The reply is bounded by the block's own bound; the interface's slot, which knows no
  // block, by the largest block's.
  EXPECT_EQ(MaxRtv0FileSize(kBlockSize), m_net.Last().downloadLimit);
  down.m_nMaxBytes = 4;
  m_net.Queue(S_OK, "bytes");
  EXPECT_EQ(E_CV_NETWORK_ERROR3, down.Perform(m_rs.get()));
  EXPECT_EQ(4u, m_net.Last().downloadLimit);
  EXPECT_EQ(S_OK, m_rs->DownloadBlock("http://blk.test/b/downloadBlock", nullptr, nullptr, PathIn("got"), "", "{}"));
  EXPECT_EQ(MaxRtv0FileSize(kBlockSize), m_net.Last().downloadLimit);
}

TEST_F(RemoteFsTest, HostileDownloadMetadataIsRefusedWhole) {
  const std::string good = "000001" + kSha1A;
  const std::string cases[] = {
      Blocks(Block("1", "00001" + kSha1A)),                     // 45 digits
      Blocks(Block("1", "00000A" + kSha1A)),                    // upper case
      Blocks(Block("1", "400001" + kSha1A)),                    // a byte more than a block
      Blocks(Block("1", "0000001" + kSha1A)),                   // 47 digits
      Blocks(Block("1", "00000g" + kSha1A)),
      Blocks(Block("1", "000000../../../../../../../../../../../../xx/")),
      Blocks(Block("1", "")),
      Blocks(Block("1", good, "short")),                        // no SHA-1
      Blocks(Block("1", good, kSha1A, "")),                     // no key
      Blocks(Block("1", good, kSha1A, std::string(64, 'z'))),  // no hex key
      Blocks(Block("1", good) + "," + Block("1", good)),        // one index twice
      Blocks(Block("1", good) + "," + Block("3", good)),        // a gap
      Blocks(Block("x", good)),                                 // no index
      Blocks(""),                                               // no blocks
      "{\"code\":\"ok\"}",
      "{\"code\":\"ok\",\"blocks\":[{\"index\":1}]}",  // numbers are no strings
      "{\"code\":\"ok\",\"blocks\":[",
      "",
  };
  for (const std::string& reply : cases) {
    RMT_FS::MetadataDownloader meta;
    meta.m_strURL = "http://blk.test/";
    meta.m_strStub = "S";
    m_net.Queue(S_OK, reply);
    EXPECT_EQ(E_FAIL, meta.Perform(m_rs.get())) << reply;
    EXPECT_TRUE(meta.m_Blocks.empty()) << reply;
    EXPECT_EQ(0, meta.m_nTotalSize);
  }
  // A stub or URL that cannot travel raw in a query is refused.
  for (const char* values : {"<stub>a b</stub><url>http://b/</url>", "<stub>s</stub><url>http://b/#x</url>",
                             "<stub>a&amp;b</stub><url>http://b/</url>", "<url>http://b/</url>"}) {
    m_net.Queue(S_OK, std::string("<nuvra result=\"ok\">") + values + "</nuvra>");
    RMT_FS::UploadRequester up;
    EXPECT_EQ(E_FAIL, up.Perform(m_rs.get())) << values;
    EXPECT_EQ("", up.m_strStub);
  }
}

}  // namespace
