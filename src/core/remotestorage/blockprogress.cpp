#include "core/remotestorage/blockprogress.h"

HRESULT UploadProgressAdapter(void* state, double dlTotal, double dlNow, double, double ulNow, double speed) {
  auto* s = static_cast<BlockProgressState*>(state);
  if (s == nullptr || s->callback == nullptr) return S_OK;
  return s->callback(s->context, dlTotal, dlNow, s->total, s->finished + ulNow, speed);
}

HRESULT DownloadProgressAdapter(void* state, double, double dlNow, double ulTotal, double ulNow, double speed) {
  auto* s = static_cast<BlockProgressState*>(state);
  if (s == nullptr || s->callback == nullptr) return S_OK;
  return s->callback(s->context, s->total, s->finished + dlNow, ulTotal, ulNow, speed);
}
