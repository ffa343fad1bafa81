// The block protocol's calls through a recording transport: the exact URL, header and
// body of each, what is read from the replies, and the download metadata a hostile
// service could send (which must be refused before anything uses it).
#include "core/remotestorage/remotefs.h"

#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "core/remotestorage/recordingtransport.h"
#include "core/remotestorage/remotestorage.h"
#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";
const std::string kV3 = "v:3&User-Agent:ostrel";
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

TEST_F(RemoteFsTest, RequestersSendVersionThreeXml) {
  m_net.Queue(S_OK, "<nuvra result=\"ok\"><stub>S1</stub><URL>http://blk.test/b/</URL></nuvra>");
  RMT_FS::UploadRequester up;
  up.m_strToken = "T";
  up.m_strFileVer = "4";
  up.m_strSize = "5000000000";
  up.m_strFileId = "F";
  up.m_strSha1 = kSha1A;
  ASSERT_EQ(S_OK, up.Perform(m_rs.get()));
  EXPECT_EQ("S1", up.m_strStub);
  EXPECT_EQ("http://blk.test/b/", up.m_strUrl) << "url is looked up ignoring case";
  RecordedCall call = m_net.Last();
  EXPECT_EQ("http://api.test/xsvr/requestUpload/", call.url);
  EXPECT_EQ(kV3, call.header);
  EXPECT_EQ(30, call.timeoutSec);
  EXPECT_EQ(kDecl + "<nuvra><token>T</token><fileVer>4</fileVer><size>5000000000</size><fileId>F</fileId><sha1>" +
                kSha1A + "</sha1></nuvra>",
            call.body);

  m_net.Queue(S_OK, "<nuvra result=\"ok\"><fileVer>5</fileVer></nuvra>");
  RMT_FS::Committer commit;
  commit.m_strToken = "T";
  commit.m_strStub = "S1";
  ASSERT_EQ(S_OK, commit.Perform(m_rs.get()));
  EXPECT_EQ("5", commit.m_strFileVer);
  EXPECT_EQ("http://api.test/xsvr/commit/", m_net.Last().url);
  EXPECT_EQ(kDecl + "<nuvra><token>T</token><stub>S1</stub></nuvra>", m_net.Last().body);

  for (bool previous : {false, true}) {
    m_net.Queue(S_OK, "<nuvra result=\"ok\"><stub>D</stub><url>http://blk.test/</url><fileVer>7</fileVer><sha1>" +
                          kSha1B + "</sha1></nuvra>");
    RMT_FS::DownloadRequester down;
    down.m_strToken = "T";
    down.m_strId = "F";
    ASSERT_EQ(S_OK, previous ? down.PerformDownload_PrevVer(m_rs.get()) : down.PerformDownload(m_rs.get()));
    EXPECT_EQ(previous ? "http://api.test/xsvr/requestDownloadPreviousVer/" : "http://api.test/xsvr/requestDownload/",
              m_net.Last().url);
    EXPECT_EQ(kV3, m_net.Last().header);
    EXPECT_EQ("D", down.m_strStub);
    EXPECT_EQ("7", down.m_strFileVer);
    EXPECT_EQ(kSha1B, down.m_strSha1);
  }
}

TEST_F(RemoteFsTest, RequesterFailuresKeepTheOutputsAndNameTheCall) {
  LogCapture log;
  m_net.Queue(S_OK, "<nuvra result=\"overSpace\"><stub>S</stub><url>u</url></nuvra>");
  RMT_FS::UploadRequester up;
  up.m_strToken = "secret-token";
  EXPECT_EQ(E_CV_SRV_OVER_SPACE, up.Perform(m_rs.get()));
  EXPECT_EQ("", up.m_strStub);
  EXPECT_TRUE(log.Contains("RMT_FS::UploadRequester Failed, URL = http://api.test/xsvr/requestUpload/")) << log.All();
  EXPECT_TRUE(log.Contains("ResultCode = 'overSpace'"));
  EXPECT_FALSE(log.Contains("secret-token"));

  // A stub or URL that cannot travel raw in a query is refused.
  for (const char* values : {"<stub>a b</stub><url>http://b/</url>", "<stub>s</stub><url>http://b/#x</url>",
                             "<stub>a&amp;b</stub><url>http://b/</url>", "<url>http://b/</url>"}) {
    m_net.Queue(S_OK, std::string("<nuvra result=\"ok\">") + values + "</nuvra>");
    EXPECT_EQ(E_FAIL, up.Perform(m_rs.get())) << values;
    EXPECT_EQ("", up.m_strStub);
  }
  m_net.Queue(E_CV_NETWORK_ERROR2, "");
  RMT_FS::Committer commit;
  EXPECT_EQ(E_CV_NETWORK_ERROR2, commit.Perform(m_rs.get()));
}

