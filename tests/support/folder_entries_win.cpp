#include "support/folder_entries.h"

#include "core/handles_win.h"

#include <algorithm>

namespace vesk::test {

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    vesk::updater::FindHandle find(::FindFirstFileA((folder + "\\*").c_str(), &entry));
    if (find) {
        do {
            const std::string name = entry.cFileName;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        } while (::FindNextFileA(find.get(), &entry));
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace vesk::test
