#include "selfupdate/pending_placement_win.h"

#include "core/wide_text.h"
#include "core/windows_text_win.h"
#include "integrity/file_hash.h"

#include <cstring>
#include <vector>

namespace vesk::updater {

namespace {

constexpr DWORD kCopyChunkBytes = 64 * 1024;

void reach(const PendingStepHook& hook, PendingStep step) {
    if (hook) {
        hook(step);
    }
}

unsigned long lastErrorOr(unsigned long fallback) {
    const DWORD code = ::GetLastError();
    return code != ERROR_SUCCESS ? code : fallback;
}

// Renames the open file onto destination. The handle must have been opened with DELETE access.
bool renameByHandle(HANDLE file, const std::string& destination) {
    const std::wstring name = widen(destination);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, name.data(), info->FileNameLength);
    return ::SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}

// Marks the open file for deletion when its last handle closes. The handle needs DELETE access.
bool deleteOnClose(HANDLE file) {
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof(info)) != 0;
}

bool rewind(HANDLE file) {
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != 0;
}

// Copies every byte of source (from its start) to destination's current position. A read or write that
// fails stops the copy with its error; the hook hears `started` after the first chunk is written.
unsigned long copyBytes(HANDLE source, HANDLE destination, const PendingStepHook& hook,
                        std::optional<PendingStep> started) {
    if (!rewind(source)) {
        return lastErrorOr(ERROR_READ_FAULT);
    }
    std::vector<unsigned char> buffer(kCopyChunkBytes);
    bool first = true;
    while (true) {
        DWORD count = 0;
        if (!::ReadFile(source, buffer.data(), kCopyChunkBytes, &count, nullptr)) {
            return lastErrorOr(ERROR_READ_FAULT);
        }
        if (count == 0) {
            return 0;
        }
        DWORD written = 0;
        if (!::WriteFile(destination, buffer.data(), count, &written, nullptr) || written != count) {
            return lastErrorOr(ERROR_WRITE_FAULT);
        }
        if (first && started) {
            reach(hook, *started);
        }
        first = false;
    }
}

