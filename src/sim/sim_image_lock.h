// Holds a virtual chip's image for one run, the way a serial port is held: while one program (korvel
// or korvel-cli) works on the image, a second one that names it is refused instead of both writing it
// and one of them losing. The lock is a file beside the image, "<image>.lock", locked with flock and
// removed at the end; a program that dies leaves it unlocked.
#pragma once
#include "sim/sim_image.h"

#include <string>

// Another run holds the image.
class TSimImageInUse : public TSimImageError {
public:
    using TSimImageError::TSimImageError;
};

class TSimImageLock {
public:
    // Throws TSimImageInUse while another run holds the image, TSimImageError when the lock file
    // cannot be made (the image's folder is missing or not writable).
    explicit TSimImageLock(const std::string &imagePath);
    ~TSimImageLock();
    TSimImageLock(const TSimImageLock &) = delete;
    TSimImageLock &operator=(const TSimImageLock &) = delete;

private:
    std::string LockPath;
    int Fd = -1;
};
