// Tests of file permissions must not run as root, who ignores them: this drops to user nobody.
#pragma once
#include <exception>
#include <stdexcept>
#include <unistd.h>

// Under root, switches the effective ids to nobody for the scope; otherwise does nothing.
// (CI runs as root.)
class TUnprivileged {
public:
    TUnprivileged() : FWasRoot(::geteuid() == 0)
    {
        if (FWasRoot && (::setegid(65534) != 0 || ::seteuid(65534) != 0))
            throw std::runtime_error("cannot drop privileges");
    }
    ~TUnprivileged()
    {
        if (FWasRoot && (::seteuid(0) != 0 || ::setegid(0) != 0))
            std::terminate();
    }
    TUnprivileged(const TUnprivileged &) = delete;
    TUnprivileged &operator=(const TUnprivileged &) = delete;

private:
    bool FWasRoot;
};
