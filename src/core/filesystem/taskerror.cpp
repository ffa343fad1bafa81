#include "core/filesystem/taskerror.h"

#include "core/interfaces/createtaskdata.h"

std::string TransferFailedText(const std::string& verb, const std::string& name, HRESULT result) {
  return verb + "“" + name + "”" + (result == E_CV_CURL_CANCEL ? "被取消" : "失败");
}

TaskErrorNotice TaskErrorNoticeFor(HRESULT result, int32_t direction, const std::string& fullPath) {
  TaskErrorNotice notice;
  switch (result) {
    case E_CV_SRV_METHOD_VERSION_NOT_MATCH:
      notice.text = "当前Vendro版本太旧，请重启Vendro，Vendro会自动为您升级。";
      notice.showMessage = true;
      break;
    case E_CV_SRV_CLIENT_TOKEN_EXPIRED:
    case E_CV_SRV_CLIENT_NO_LOGIN:
      notice.text = "您的会话已经过期，为了您的安全，请重新登录Vendro。";
      notice.showMessage = true;
      notice.clearSnapshot = true;
      break;
    case E_CV_SRV_OVER_SPACE:
      notice.text = "您的Sepra空间已满，当前操作失败。";
      break;
    case E_CV_TARGET_NOT_EXISTS:
      notice.text = "当前文件不存在，请刷新后检查文件是否存在。";
      break;
    case E_CV_NETWORK_ERROR:
    case E_CV_NETWORK_ERROR2:
    case E_CV_NETWORK_ERROR3:
    case E_CV_SHA1_MISMATCH:
      notice.text = "网络链接出错，请检查网络是否顺畅。";
      break;
    default:
      notice.text = TransferFailedText(direction == 1 ? "上传" : "下载", TaskPathLastElement(fullPath), result);
      break;
  }
  return notice;
}
