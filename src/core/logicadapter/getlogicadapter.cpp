// The process-wide adapter on the real shell adapter and sync centre. Kept apart from
// the class so that a program (or test) that makes its own adapters does not need
// the real components.
#include "core/logicadapter/logicadapter.h"
#include "core/synccenter.h"
#include "shell/shelladapter.h"

CLogicAdapter& GetLogicAdapter() {
  static CLogicAdapter adapter(LogicAdapterCreators{
      [](IShellAdapter** pp) { return CreateShellAdapter(pp); },
      [](ISyncCenter** pp) { return CreateSyncCenter(pp); },
  });
  return adapter;
}
