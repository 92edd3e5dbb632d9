// The POSIX terminal calls behind the serial port: opening a device for exclusive use, raw line
// settings and the translation of baud rates to termios speeds.
#pragma once
#include <optional>
#include <string>
#include <termios.h>

struct TLineParams {
    int Baud = 9600;
    char Parity = 'N';   // 'E' even, 'O' odd, anything else none
    int Databits = 8;    // 5 to 8; anything else gives 8
    int Stopbits = 1;    // 2 gives two, anything else one
};

// Opens a terminal device read/write without making it the controlling terminal, without blocking
// and for this process alone (TIOCEXCL keeps other openers out, flock other well-behaved programs).
// Returns the descriptor, or -1 with errno set; a file that is no terminal is refused (ENOTTY).
int OpenTtyDevice(const std::string &path);

// Releases the exclusive claim (TIOCEXCL outlives the descriptor on a pseudo-terminal) and closes.
void CloseTtyDevice(int fd);

// Raw mode with the given parameters, no flow control and no hang-up on close, so that closing the
// port leaves DTR and RTS where they were under a running chip. False when the device refused.
bool ConfigureTtyDevice(int fd, const TLineParams &params);

// The termios speed for a baud rate; empty when the rate has no standard speed.
std::optional<speed_t> StandardSpeed(int baud);

// Whether an errno from a terminal call means the device is gone (adapter pulled, line hung up).
bool DeviceVanished(int error);
