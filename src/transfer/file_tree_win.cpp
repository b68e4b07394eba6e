#include "transfer/file_tree_win.h"

#include "core/handles_win.h"

namespace vesk::updater {

namespace {

enum class Walk { Found, NotFound, Failed };

bool isDots(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A file reached through a link counts when its target is a file.
bool isRegularFile(const std::string& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return true;
    }
    FileHandle target(::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    return target && ::GetFileInformationByHandle(target.get(), &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

Walk findIn(const std::string& directory, const std::string& wantedName, std::string& found) {
    WIN32_FIND_DATAA entry;
    FindHandle find(::FindFirstFileA((directory + "\\*").c_str(), &entry));
    if (!find) {
        return Walk::Failed;
    }
    do {
        if (isDots(entry.cFileName)) {
            continue;
        }
        const std::string path = directory + "\\" + entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                continue;
            }
            const Walk inner = findIn(path, wantedName, found);
            if (inner != Walk::NotFound) {
                return inner;
            }
        } else if (wantedName == entry.cFileName && isRegularFile(path, entry.dwFileAttributes)) {
            found = path;
            return Walk::Found;
        }
    } while (::FindNextFileA(find.get(), &entry));
    return ::GetLastError() == ERROR_NO_MORE_FILES ? Walk::NotFound : Walk::Failed;
}

bool removeEntry(const std::string& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ::DeleteFileA(path.c_str()) != 0;
    }
    // A folder link goes without touching what it points to.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return ::RemoveDirectoryA(path.c_str()) != 0;
    }
    const bool emptied = removeDirectoryContents(path);
    return ::RemoveDirectoryA(path.c_str()) != 0 && emptied;
}

} // namespace

std::string findFileInTree(const std::string& directory, const std::string& wantedName) {
    std::string found;
    return findIn(directory, wantedName, found) == Walk::Found ? found : std::string();
}

bool removeDirectoryContents(const std::string& directory) {
    WIN32_FIND_DATAA entry;
    FindHandle find(::FindFirstFileA((directory + "\\*").c_str(), &entry));
    if (!find) {
        return false;
    }
    bool allRemoved = true;
    do {
        if (!isDots(entry.cFileName)) {
            allRemoved =
                removeEntry(directory + "\\" + entry.cFileName, entry.dwFileAttributes) && allRemoved;
        }
    } while (::FindNextFileA(find.get(), &entry));
    return allRemoved;
}

bool removeDirectoryTree(const std::string& directory) {
    const DWORD attributes = ::GetFileAttributesA(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return removeEntry(directory, attributes);
}

} // namespace vesk::updater
