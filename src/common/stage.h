// What a stage is: the folder that holds a prepared version of the bundle. The updater deletes
// one after an update, and the uninstaller deletes the one the application left in the install
// folder; both only when it is recognisably a stage.
#pragma once

#include <string>

#include "common/os_error.h"

namespace tavrio::bundle {

// Where the application puts the stage: "<install>\update".
inline constexpr wchar_t kStageFolder[] = L"update";

// Whether `folder` is a real folder (not a link) that holds at its top nothing but what a stage
// holds: the executable `exe_name`, the program folder, the uninstaller and the package
// manifest (an empty folder too). A folder with anything else in it is not a stage but a folder
// named by mistake, the user's profile or a folder of documents, and is left as it is.
bool holds_only_a_stage(const std::wstring& folder, const std::wstring& exe_name);

// The same, telling "cannot say" apart from "no": an error when the folder is there but could
// not be read. A folder that is not there holds no stage.
Status read_stage(const std::wstring& folder, const std::wstring& exe_name, bool* only_a_stage);

}  // namespace tavrio::bundle
