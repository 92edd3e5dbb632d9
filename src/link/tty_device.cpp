#include "link/tty_device.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

int OpenTtyDevice(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int error = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        error = errno == EWOULDBLOCK ? EBUSY : errno;
    else if (::ioctl(fd, TIOCEXCL) != 0) // also refuses anything that is no terminal
        error = errno;
    if (error == 0)
        return fd;
    ::close(fd);
    errno = error;
    return -1;
}

void CloseTtyDevice(int fd)
{
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

namespace {

tcflag_t CharacterSize(int databits)
{
    switch (databits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

tcflag_t ParityFlags(char parity)
{
    switch (parity) {
    case 'E': return PARENB;
    case 'O': return PARENB | PARODD;
    default: return 0;
    }
}

} // namespace

bool ConfigureTtyDevice(int fd, const TLineParams &params)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= CLOCAL | CREAD | CharacterSize(params.Databits) | ParityFlags(params.Parity);
    if (params.Stopbits == 2)
        tio.c_cflag |= CSTOPB;
    // Reads are polled; the descriptor is nonblocking, these only matter if that ever changes.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (auto speed = StandardSpeed(params.Baud)) {
        ::cfsetispeed(&tio, *speed);
        ::cfsetospeed(&tio, *speed);
    }
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

std::optional<speed_t> StandardSpeed(int baud)
{
    // B0 is left out on purpose: it means "hang up" and would drop DTR under the chip.
    static constexpr std::pair<int, speed_t> Speeds[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto &[rate, speed] : Speeds)
        if (rate == baud)
            return speed;
    return std::nullopt;
}

bool DeviceVanished(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}
