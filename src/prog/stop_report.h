// What a run stopped by a signal or a closed window tells the user: how far it got and what the chip
// holds now. korvel-cli and the GUI's batch mode say it alike.
#pragma once
#include "prog/prog_status.h"

#include <string>

struct TMemoryBuffer;

// The part of a command the stopped operation was: the operation itself, the read of the chip a fast
// write starts with, or the verify after a write.
enum class TStopPhase { Operation, ChipReadBeforeFastWrite, VerifyAfterWrite };

// E.g. "Stopped at $0A40 of $1FFF: the chip holds a partly written image". The stop came between two
// instructions, and the thread has put the lines at rest.
std::string StopReport(TOperationCode code, TStopPhase phase, const TProgStatus &status, const TMemoryBuffer &memory,
                       int device);
