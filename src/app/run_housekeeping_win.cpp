#include "app/run_housekeeping_win.h"

#include "core/handles_win.h"
#include "core/instance_lock_win.h"
#include "core/logger.h"
#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "selfupdate/self_update_text.h"
#include "transfer/file_tree_win.h"
#include "ui/updater_window_win.h"

#include <sddl.h>

#include <thread>
#include <vector>

namespace vesk::updater {

namespace {

// Held open, sharing nothing, until the process ends; never closed before, whatever runs at exit.
FileHandle& runOwnerFile() {
    static FileHandle* const file = new FileHandle();
    return *file;
}

bool ownedByLivingRun(const std::string& folder) {
    FileHandle probe(::CreateFileW(pathForWindows(folder + "\\" + kRunOwnerFileName).c_str(), GENERIC_READ, 0,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !probe && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

void removeEndedRunFolders(const std::string& parent) {
    WIN32_FIND_DATAW entry{};
    std::vector<std::string> ended;
    {
        FindHandle search(::FindFirstFileW(pathForWindows(parent + "*").c_str(), &entry));
        if (!search) {
            return;
        }
        do {
            const std::string name = narrow(entry.cFileName);
            if (name == "." || name == "..") {
                continue;
            }
            const std::string path = parent + name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                ended.push_back(path); // nothing but run folders belongs here
            } else if (!ownedByLivingRun(path)) {
                ended.push_back(path);
            }
        } while (::FindNextFileW(search.get(), &entry));
    }
    for (const std::string& path : ended) {
        // Whatever cannot go now (a file still open somewhere) goes on a later run.
        if (!removeDirectoryTree(path)) {
            ::DeleteFileW(pathForWindows(path).c_str());
        }
    }
}

void removeLeftover(const std::string& path, const char* what) {
    if (::GetFileAttributesW(pathForWindows(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    logger().info(std::string("Removing ") + what + ": " + path);
    if (!::DeleteFileW(pathForWindows(path).c_str())) {
        logger().warning("Could not remove " + path + " (Error " + std::to_string(::GetLastError()) + ")");
    }
}

struct WindowSearch {
    std::wstring ownImage;
    HWND found = nullptr;
};

std::wstring imageOf(DWORD processId) {
    KernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return {};
    }
    std::vector<wchar_t> buffer(32768);
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &length)) {
        return {};
    }
    return std::wstring(buffer.data(), length);
}

BOOL CALLBACK matchRunningWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != ::GetCurrentProcessId() && std::wstring(className) == kUpdaterWindowClass &&
        ::IsWindowVisible(window) &&
        ::CompareStringOrdinal(imageOf(owner).c_str(), -1, search->ownImage.c_str(), -1, TRUE) ==
            CSTR_EQUAL) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The folder of the runs is emptied by every run, which may run as the system: in a temporary folder that
// others may write to (the system's), a folder or link someone else put there must never be taken for it,
// or a run would delete wherever it points. Made here, only the system and administrators may change it.
bool makeRunsFolder(const std::string& runs) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                               SDDL_REVISION_1, &descriptor, nullptr)) {
        attributes.lpSecurityDescriptor = descriptor;
    }
    ::CreateDirectoryW(pathForWindows(runs).c_str(),
                       descriptor ? &attributes : nullptr); // normally there already
    ::LocalFree(descriptor);
    FileHandle folder(::CreateFileW(pathForWindows(runs).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    return folder && ::GetFileInformationByHandle(folder.get(), &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           ownedByTheProgramsAccounts(folder.get(), true);
}

} // namespace

std::string prepareRunFolder(const std::string& parent, unsigned long processId) {
    const std::string runs = parent + kRunFoldersName + "\\";
    if (!makeRunsFolder(runs)) {
        logger().warning("Not using the temporary folder " + runs + ": it is not this program's own");
        return {};
    }
    removeEndedRunFolders(runs);
    const std::string folder = runs + "run-" + std::to_string(processId);
    // Another run's clean-up may take an empty folder away before its owner file exists: make it again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        ::CreateDirectoryW(pathForWindows(folder).c_str(), nullptr);
        FileHandle owner(::CreateFileW(pathForWindows(folder + "\\" + kRunOwnerFileName).c_str(),
                                       GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                       nullptr));
        if (owner) {
            runOwnerFile() = std::move(owner);
            return folder + "\\";
        }
    }
    return {};
}

void removeInstallLeftovers(const std::string& installDirectory, bool withHandOverCopy) {
    for (const char* name : kCoreFileNames) {
        removeLeftover(coreFilePaths(installDirectory, name, name).temporaryDownload, "left-over download");
    }
    const SelfReplacementPaths paths = selfReplacementPaths(installDirectory);
    removeLeftover(paths.temporaryDownload, "left-over download");
    if (withHandOverCopy) {
        removeLeftover(paths.copy, "left-over self-update copy");
    }
}

bool bringRunningWindowToFront(std::chrono::milliseconds limit) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    WindowSearch search{std::wstring(buffer.data(), length)};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        ::EnumWindows(matchRunningWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            if (::IsIconic(search.found)) {
                ::ShowWindow(search.found, SW_RESTORE);
            }
            ::SetForegroundWindow(search.found);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace vesk::updater
