#include "core/filesystem/searchmerge.h"

#include <algorithm>

namespace {

bool ByFileId(const CFileItemRecord& a, const CFileItemRecord& b) { return a.strSvrId < b.strSvrId; }

}  // namespace

void MergeSearchHits(std::vector<CFileItemRecord> serviceHits, std::vector<CFileItemRecord> localHits,
                     std::vector<CFileItemRecord>* out) {
  std::stable_sort(serviceHits.begin(), serviceHits.end(), ByFileId);
  std::stable_sort(localHits.begin(), localHits.end(), ByFileId);
  out->reserve(out->size() + serviceHits.size() + localHits.size());
  size_t i = 0, j = 0;
  while (i < serviceHits.size() && j < localHits.size()) {
    if (ByFileId(localHits[j], serviceHits[i])) {
      out->push_back(std::move(localHits[j++]));
    } else {
      // Equal ids: the service's hit stands for both.
      if (!ByFileId(serviceHits[i], localHits[j])) ++j;
      out->push_back(std::move(serviceHits[i++]));
    }
  }
  for (; i < serviceHits.size(); ++i) out->push_back(std::move(serviceHits[i]));
  for (; j < localHits.size(); ++j) out->push_back(std::move(localHits[j]));
}
