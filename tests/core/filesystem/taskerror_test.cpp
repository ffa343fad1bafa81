// What the user is told when a file task failed: one text per kind of result, with the
// message box first for an old version and an expired session, and the cached listings
// cleared for an expired session.
#include <gtest/gtest.h>

#include "core/filesystem/taskerror.h"

namespace {

TEST(TaskErrorNoticeTest, EachResultHasItsText) {
  const char* kSession = "您的会话已经过期，为了您的安全，请重新登录Vendro。";
  const char* kNetwork = "网络链接出错，请检查网络是否顺畅。";
  const struct {
    HRESULT result;
    int32_t direction;
    const char* text;
    bool message, clear;
  } rows[] = {
      {E_CV_SRV_METHOD_VERSION_NOT_MATCH, 0, "当前Vendro版本太旧，请重启Vendro，Vendro会自动为您升级。", true, false},
      {E_CV_SRV_CLIENT_TOKEN_EXPIRED, 1, kSession, true, true},
      {E_CV_SRV_CLIENT_NO_LOGIN, 0, kSession, true, true},
      {E_CV_SRV_OVER_SPACE, 1, "您的Sepra空间已满，当前操作失败。", false, false},
      {E_CV_TARGET_NOT_EXISTS, 0, "当前文件不存在，请刷新后检查文件是否存在。", false, false},
      {E_CV_NETWORK_ERROR, 0, kNetwork, false, false},
      {E_CV_NETWORK_ERROR2, 1, kNetwork, false, false},
      {E_CV_NETWORK_ERROR3, 0, kNetwork, false, false},
      {E_CV_SHA1_MISMATCH, 1, kNetwork, false, false},
      {E_CV_CURL_CANCEL, 1, "上传“报告.doc”被取消", false, false},
      {E_CV_CURL_CANCEL, 0, "下载“报告.doc”被取消", false, false},
      {E_CV_TASK_FAILED, 1, "上传“报告.doc”失败", false, false},
      {E_FAIL, 0, "下载“报告.doc”失败", false, false},
      {E_CV_LOCAL_LOCKED, 0, "下载“报告.doc”失败", false, false},
  };
  for (const auto& row : rows) {
    const TaskErrorNotice notice = TaskErrorNoticeFor(row.result, row.direction, "\\docs\\2024\\报告.doc");
    EXPECT_EQ(notice.text, row.text) << std::hex << row.result;
    EXPECT_EQ(notice.showMessage, row.message) << std::hex << row.result;
    EXPECT_EQ(notice.clearSnapshot, row.clear) << std::hex << row.result;
  }
}

}  // namespace
