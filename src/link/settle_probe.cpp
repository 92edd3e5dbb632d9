#include "link/settle_probe.h"

#include "buffer/chip_kind.h"
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "link/line_interface.h"
#include "link/settle_lines.h"
#include "settings/settings.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>

namespace {

// The reset vector and what follows: every program has code there, a jump at least.
constexpr int ReferenceBytes = 8;
constexpr double TrialSettlesMs[] = {0, 0.1, 0.2, 0.5, 1, 2, 3, 5, 8, 12, 20, 30, 50, 80, 120, 200, 300, 500};
constexpr double MinimumReferenceMs = 20;

// A late read returns the bit before, so only a bit that differs from the one before can show it.
int BitChanges(const std::vector<std::uint8_t> &bytes)
{
    int changes = 0;
    for (const std::uint8_t b : bytes)
        changes += std::popcount(static_cast<unsigned>((b ^ (b >> 1)) & 0x7F));
    return changes;
}

class TProbe {
public:
    TProbe(TLineInterface &lines, TSettleLines &settle, const TSettings &settings)
        : Settle(settle), Link(lines, settings), Device(Link)
    {
    }

    std::vector<std::uint8_t> ReadWith(double settleMs)
    {
        Settle.SetTrialSettle(settleMs);
        std::vector<std::uint8_t> bytes;
        for (int address = 0; address < ReferenceBytes && !Link.Lines().PortLost(); ++address)
            bytes.push_back(Device.ReadCodeByte(static_cast<std::uint16_t>(address)));
        return bytes;
    }

    void Start()
    {
        Link.SclLow();
        Link.StartProgramming();
        Device.ProgrammingEnable();
    }

    void Stop()
    {
        Settle.SetTrialSettle(std::nullopt);
        Link.IdleLines();
    }

private:
    TSettleLines &Settle;
    TIspLink Link;
    TDeviceCommands Device;
};

// A trial passes when it reads the reference twice; the reference's own settle passes by definition.
bool Passes(TProbe &probe, const TSettleMeasurement &m, double trialMs)
{
    return trialMs >= m.ReferenceMs ||
           (probe.ReadWith(trialMs) == m.Reference && probe.ReadWith(trialMs) == m.Reference);
}

// A settle that passes by luck (a report that happened to come early) is not taken: the next longer
// one must pass as well.
void FindShortest(TProbe &probe, TSettleMeasurement &m, double reportMs)
{
    m.ShortestMs = m.ReferenceMs;
    constexpr std::size_t trials = std::size(TrialSettlesMs);
    for (std::size_t i = 0; i < trials && TrialSettlesMs[i] < m.ReferenceMs; ++i) {
        if (!Passes(probe, m, TrialSettlesMs[i])) {
            m.FailedMs = TrialSettlesMs[i];
            continue;
        }
        const double next = i + 1 < trials ? TrialSettlesMs[i + 1] : m.ReferenceMs;
        if (Passes(probe, m, next)) {
            m.ShortestMs = TrialSettlesMs[i];
            break;
        }
        m.FailedMs = next;
        ++i;
    }
    // Twice the shortest, and at least a polling interval more: a report may come one poll later
    // than it did here.
    const double floor = m.ShortestMs + reportMs;
    // Up to the next tenth of a millisecond; the allowance keeps 1.1 (11.000000000000002 tenths) at 1.1.
    m.RecommendedMs = std::ceil(std::max(m.ShortestMs * 2, floor) * 10 - 1e-9) / 10;
}

} // namespace

double ReferenceSettleMs(double settleInUseMs)
{
    return std::max(MinimumReferenceMs, 4 * settleInUseMs);
}

TSettleMeasurement MeasureSettle(TLineInterface &lines, TSettleLines &settle, const TSettings &settings,
                                 double referenceMs, double reportMs)
{
    TSettleMeasurement m;
    m.ReferenceMs = referenceMs;
    settle.ResetStats();
    TProbe probe(lines, settle, settings);
    probe.Start();
    m.Reference = probe.ReadWith(referenceMs);
    // Inputs later than the reference's settle would show the bit before in both readings alike;
    // a second one with twice the settle tells (and that the readings hold still).
    if (probe.ReadWith(2 * referenceMs) != m.Reference)
        m.Result = TSettleMeasurement::TResult::Unstable;
    else if (BitChanges(m.Reference) == 0)
        m.Result = TSettleMeasurement::TResult::NoChanges;
    else {
        m.Result = TSettleMeasurement::TResult::Measured;
        FindShortest(probe, m, reportMs);
    }
    m.RequestMs = settle.Stats().RequestMs();
    probe.Stop();
    return m;
}

namespace {

int WriteBitsPerByte(int device)
{
    return InstructionSetOf(device) == TInstructionSet::FourByte ? 32 : 24;
}

} // namespace

int WriteRequestsPerByte(int device)
{
    return 3 * WriteBitsPerByte(device);
}

TTransferTime EstimateTransfer(int bytes, double requestMs, double settleMs, const TSettings &settings)
{
    const double clock = settings.ClockDelay;
    const double receivedBit = std::max(clock / 2, settleMs) + clock / 2;
    const int sentBits = WriteBitsPerByte(settings.Device);
    const bool pages = InstructionSetOf(settings.Device) == TInstructionSet::FourByte;
    const int readSentBits = pages ? 0 : 16;
    const double writeMs = 3 * sentBits * requestMs + sentBits * clock + CodeWriteWaitMs(settings);
    const double readMs = (3 * readSentBits + 24 + (pages ? 0 : 1)) * requestMs + readSentBits * clock + 8 * receivedBit;
    return {bytes * writeMs / 1000, bytes * readMs / 1000};
}
