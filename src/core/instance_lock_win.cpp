#include "core/instance_lock_win.h"

#include "core/handles_win.h"
#include "core/instance_lock.h"

#include <aclapi.h>
#include <sddl.h>

#include <mutex>
#include <optional>
#include <vector>

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

// Only the system and administrators may use the lock, whichever of them made it: a scheduled run as the
// system and a run from the desktop must see each other's lock.
struct LockSecurity {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{};
    LockSecurity() {
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                                  &descriptor, nullptr)) {
            attributes.nLength = sizeof(attributes);
            attributes.lpSecurityDescriptor = descriptor;
        }
    }
    ~LockSecurity() { ::LocalFree(descriptor); }
    SECURITY_ATTRIBUTES* get() { return descriptor ? &attributes : nullptr; }
};

// True when the existing object was made by a run of this program: its owner is the system, the
// administrators or this process's own account. Anyone may create a named event, so a user without rights
// could otherwise make one first and hold every update back for good.
bool madeByARun(HANDLE object) {
    return ownedByTheProgramsAccounts(object, false);
}

} // namespace

bool ownedByTheProgramsAccounts(HANDLE object, bool isFile) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, isFile ? SE_FILE_OBJECT : SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                          nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    LocalMemory descriptorMemory(descriptor);
    if (owner == nullptr) {
        return false;
    }
    if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    KernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return false;
    }
    // This account itself, or the owner it gives what it makes.
    for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        DWORD size = 0;
        ::GetTokenInformation(token.get(), kind, nullptr, 0, &size);
        std::vector<unsigned char> buffer(size);
        if (size == 0 || !::GetTokenInformation(token.get(), kind, buffer.data(), size, &size)) {
            continue;
        }
        const PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                           : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
        if (::EqualSid(owner, sid)) {
            return true;
        }
    }
    return false;
}

namespace {

InstanceClaim createLock(LockState& lock) {
    LockSecurity security;
    KernelHandle created(::CreateEventW(security.get(), TRUE, FALSE, lock.name.c_str()));
    const DWORD error = ::GetLastError();
    if (created && error == ERROR_ALREADY_EXISTS) {
        // Our handle goes at once, so it keeps nothing alive.
        return madeByARun(created.get()) ? InstanceClaim::HeldElsewhere : InstanceClaim::Unavailable;
    }
    if (!created) {
        // Our runs never deny each other access: an object this process may not open is not a run's lock.
        return InstanceClaim::Unavailable;
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

void releaseInstanceLock() {
    LockState& lock = state();
    std::lock_guard<std::mutex> guard(lock.mutex);
    lock.lock.reset();
    lock.claim.reset();
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
