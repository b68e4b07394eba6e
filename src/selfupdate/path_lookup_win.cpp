#include "selfupdate/path_lookup_win.h"
#include "core/windows_text_win.h"

#include <windows.h>

namespace vesk::updater {

PathLookupResult lookUpPath(const std::string& path) {
    PathLookupResult state;
    const DWORD attributes = ::GetFileAttributesW(pathForWindows(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        state.outcome = PathLookup::Found;
        state.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return state;
    }
    state.error = ::GetLastError();
    state.outcome = (state.error == ERROR_FILE_NOT_FOUND || state.error == ERROR_PATH_NOT_FOUND)
                        ? PathLookup::Missing
                        : PathLookup::Failed;
    return state;
}

} // namespace vesk::updater
