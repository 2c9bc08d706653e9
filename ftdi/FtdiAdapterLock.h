// Locks on FTDI adapters that hold across processes: one per channel for a handle's whole life, and one per
// chip around EEPROM work (the channels of a dual or quad chip share one EEPROM). flock on small files in
// the user's runtime folder: the kernel drops them with the process, so a crash leaves nothing held.
#pragma once

#include <QString>

class FtdiAdapterLock {
public:
    FtdiAdapterLock() = default;
    ~FtdiAdapterLock();
    FtdiAdapterLock(const FtdiAdapterLock&) = delete;
    FtdiAdapterLock& operator=(const FtdiAdapterLock&) = delete;

    // Takes the lock of this name without waiting. False when any other holder has it (another process,
    // or another handle of this one), or when the lock file cannot be made.
    bool tryLock(const QString& name);
    // Waits for it up to timeoutMs.
    bool lock(const QString& name, int timeoutMs);
    void unlock();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// $XDG_RUNTIME_DIR/pravex, else /run/user/<uid>/pravex, else the user's $XDG_CACHE_HOME/pravex/locks
// (~/.cache): the first that is a private folder of ours. Empty when none is.
QString FtdiLockDir();
// A lock name for a USB device (its sysfs directory, which tells a fake tree from the real one) and,
// for channel >= 0, one of its channels.
QString FtdiLockName(const QString& devicePath, int channel);
