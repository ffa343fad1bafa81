// The result of a search: the service's hits and the local storage's hits as one list.
#pragma once

#include <vector>

#include "core/interfaces/fileitemrecord.h"

// Appends to *out the union of both lists by fileId, ascending in byte order (case
// counts): each list is sorted first (stably), then the smaller fileId goes first; a
// fileId in both lists is taken once, from the service's hits.
void MergeSearchHits(std::vector<CFileItemRecord> serviceHits, std::vector<CFileItemRecord> localHits,
                     std::vector<CFileItemRecord>* out);