// Writes source's bytes into a new file beside destination, flushes it to disk and renames it onto
// destination, so destination is at every moment either its old self or the whole new file.
unsigned long replaceByCopy(HANDLE source, const std::string& destination, const PendingStepHook& hook,
                            std::optional<PendingStep> started, std::optional<PendingStep> written) {
    const std::string temporary = besideTemporaryPath(destination);
    FileHandle out(::CreateFileW(pathForWindows(temporary).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        return lastErrorOr(ERROR_OPEN_FAILED);
    }
    unsigned long error = copyBytes(source, out.get(), hook, started);
    if (error == 0 && !::FlushFileBuffers(out.get())) {
        error = lastErrorOr(ERROR_WRITE_FAULT);
    }
    if (error == 0) {
        if (written) {
            reach(hook, *written);
        }
        if (renameByHandle(out.get(), destination)) {
            return 0;
        }
        error = lastErrorOr(ERROR_WRITE_FAULT);
    }
    deleteOnClose(out.get());
    return error;
}

// Writes source's bytes over destination itself. Only for a destination that cannot be renamed over.
unsigned long overwriteInPlace(HANDLE source, const std::string& destination) {
    FileHandle out(::CreateFileW(pathForWindows(destination).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        return lastErrorOr(ERROR_OPEN_FAILED);
    }
    unsigned long error = copyBytes(source, out.get(), nullptr, std::nullopt);
    if (error == 0 && !::SetEndOfFile(out.get())) {
        error = lastErrorOr(ERROR_WRITE_FAULT);
    }
    if (error == 0 && !::FlushFileBuffers(out.get())) {
        error = lastErrorOr(ERROR_WRITE_FAULT);
    }
    return error;
}

// Opened for reading by a program that is not ours to stop: readers and a rename of the file are fine.
FileHandle openForReading(const std::string& path) {
    return FileHandle(::CreateFileW(pathForWindows(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

// SHA-256 of everything the handle reads from the start; "" on any failure, a failed read included.
std::string sha256Of(HANDLE file) {
    if (!rewind(file)) {
        return {};
    }
    return computeHandleSha256(file);
}

} // namespace

unsigned long StagedFile::open(const std::string& path) {
    path_ = path;
    renamed_ = false;
    // No write sharing: nobody can change the bytes between the check and the placement. No delete sharing:
    // nobody can swap another file in under this name either. DELETE lets the placement rename this handle.
    file_.reset(::CreateFileW(pathForWindows(path).c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_ ? 0 : lastErrorOr(ERROR_OPEN_FAILED);
}

unsigned long StagedFile::size(unsigned long long& bytes) const {
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(file_.get(), &value)) {
        return lastErrorOr(ERROR_READ_FAULT);
    }
    bytes = static_cast<unsigned long long>(value.QuadPart);
    return 0;
}

std::string StagedFile::sha256() const {
    return sha256Of(file_.get());
}

unsigned long StagedFile::placeAt(const std::string& target, const PendingStepHook& hook) {
    if (renameByHandle(file_.get(), target)) {
        renamed_ = true;
        reach(hook, PendingStep::Placed);
        return 0;
    }
    const unsigned long renameError = lastErrorOr(ERROR_WRITE_FAULT);
    if (renameError != ERROR_NOT_SAME_DEVICE) {
        return renameError;
    }
    const unsigned long copyError =
        replaceByCopy(file_.get(), target, hook, PendingStep::CopyStarted, PendingStep::CopyWritten);
    if (copyError == 0) {
        reach(hook, PendingStep::Placed);
    }
    return copyError;
}

unsigned long StagedFile::copyOver(const std::string& target) const {
    return overwriteInPlace(file_.get(), target);
}

void StagedFile::removeCopiedSource() {
    if (renamed_ || !file_) {
        return;
    }
    if (deleteOnClose(file_.get())) {
        file_.reset();
        return;
    }
    file_.reset();
    ::DeleteFileW(pathForWindows(path_).c_str());
}

bool fileHasSha256(const std::string& path, const std::string& expectedSha256) {
    const FileHandle file = openForReading(path);
    return file && sha256Of(file.get()) == expectedSha256;
}

bool backupBelongsToRecord(const std::string& backupPath, const std::string& fingerprint) {
    const FileHandle backup = openForReading(backupPath);
    const FileHandle note = openForReading(backupFingerprintPath(backupPath));
    if (!backup || !note) {
        return false;
    }
    char text[64] = {};
    DWORD count = 0;
    if (!::ReadFile(note.get(), text, sizeof(text), &count, nullptr)) {
        return false;
    }
    return std::string(text, count) == fingerprint;
}

unsigned long takeBackup(const std::string& target, const std::string& backupPath,
                         const std::string& fingerprint, const PendingStepHook& hook) {
    const FileHandle current = openForReading(target);
    if (!current) {
        return lastErrorOr(ERROR_OPEN_FAILED);
    }
    const unsigned long error =
        replaceByCopy(current.get(), backupPath, hook, std::nullopt, PendingStep::BackupWritten);
    if (error != 0) {
        return error;
    }
    // Written after the backup is whole: a stop before this leaves the note of an older record, and the
    // next run takes the backup again from the target, which nothing has changed yet.
    FileHandle note(::CreateFileW(pathForWindows(backupFingerprintPath(backupPath)).c_str(), GENERIC_WRITE, 0,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (note) {
        ::WriteFile(note.get(), fingerprint.data(), static_cast<DWORD>(fingerprint.size()), &written,
                    nullptr);
        ::FlushFileBuffers(note.get());
    }
    reach(hook, PendingStep::BackupPlaced);
    return 0;
}

unsigned long restoreBackup(const std::string& backupPath, const std::string& target) {
    const FileHandle backup = openForReading(backupPath);
    if (!backup) {
        return lastErrorOr(ERROR_OPEN_FAILED);
    }
    if (replaceByCopy(backup.get(), target, nullptr, std::nullopt, std::nullopt) == 0) {
        return 0;
    }
    return overwriteInPlace(backup.get(), target);
}

void removeStagedLeftover(const std::string& source, const std::string& target,
                          const std::string& expectedSha256) {
    const auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        const FileHandle file(::CreateFileW(pathForWindows(path).c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return file && ::GetFileInformationByHandle(file.get(), &info);
    };
    BY_HANDLE_FILE_INFORMATION staged{};
    BY_HANDLE_FILE_INFORMATION placed{};
    if (!identify(source, staged)) {
        return;
    }
    if (!identify(target, placed) ||
        (staged.dwVolumeSerialNumber == placed.dwVolumeSerialNumber &&
         staged.nFileIndexHigh == placed.nFileIndexHigh && staged.nFileIndexLow == placed.nFileIndexLow)) {
        return;
    }
    // Whatever else the record names as its staged file stays where it is.
    if (fileHasSha256(source, expectedSha256)) {
        ::DeleteFileW(pathForWindows(source).c_str());
    }
}

void discardBesideTemporary(const std::string& path) {
    ::DeleteFileW(pathForWindows(besideTemporaryPath(path)).c_str());
}

std::string installFolderOfRunningProgram() {
    std::wstring buffer(512, L'\0');
    while (true) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        if (buffer.size() >= 32768) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    // Started through a short (8.3) path, the module path is short too; records name the long form.
    const DWORD longLength = ::GetLongPathNameW(buffer.c_str(), nullptr, 0);
    std::wstring longPath(longLength, L'\0');
    if (longLength > 0 && ::GetLongPathNameW(buffer.c_str(), longPath.data(), longLength) == longLength - 1) {
        longPath.resize(longLength - 1);
        buffer = longPath;
    }
    return parentDirectoryOf(narrow(buffer));
}

PendingRunLock::Outcome PendingRunLock::acquire(const std::string& name, std::chrono::milliseconds wait,
                                                const std::function<void()>& beforeWaiting) {
    release();
    mutex_.reset(::CreateMutexW(nullptr, FALSE, widen(name).c_str()));
    if (!mutex_) {
        error_ = lastErrorOr(ERROR_INVALID_HANDLE);
        return Outcome::Failed;
    }
    DWORD result = ::WaitForSingleObject(mutex_.get(), 0);
    if (result == WAIT_TIMEOUT) {
        if (beforeWaiting) {
            beforeWaiting();
        }
        result = ::WaitForSingleObject(mutex_.get(), static_cast<DWORD>(wait.count()));
    }
    // An abandoned lock was held by a run that died; the files it left are what the next run repairs.
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        owned_ = true;
        return Outcome::Acquired;
    }
    if (result == WAIT_TIMEOUT) {
        return Outcome::Busy;
    }
    error_ = lastErrorOr(ERROR_INVALID_HANDLE);
    return Outcome::Failed;
}

void PendingRunLock::release() {
    if (owned_) {
        ::ReleaseMutex(mutex_.get());
        owned_ = false;
    }
    mutex_.reset();
}

} // namespace vesk::updater
