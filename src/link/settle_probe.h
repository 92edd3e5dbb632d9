// How late a port's inputs show a change, measured on the chip without writing it: the first code
// bytes are read with a settle long enough to trust (and again with twice that, which must agree),
// then with ever longer settles from none, until one reads the same bytes twice and the next longer
// one does too. Also the arithmetic of what that costs an operation.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

class TLineInterface;
class TSettleLines;
struct TSettings;

struct TSettleMeasurement {
    enum class TResult {
        Measured,
        NoChanges, // the reference has no bit that differs from the one before: no chip, or erased
        Unstable,  // the reads with the long settle and twice that disagreed: still too late, or noise
    };
    TResult Result = TResult::NoChanges;
    std::vector<std::uint8_t> Reference;
    double ReferenceMs = 0;
    double ShortestMs = 0;           // the shortest settle that read the reference right, as did the next
    std::optional<double> FailedMs;  // the longest one tried that did not
    double RecommendedMs = 0;        // with room for a report that comes a polling interval later
    double RequestMs = 0;            // what one line request took on average meanwhile
};

// lines: the port as the link drives it, settle: the wrapper inside it whose settle is tried;
// reportMs: how much later than usual a report of a late driver can come (its endpoint's polling
// interval), 0 for a driver that asks the chip at every read. Enters programming mode, reads, and
// leaves it; the lines end at rest.
TSettleMeasurement MeasureSettle(TLineInterface &lines, TSettleLines &settle, const TSettings &settings,
                                 double referenceMs, double reportMs = 0);

// The settle the measurement trusts as reference: generous, and well above the one in use.
double ReferenceSettleMs(double settleInUseMs);

struct TTransferTime {
    double WriteSeconds = 0; // the bytes written, without their verify
    double ReadSeconds = 0;  // the same bytes read (a verify)
};

// Three line requests and a clock period per bit sent, the wait of a code byte write per byte written, and the 8
// received bits of a byte read each waiting for the settle before MISO is read. A three-byte chip's
// read sends 16 bits first (and one request more puts MOSI back); a four-byte chip's page read sends
// nothing per byte. The erase before a four-byte chip's write happens once and is left out.
TTransferTime EstimateTransfer(int bytes, double requestMs, double settleMs, const TSettings &settings);
// The line requests of one byte written on the chip the Device setting names: 72 or 96.
int WriteRequestsPerByte(int device);
