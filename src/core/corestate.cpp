#include "core/corestate.h"

#include "core/coreassert.h"
#include "common/recordtree.h"
#include "common/utf8.h"

namespace {

// The record with every text within the field's size.
NuvraState Bounded(const NuvraState& state) {
  NuvraState out = state;
  for (std::string* text : {&out.originPath, &out.currentPath, &out.title, &out.content, &out.link})
    if (text->size() > kNuvraTextMax) *text = Utf8CutChars(*text, kNuvraTextMax);
  return out;
}

size_t Utf16Length(const std::string& s) { return Utf8ToUtf16(s).size(); }

}  // namespace

CCoreState::CCoreState() { m_current.kind = kNuvraStateCreated; }

void CCoreState::PostState(const NuvraState& state, bool queue) {
  NuvraState record = Bounded(state);
  std::lock_guard<std::mutex> guard(m_lock);
  if (queue)
    m_queue.push_back(std::move(record));
  else
    m_current = std::move(record);
}

NuvraState CCoreState::GetState() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_queue.empty()) {
    NuvraState oldest = std::move(m_queue.front());
    m_queue.pop_front();
    return oldest;
  }
  return m_override.kind != 0 ? m_override : m_current;
}

void CCoreState::SetOverrideState(const NuvraState& state) {
  NuvraState record = Bounded(state);
  std::lock_guard<std::mutex> guard(m_lock);
  m_override = std::move(record);
}

void CCoreState::ClearOverrideState() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_override = NuvraState();
}

NuvraState BuildEventState(uint32_t kind, const RecordTree* info) {
  NuvraState state;
  state.kind = kind;
  if (kind != kNuvraStateConflict) return state;
  const RecordTree* prtInfo = info;
  ASSERT(prtInfo);
  if (!prtInfo) return state;

  const std::string strOrgFullPath = prtInfo->GetValue("OrgFullPath");
  const std::string strCurFullPath = prtInfo->GetValue("CurFullPath");
  const std::string strConflictType = prtInfo->GetValue("ConflictType");
  ASSERT_TEXT(!strOrgFullPath.empty(), "!IsStrEmpty(strOrgFullPath)");
  ASSERT_TEXT(Utf16Length(strOrgFullPath) <= 260, "strOrgFullPath.GetLength() <= 260");
  ASSERT_TEXT(!strCurFullPath.empty(), "!IsStrEmpty(strCurFullPath)");
  ASSERT_TEXT(Utf16Length(strCurFullPath) <= 260, "strCurFullPath.GetLength() <= 260");
  ASSERT_TEXT(!strConflictType.empty(), "!IsStrEmpty(strConflictType)");
  if (strConflictType == "VersionConflict") {
    state.subKind = kConflictVersion;
  } else if (strConflictType == "NameConflict") {
    state.subKind = kConflictName;
  } else {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: 0");
  }
  state.originPath = Utf8CutChars(strOrgFullPath, kNuvraTextMax);
  state.currentPath = Utf8CutChars(strCurFullPath, kNuvraTextMax);
  return state;
}
