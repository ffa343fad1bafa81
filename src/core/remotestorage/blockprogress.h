// Progress of a block transfer as one whole: the transport reports the bytes of the
// block in flight, the adapters turn that into bytes of the whole file for the
// caller's progress callback.
#pragma once

#include "core/interfaces/itransport.h"

// One per running block upload or download, owned by it. The adapters read it on the
// transferring thread only.
struct BlockProgressState {
  TransportProgressCallback callback = nullptr;  // the caller's; may be null
  void* context = nullptr;
  double total = 0;     // size of the whole file
  double finished = 0;  // bytes of the blocks already done
};

// The transport's callback form with a BlockProgressState as context. Upload: the
// download pair and speed pass unchanged, the upload total becomes the file's total and
// the upload count adds the finished bytes. Download: the same on the download pair.
// Each returns what the caller's callback returns (S_OK without one), so an E_FAIL
// from it cancels the transfer.
HRESULT UploadProgressAdapter(void* state, double dlTotal, double dlNow, double ulTotal, double ulNow,
                              double speed);
HRESULT DownloadProgressAdapter(void* state, double dlTotal, double dlNow, double ulTotal, double ulNow,
                                double speed);
