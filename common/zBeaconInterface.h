// The network interface czmq's UDP beacons use is one process-wide setting;
// beacon discovery and the link server's beacon both change it, so both go
// through this lock. Interfaces are dotted IPv4 addresses, "" (czmq's
// default) or "*" (every interface).
#pragma once

#include <string>

// Locks and sets the interface; false, without locking, for anything but a
// dotted IPv4 address, "" or "*".
bool zBeaconInterface_setAndLock(const char *address);
void zBeaconInterface_unlock(void);
// As setAndLock, but first keeps the interface in use so that
// restoreAndUnlock can put it back.
bool zBeaconInterface_backupSetAndLock(const char *address);
void zBeaconInterface_restoreAndUnlock(void);

// The interface in use and the one kept by backupSetAndLock, as copies. The
// lock is recursive, so the holder may call these too; the AndLock forms
// return with the lock held (release it with unlock).
std::string zBeaconInterface_get(void);
std::string zBeaconInterface_getAndLock(void);
std::string zBeaconInterface_getBackup(void);
std::string zBeaconInterface_getBackupAndLock(void);
