#include "guarded_buffer_win.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace vesk::test {

namespace {

std::size_t pageSize() {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

// A read into a guard page must fail the run at once and say why; left alone, Wine would start its
// debugger and the test would sit until the harness's timeout.
LONG WINAPI reportFaultAndExit(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    std::fprintf(stderr, "\nFATAL: exception 0x%08lX at %p",
                 static_cast<unsigned long>(record->ExceptionCode), record->ExceptionAddress);
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
        std::fprintf(stderr, " (%s of address %p: a read past the end of a guarded buffer?)",
                     record->ExceptionInformation[0] == 0 ? "read" : "write",
                     reinterpret_cast<void*>(record->ExceptionInformation[1]));
    }
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

[[maybe_unused]] const auto previousFilter = ::SetUnhandledExceptionFilter(reportFaultAndExit);

} // namespace

GuardedBuffer::GuardedBuffer(std::string_view bytes) : size_(bytes.size()) {
    const std::size_t page = pageSize();
    const std::size_t dataPages = (bytes.size() + page - 1) / page + 1; // at least one readable page
    regionSize_ = (dataPages + 1) * page;
    region_ = ::VirtualAlloc(nullptr, regionSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (region_ == nullptr) {
        throw std::runtime_error("VirtualAlloc failed");
    }
    char* const base = static_cast<char*>(region_);
    char* const guard = base + dataPages * page;
    DWORD previous = 0;
    if (!::VirtualProtect(guard, page, PAGE_NOACCESS, &previous)) {
        ::VirtualFree(region_, 0, MEM_RELEASE);
        throw std::runtime_error("VirtualProtect failed");
    }
    char* const start = guard - bytes.size();
    if (!bytes.empty()) {
        std::memcpy(start, bytes.data(), bytes.size());
    }
    data_ = start;
}

GuardedBuffer::~GuardedBuffer() {
    ::VirtualFree(region_, 0, MEM_RELEASE);
}

bool GuardedBuffer::guardActive() const {
    MEMORY_BASIC_INFORMATION info{};
    if (::VirtualQuery(data_ + size_, &info, sizeof info) == 0) {
        return false;
    }
    return info.State == MEM_COMMIT && info.Protect == PAGE_NOACCESS;
}

} // namespace vesk::test