TEST_F(RemoteFsTest, MetadataUploadBodyIsByteExactAndStatusLookupExact) {
  RMT_FS::MetadataUploader meta;
  meta.m_strToken = "T";
  meta.m_strStub = "S";
  meta.m_strURL = "http://blk.test/b/";
  meta._AddBlock(2, kSha1B, "m2", 1);
  meta._AddBlock(1, kSha1A, "m1", 4194304);
  const std::string b1 = "400000" + kSha1A, b2 = "000001" + kSha1B;
  m_net.Queue(S_OK, "{\"code\":\"ok\",\"blocks\":{\"" + b1 + "\":\"TargetExist\",\"" + std::string("000001") +
                        "2222222222222222222222222222222222222222" + "\":\"" + kKey + "\"}}");
  ASSERT_EQ(S_OK, meta.Perform(m_rs.get()));
  RecordedCall call = m_net.Last();
  EXPECT_EQ("http://blk.test/b/uploadMetadata", call.url);
  EXPECT_EQ(kV3, call.header);
  EXPECT_EQ("{\"stub\":\"S\",\"metas\":[{\"index\":1,\"md5\":\"m1\",\"blockId\":" + b1 +
                "},{\"index\":2,\"md5\":\"m2\",\"blockId\":" + b2 + "}]}",
            call.body);
  EXPECT_EQ(std::string::npos, call.body.find("T\"")) << "the token is not sent";
  std::string word;
  ASSERT_TRUE(meta._GetBlockStatus(1, &word));
  EXPECT_EQ("TargetExist", word);
  ASSERT_TRUE(meta._GetBlockStatus(2, &word));
  EXPECT_EQ(kKey, word);
  EXPECT_FALSE(meta._GetBlockStatus(3, &word));
  EXPECT_EQ(0u, meta._GetBlockSize(3));
  EXPECT_EQ(kSha1B, meta._GetBlockSha1(2));

  // A status key that differs only in letter case is not the block's.
  m_net.Queue(S_OK, "{\"code\":\"ok\",\"blocks\":{\"400000" + std::string(40, 'A') + "\":\"TargetExist\"}}");
  meta.m_Metadata.clear();
  meta._AddBlock(1, std::string(40, 'a'), "m", 4194304);
  ASSERT_EQ(S_OK, meta.Perform(m_rs.get()));
  EXPECT_FALSE(meta._GetBlockStatus(1, &word));

  // The stub is escaped for JSON.
  meta.m_strStub = "s\"\\";
  m_net.Queue(S_OK, "{\"code\":\"badStub\"}");
  LogCapture log;
  EXPECT_EQ(E_CV_SRV_BAD_STUB, meta.Perform(m_rs.get()));
  EXPECT_EQ(0u, m_net.Last().body.find("{\"stub\":\"s\\\"\\\\\",\"metas\":["));
  EXPECT_TRUE(log.Contains("RMT_FS::MetadataUploader Failed, URL = http://blk.test/b/uploadMetadata, "
                           "ResultCode = 'badStub'"));
}

