// The lock around czmq's process-wide beacon interface setting.
#include "common/zBeaconInterface.h"
#include "common/vCzmq.h"
#include "common/vDefs.h"

#include <czmq.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// A recursive lock that knows its holder: the holder can still read the
// setting through get(), and an unlock from a thread that does not hold it
// is ignored instead of corrupting the lock.
class HolderLock {
public:
    void lock()
    {
        std::unique_lock<std::mutex> guard(mutex_);
        std::thread::id self = std::this_thread::get_id();
        if (depth_ > 0 && holder_ == self) {
            depth_++;
            return;
        }
        released_.wait(guard, [this] { return depth_ == 0; });
        holder_ = self;
        depth_ = 1;
    }
    bool unlock()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (depth_ == 0 || holder_ != std::this_thread::get_id())
            return false;
        if (--depth_ == 0) {
            holder_ = std::thread::id();
            released_.notify_one();
        }
        return true;
    }
    bool heldByMe()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return depth_ > 0 && holder_ == std::this_thread::get_id();
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    std::thread::id holder_;
    unsigned depth_ = 0;
};

HolderLock &sLock()
{
    static HolderLock lock;
    return lock;
}

// Held for the length of a get().
struct Hold {
    Hold() { sLock().lock(); }
    ~Hold() { sLock().unlock(); }
};

// What backupSetAndLock replaced; guarded by sLock().
std::string &sBackup()
{
    static std::string backup = [] {
        std::string s;
        s.reserve(100);
        return s;
    }();
    return backup;
}

bool sAcceptable(const char *address)
{
    if (!address)
        return false;
    if (address[0] == '\0' || strcmp(address, "*") == 0)
        return true;
    in_addr parsed;
    return inet_pton(AF_INET, address, &parsed) == 1;
}

std::string sCurrent()
{
    vCzmq_Init();
    const char *value = zsys_interface();
    return value ? value : "";
}

void sLockWithTrace(const char *what)
{
    vDefs_DebugPrintf(vDEBUG_NETSPEC, "%s PRE-LOCK\n", what);
    sLock().lock();
    vDefs_DebugPrintf(vDEBUG_NETSPEC, "%s LOCKED\n", what);
}

void sUnlockWithTrace(const char *what)
{
    vDefs_DebugPrintf(vDEBUG_NETSPEC, "%s: UNLOCKING\n", what);
    sLock().unlock();
}

bool sBackedUp = false; // guarded by sLock()

} // namespace

bool zBeaconInterface_setAndLock(const char *address)
{
    if (!sAcceptable(address))
        return false;
    vCzmq_Init();
    sLockWithTrace(__func__);
    zsys_set_interface(address);
    return true;
}

void zBeaconInterface_unlock(void) { sUnlockWithTrace(__func__); }

bool zBeaconInterface_backupSetAndLock(const char *address)
{
    if (!sAcceptable(address))
        return false;
    vCzmq_Init();
    sLockWithTrace(__func__);
    sBackup() = sCurrent();
    sBackedUp = true;
    zsys_set_interface(address);
    return true;
}

void zBeaconInterface_restoreAndUnlock(void)
{
    if (!sLock().heldByMe())
        return;
    if (sBackedUp)
        zsys_set_interface(sBackup().c_str());
    sBackedUp = false;
    sUnlockWithTrace(__func__);
}

std::string zBeaconInterface_get(void)
{
    Hold hold;
    return sCurrent();
}

std::string zBeaconInterface_getAndLock(void)
{
    sLockWithTrace(__func__);
    return sCurrent();
}

std::string zBeaconInterface_getBackup(void)
{
    Hold hold;
    return sBackup();
}

std::string zBeaconInterface_getBackupAndLock(void)
{
    sLockWithTrace(__func__);
    return sBackup();
}
