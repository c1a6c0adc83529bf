// The ready signal: an event that the application creates (manual reset, not signalled) and names
// with "--ready" before it starts the updater. The updater sets it once everything that changes
// nothing of the installation has been done while the application still runs; from then on the
// application may exit, and the wait for its exit begins. A run that ends before that (a refused
// or damaged stage, another updater at work) never sets it: the application, which waits on the
// updater's process as well, learns of that end from the process and the failure report.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "common/handles.h"
#include "update_log.h"

namespace tavrio::updater {

struct EventTraits : InvalidIsNull {};
using UniqueEvent = UniqueHandle<EventTraits>;  // OpenEventW

// Opens the named event with the rights to set it and to wait on it, and no others; never
// creates one, since an event that the application did not make is not one it waits on. Empty
// without a name. A name that cannot be opened is logged once ("无法打开就绪事件
// <name>，照常等待主程序退出：" and the error) and the run goes on as if no name had been given.
UniqueEvent open_ready_event(const std::optional<std::wstring>& name, const UpdateLog& log);

// Sets the event: SetEvent in a run; tests look at the installation at that instant.
using ReadySet = std::function<void(HANDLE event)>;
ReadySet real_ready_set();

}  // namespace tavrio::updater