TEST_F(RemoteFsTest, BlockCallsUseTheirOwnHeadersAndBodies) {
  WriteFileBytes(PathIn("block"), "encoded");
  m_net.Queue(S_OK, "{\"code\":\"ok\"}");
  RMT_FS::BlockUploader up;
  up.m_strURL = "http://blk.test/b/";
  up.m_strStub = "S+1";
  up.m_strSha1 = kSha1A;
  up.m_strSize = "7";
  up.m_strIndex = "3";
  up.m_pathTmp = PathIn("block");
  ASSERT_EQ(S_OK, up.Perform(m_rs.get()));
  RecordedCall call = m_net.Last();
  EXPECT_EQ("stream", call.kind);
  EXPECT_EQ("http://blk.test/b/uploadBlock?stub=S+1&sha1=" + kSha1A + "&size=7&index=3", call.url);
  EXPECT_EQ(kV3, call.header);
  EXPECT_EQ("encoded", call.sent);
  EXPECT_EQ(10800, call.timeoutSec);

  m_net.Queue(S_OK, "{\"code\":\"uploadError\"}");
  EXPECT_EQ(E_CV_SRV_UPLOAD_ERROR, up.Perform(m_rs.get()));
  m_net.Queue(S_OK, "{\"code\":\"fileVerConflict\"}");
  EXPECT_EQ(E_CV_FILE_VER_CONFLICT, up.Perform(m_rs.get()));
  m_net.Queue(S_OK, "{\"nocode\":\"x\"}");
  EXPECT_EQ(E_CV_SRV_SERVER_ERROR, up.Perform(m_rs.get()));
  m_net.Queue(S_OK, "not json");
  EXPECT_EQ(E_FAIL, up.Perform(m_rs.get()));

  RMT_FS::BlockDownloader down;
  down.m_strURL = "http://blk.test/b/";
  down.m_strStub = "S\"";
  down.m_nIndex = 12;
  down.m_pathLocal = PathIn("got");
  m_net.Queue(S_OK, "bytes");
  ASSERT_EQ(S_OK, down.Perform(m_rs.get()));
  call = m_net.Last();
  EXPECT_EQ("download", call.kind);
  EXPECT_EQ("http://blk.test/b/downloadBlock", call.url);
  EXPECT_EQ("v:2&User-Agent:ostrel", call.header) << "the block download goes out with version 2";
  EXPECT_EQ("{\"stub\":\"S\\\"\",\"index\":\"12\"}", call.body);
  EXPECT_EQ("bytes", ReadFileBytes(PathIn("got")));

  RMT_FS::MetadataDownloader meta;
  meta.m_strURL = "http://blk.test/b/";
  meta.m_strStub = "S";
  m_net.Queue(S_OK, Blocks(Block("2", "000001" + kSha1B) + "," + Block("1", "400000" + kSha1A)));
  ASSERT_EQ(S_OK, meta.Perform(m_rs.get()));
  EXPECT_EQ("{\"stub\":\"S\"}", m_net.Last().body);
  EXPECT_EQ("http://blk.test/b/downloadMetadata", m_net.Last().url);
  ASSERT_EQ(2u, meta.m_Blocks.size());
  EXPECT_EQ(4194304, meta.m_Blocks[1].size);
  EXPECT_EQ(1, meta.m_Blocks[2].size);
  EXPECT_EQ(4194305, meta.m_nTotalSize);
}

TEST_F(RemoteFsTest, HostileDownloadMetadataIsRefusedWhole) {
  const std::string good = "000001" + kSha1A;
  const std::string cases[] = {
      Blocks(Block("1", "../../x")),
      Blocks(Block("1", "00001" + kSha1A)),                     // 45 digits
      Blocks(Block("1", "00000A" + kSha1A)),                    // upper case
      Blocks(Block("1", "ffffff" + kSha1A)),                    // more than a block
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
  m_net.Queue(S_OK, "{\"code\":\"badStub\"}");
  RMT_FS::MetadataDownloader meta;
  LogCapture log;
  EXPECT_EQ(E_CV_SRV_BAD_STUB, meta.Perform(m_rs.get()));
  EXPECT_TRUE(log.Contains("RMT_FS::MetadataDownloader Failed, ResultCode = 'badStub'"));
}

}  // namespace
