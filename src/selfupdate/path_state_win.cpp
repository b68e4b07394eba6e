#include "selfupdate/path_state_win.h"

#include <windows.h>

namespace vesk::updater {

PathState queryPathState(const std::string& path) {
    PathState state;
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        state.presence = PathPresence::Present;
        state.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return state;
    }
    state.error = ::GetLastError();
    state.presence = (state.error == ERROR_FILE_NOT_FOUND || state.error == ERROR_PATH_NOT_FOUND)
                         ? PathPresence::Absent
                         : PathPresence::Unknown;
    return state;
}

} // namespace vesk::updater
