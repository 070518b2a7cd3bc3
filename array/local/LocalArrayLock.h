// The lock that keeps two processes on one local array from taking each
// other's work for debris: a creation builds its copy and catalog under
// temporary names, and another process that cleared "unfinished creations"
// meanwhile would remove files from a snapshot about to be committed.
// Creation, deletion and debris removal hold an exclusive flock on the
// array's root folder (nothing is created for it, and the kernel releases
// it when the process dies, so a killed job never leaves it held).
//
// The lock belongs to one open of the folder: two LocalArray objects of one
// process exclude each other as two processes do.
#pragma once

#include "hostlib/Status.h"

#include <string>

class RootLock {
public:
    RootLock() = default;
    ~RootLock();
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;

    // Takes the lock, waiting up to waitSeconds for another holder; fails
    // with a message naming the root when it stays held.
    hostlib::Status Acquire(const std::string& root, unsigned waitSeconds);
    // Takes the lock when it is free; false when another holds it.
    bool TryAcquire(const std::string& root);

private:
    bool Open(const std::string& root);
    int m_fd = -1;
};
