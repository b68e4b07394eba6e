#include "transfer/file_tree_win.h"

#include "core/handles_win.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"

namespace vesk::updater {

namespace {

enum class Walk { Found, NotFound, Failed };

bool isDots(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// A file reached through a link counts when its target is a file.
bool isRegularFile(const std::string& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return true;
    }
    FileHandle target(::CreateFileW(pathForWindows(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    return target && ::GetFileInformationByHandle(target.get(), &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

Walk findIn(const std::string& directory, const std::string& wantedName, std::string& found) {
    WIN32_FIND_DATAW entry;
    FindHandle find(::FindFirstFileW(pathForWindows(directory + "\\*").c_str(), &entry));
    if (!find) {
        return Walk::Failed;
    }
    do {
        if (isDots(entry.cFileName)) {
            continue;
        }
        const std::string name = narrow(entry.cFileName);
        const std::string path = directory + "\\" + name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                continue;
            }
            const Walk inner = findIn(path, wantedName, found);
            if (inner != Walk::NotFound) {
                return inner;
            }
        } else if (wantedName == name && isRegularFile(path, entry.dwFileAttributes)) {
            found = path;
            return Walk::Found;
        }
    } while (::FindNextFileW(find.get(), &entry));
    return ::GetLastError() == ERROR_NO_MORE_FILES ? Walk::NotFound : Walk::Failed;
}

bool removeEntry(const std::string& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(pathForWindows(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ::DeleteFileW(pathForWindows(path).c_str()) != 0;
    }
    // A folder link goes without touching what it points to.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return ::RemoveDirectoryW(pathForWindows(path).c_str()) != 0;
    }
    const bool emptied = removeDirectoryContents(path);
    return ::RemoveDirectoryW(pathForWindows(path).c_str()) != 0 && emptied;
}

} // namespace

std::string findFileInTree(const std::string& directory, const std::string& wantedName) {
    std::string found;
    return findIn(directory, wantedName, found) == Walk::Found ? found : std::string();
}

bool removeDirectoryContents(const std::string& directory) {
    WIN32_FIND_DATAW entry;
    FindHandle find(::FindFirstFileW(pathForWindows(directory + "\\*").c_str(), &entry));
    if (!find) {
        return false;
    }
    bool allRemoved = true;
    do {
        if (!isDots(entry.cFileName)) {
            allRemoved =
                removeEntry(directory + "\\" + narrow(entry.cFileName), entry.dwFileAttributes) && allRemoved;
        }
    } while (::FindNextFileW(find.get(), &entry));
    return allRemoved;
}

bool removeDirectoryTree(const std::string& directory) {
    const DWORD attributes = ::GetFileAttributesW(pathForWindows(directory).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return removeEntry(directory, attributes);
}

} // namespace vesk::updater
