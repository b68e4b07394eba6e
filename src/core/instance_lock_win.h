#pragma once

#include <windows.h>

#include <string>

namespace vesk::updater {

// One run at a time per installation. The lock is a named kernel object that exists exactly as long as a
// process of the run holds a handle to it: a run that is killed or crashes frees it with its last handle,
// so nothing stale can block the next start. A run passes the lock on to the process it hands over to by
// putting a handle into that process before it ends, so there is no moment in which a third start could
// slip in between.
enum class InstanceClaim {
    Owned,         // this process created the lock: no other run works on the installation
    HandedOver,    // the run that started this process gave it the lock
    HeldElsewhere, // another run holds it
    Unavailable,   // no lock could be had (none could be made, or someone without the right made one first);
                   // the run goes on without it
};

// Claims the installation's lock for this process (no waiting). Owned and HandedOver keep it until the
// process ends; claiming again returns the earlier claim.
InstanceClaim claimInstanceLock(const std::string& installDirectory);

// For a process started by a hand-over: HandedOver when its starter left the lock for this very process,
// otherwise the same as claimInstanceLock.
InstanceClaim claimHandedOverInstanceLock(const std::string& installDirectory);

// Lets the lock go (a process that starts a successor without handing it over must, or the successor
// would find it held). Only this process's own handle goes: one it received in a hand-over stays.
void releaseInstanceLock();

// True when the object's owner is the system, the administrators, or this process's own account or the
// owner it gives what it makes: what this program's runs make. isFile: a file or folder handle, otherwise a kernel object.
bool ownedByTheProgramsAccounts(HANDLE object, bool isFile);

// True when this process holds the lock (Owned or HandedOver).
bool instanceLockHeld();

// Gives the process a handle to the lock and a token naming it, so that it can claim the lock with
// claimHandedOverInstanceLock even after this process has ended. Start that process suspended and resume it
// only after this call. False (and nothing given) when this process holds no lock or the process cannot
// take the handles.
bool handInstanceLockTo(HANDLE process, DWORD processId);

} // namespace vesk::updater
