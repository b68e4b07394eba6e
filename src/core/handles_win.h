#pragma once

// Move-only owners for every kind of Win32 handle the program uses. Each type knows its API's
// invalid value and release call, so a handle is closed exactly once on every path.

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <utility>

namespace vesk::updater {

template <typename Traits> class UniqueHandle {
public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    Value get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // For out-parameters of creating calls; releases what is held first.
    Value* put() noexcept {
        reset();
        return &value_;
    }

    Value release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(Value value = Traits::invalid()) noexcept {
        Value old = std::exchange(value_, value);
        if (old != Traits::invalid()) {
            Traits::close(old);
        }
    }

private:
    Value value_ = Traits::invalid();
};

struct KernelHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::CloseHandle(h); }
};

struct FileHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value h) noexcept { ::FindClose(h); }
};

struct InternetHandleTraits {
    using Value = HINTERNET;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::WinHttpCloseHandle(h); }
};

struct RegKeyTraits {
    using Value = HKEY;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::RegCloseKey(h); }
};

struct CryptProvTraits {
    using Value = HCRYPTPROV;
    static Value invalid() noexcept { return 0; }
    static void close(Value h) noexcept { ::CryptReleaseContext(h, 0); }
};

struct CryptHashTraits {
    using Value = HCRYPTHASH;
    static Value invalid() noexcept { return 0; }
    static void close(Value h) noexcept { ::CryptDestroyHash(h); }
};

struct CryptKeyTraits {
    using Value = HCRYPTKEY;
    static Value invalid() noexcept { return 0; }
    static void close(Value h) noexcept { ::CryptDestroyKey(h); }
};

struct IconHandleTraits {
    using Value = HICON;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::DestroyIcon(h); }
};

struct LocalMemoryTraits {
    using Value = HLOCAL;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { ::LocalFree(h); }
};

using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FileHandle = UniqueHandle<FileHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
using InternetHandle = UniqueHandle<InternetHandleTraits>;
using RegKey = UniqueHandle<RegKeyTraits>;
using CryptProv = UniqueHandle<CryptProvTraits>;
using CryptHash = UniqueHandle<CryptHashTraits>;
using CryptKey = UniqueHandle<CryptKeyTraits>;
using IconHandle = UniqueHandle<IconHandleTraits>;
using LocalMemory = UniqueHandle<LocalMemoryTraits>;

// The two handles CreateProcess hands back, owned together.
struct ProcessHandles {
    KernelHandle process;
    KernelHandle thread;

    // Takes ownership of both handles of a filled PROCESS_INFORMATION.
    static ProcessHandles adopt(const PROCESS_INFORMATION& info) noexcept {
        ProcessHandles result;
        result.process.reset(info.hProcess);
        result.thread.reset(info.hThread);
        return result;
    }
};

} // namespace vesk::updater
