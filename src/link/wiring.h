// How the adapter connects the chip's pins to the port's lines: which output (0 TXD break, 1 RTS,
// 2 DTR) drives RESET, MOSI and SCL, which input (0 CTS, 1 DSR, 2 RLSD, 3 RI) carries MISO, and
// whether each passes through an inverter. Any other index leaves that pin unconnected. The link,
// the port session, the ftdi port and korvel-cli's diagnostics all read the settings through it.
#pragma once
#include <string>

struct TSettings;

struct TWire {
    int Line = -1;
    bool Inverted = false;

    // The level the line takes to put the pin at `pinLevel`.
    bool LineLevel(bool pinLevel) const { return pinLevel != Inverted; }
    bool IsOutput() const { return Line >= 0 && Line <= 2; }
    bool IsInput() const { return Line >= 0 && Line <= 3; }
};

struct TWiring {
    TWire Reset;
    TWire Mosi;
    TWire Scl;
    TWire Miso;

    static TWiring From(const TSettings &settings);

    // The functions an output line carries, "RESET,MOSI"; empty for none.
    std::string OutputFunctions(int line) const;
    // "MISO" for the input line that carries it; empty for any other.
    std::string InputFunctions(int line) const;
    // Whether an output request can move MISO: the chip moves it only after SCL falls, so a rising
    // SCL on a line of its own cannot.
    bool MovesInputs(int output, bool level) const;
};
