// Reply handling of the remote storage: arbitrary bytes as the reply of every kind of
// request (through a scripted transport). Never crashes, and a request succeeds only
// on a reply whose result word means success.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../core/remotestorage/recordingtransport.h"
#include "common/recordtree.h"
#include "core/interfaces/createtaskdata.h"
#include "core/remotestorage/remotestorage.h"
#include "fuzzfiles.h"

namespace {

void Check(HRESULT hr, const RecordTree& result) {
  if (hr != S_OK) return;
  std::string word = result.GetAttribute("result");
  if (word != "ok" && word != "Ok") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzfiles::Folder();
  static TransportRecorder* net = new TransportRecorder();
  static IRemoteStorage* rs = [] {
    IRemoteStorage* p = nullptr;
    if (FAILED(CreateRemoteStorage(&p))) std::abort();
    return p;
  }();
  std::string reply(reinterpret_cast<const char*>(data), size);
  net->Clear();
  net->SetDefault(S_OK, reply);
  remotestoragecontrol::ResetGlobalVersionFlag();

  RecordTree r1, r2, r3, r4, r5;
  TaskDataPtr<TaskData_Dir> dir(CreateTaskData_Dir("T", "F"));
  Check(rs->Dir(*dir, nullptr, nullptr, &r1), r1);
  TaskDataPtr<TaskData_DirectoryAdd> folder(CreateTaskData_CreateDirectory("T", "P", "a\\b"));
  Check(rs->NewFolder(*folder, nullptr, nullptr, &r2), r2);
  TaskData_PushNotify push;
  push.strUserId = "42";
  Check(rs->PushNotify(push, nullptr, nullptr, &r3), r3);
  TaskDataPtr<TaskData_Delete> del(CreateTaskData_Delete("T", false, "F", "a"));
  rs->Delete(*del, nullptr, nullptr);
  HRESULT hr = rs->CheckProxyServer(&r4);
  if (hr != S_OK && hr != S_FALSE && !FAILED(hr)) std::abort();
  std::string version;
  hr = rs->GetGlobalVersion("T", &version);
  if (FAILED(hr) && !version.empty()) std::abort();
  std::string raw;
  hr = rs->HttpRequest("http://x/", "v:3", nullptr, nullptr, nullptr, &raw, 30);
  if (SUCCEEDED(hr) && raw != reply) std::abort();
  // A reply that came with a transport failure is never read.
  net->Queue(E_CV_NETWORK_ERROR3, reply);
  if (rs->Dir(*dir, nullptr, nullptr, &r5) != E_CV_NETWORK_ERROR3 || !r5.IsEmpty()) std::abort();
  return 0;
}
