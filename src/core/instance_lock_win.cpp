#include "core/instance_lock_win.h"

#include "core/handles_win.h"
#include "core/instance_lock.h"

#include <mutex>
#include <optional>

namespace vesk::updater {

namespace {

struct LockState {
    std::mutex mutex;
    std::wstring name;
    KernelHandle lock;
    std::optional<InstanceClaim> claim;
};

// Never destroyed: the handle must stay open until the process itself ends, whatever runs at exit.
LockState& state() {
    static LockState* const instance = new LockState();
    return *instance;
}

InstanceClaim createLock(LockState& lock) {
    KernelHandle created(::CreateEventW(nullptr, TRUE, FALSE, lock.name.c_str()));
    const DWORD error = ::GetLastError();
    if (created && error == ERROR_ALREADY_EXISTS) {
        return InstanceClaim::HeldElsewhere; // our handle goes at once, so it keeps nothing alive
    }
    if (!created) {
        // An object of that name this process may not open belongs to a run of another account.
        return error == ERROR_ACCESS_DENIED ? InstanceClaim::HeldElsewhere : InstanceClaim::Unavailable;
    }
    lock.lock = std::move(created);
    return InstanceClaim::Owned;
}

InstanceClaim claim(const std::string& installDirectory, bool acceptHandOver) {
    LockState& lock = state();
    std::lock_guard<std::mutex> guard(lock.mutex);
    if (lock.claim && (*lock.claim == InstanceClaim::Owned || *lock.claim == InstanceClaim::HandedOver)) {
        return *lock.claim;
    }
    lock.name = instanceLockName(installDirectory);
    if (acceptHandOver) {
        const std::wstring tokenName = handOverTokenName(lock.name, ::GetCurrentProcessId());
        KernelHandle token(::OpenEventW(SYNCHRONIZE, FALSE, tokenName.c_str()));
        if (token) {
            // The starter put a handle to the lock into this process, so it is alive; a handle of our own
            // lets this process pass it on in turn.
            KernelHandle held(::OpenEventW(SYNCHRONIZE, FALSE, lock.name.c_str()));
            if (held) {
                lock.lock = std::move(held);
                lock.claim = InstanceClaim::HandedOver;
                return *lock.claim;
            }
        }
    }
    lock.claim = createLock(lock);
    return *lock.claim;
}

} // namespace

InstanceClaim claimInstanceLock(const std::string& installDirectory) {
    return claim(installDirectory, false);
}

InstanceClaim claimHandedOverInstanceLock(const std::string& installDirectory) {
    return claim(installDirectory, true);
}

bool instanceLockHeld() {
    LockState& lock = state();
    std::lock_guard<std::mutex> guard(lock.mutex);
    return lock.lock.valid();
}

bool handInstanceLockTo(HANDLE process, DWORD processId) {
    LockState& lock = state();
    std::lock_guard<std::mutex> guard(lock.mutex);
    if (!lock.lock) {
        return false;
    }
    HANDLE given = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), lock.lock.get(), process, &given, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return false;
    }
    // The token lives as long as the handle this call puts into the process; ours goes at once.
    KernelHandle token(
        ::CreateEventW(nullptr, TRUE, FALSE, handOverTokenName(lock.name, processId).c_str()));
    HANDLE givenToken = nullptr;
    if (!token || !::DuplicateHandle(::GetCurrentProcess(), token.get(), process, &givenToken, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS)) {
        // Take the lock handle back out of the process, so that a process that cannot claim it does not
        // keep it alive either.
        ::DuplicateHandle(process, given, nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
        return false;
    }
    return true;
}

} // namespace vesk::updater
