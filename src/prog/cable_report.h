// What a front end can tell about the cable behind the port, as korvel-cli's lines and detect show
// it: what the port is and how its inputs are read, what a program costs on it, how late it shows
// MISO, how its break behaves, and how long an operation will take. Reports only for a serial port,
// not for the virtual chip or a cable's chip driven directly (Described), and nothing when quiet.
#pragma once
#include "link/sck_rate.h"

#include <ostream>
#include <string>

class TPortSession;
struct TSettings;

// "The 5 ms in use is too short: use 6 ms", in words, for a user who reads no numbers twice.
std::string SettleVerdict(double inUseMs, double recommendedMs);

class TCableReport {
public:
    TCableReport(TPortSession &session, const TSettings &settings, std::ostream &out, bool quiet);
    TCableReport(TPortSession &, const TSettings &&, std::ostream &, bool) = delete;

    bool Described() const;
    // "Port /dev/ttyUSB0: pl2303, USB 067b:2303" and the settle in use; for a cable's chip driven
    // directly, what the cable says of itself (an FTDI chip's sample rate).
    void DescribePort();
    // What an 8 KiB program costs on a USB cable at requestMs per line request, and the faster way
    // to drive its chip where a row of the port kinds knows one.
    void DescribeCost(double requestMs);
    // How late the port shows MISO, from reads of the first code bytes; returns the time of a line
    // request.
    double MeasureInputs();
    // A cable whose chip imitates the break shows it in the time a break on and off takes.
    void ShowBreak();
    // The SCK the link makes, timed on the bits of one Programming Enable (the chip held in reset).
    TSckRate MeasureSck();
    // Before an operation of this many byte writes and reads that takes more than a minute, how long;
    // upTo: the count is an upper bound.
    void Forecast(int writes, int reads, bool upTo);

private:
    TPortSession &Session;
    const TSettings &Settings;
    std::ostream &Out;
    bool Quiet;
};
