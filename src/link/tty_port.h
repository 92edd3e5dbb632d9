// A terminal device behind the serial port component: the modem-control ioctls for the lines, a
// descriptor that never blocks for the data path.
//
// Threads: either thread may find the device gone and close it, so the descriptor, the vanished
// mark and the refusals are atomic.
#pragma once
#include "link/port_back_end.h"

#include <array>
#include <atomic>
#include <functional>

class TTtyPort final : public TImmediate<TPortBackEnd> {
public:
    // device: the path to open, asked at every Open.
    explicit TTtyPort(std::function<std::string()> device) : Device(std::move(device)) {}
    ~TTtyPort() override { Close(); }
    TTtyPort(const TTtyPort &) = delete;
    TTtyPort &operator=(const TTtyPort &) = delete;

    bool Open(const TLineParams &params) override;
    void Close() override;
    bool Opened() const override { return Fd >= 0; }
    std::string OpenError() const override { return {}; }
    void SetLineParams(const TLineParams &params) override;

    bool Write(const std::string &text) override;
    std::string ReadQueued() override;
    int InCount() override { return QueueCount(FionRead); }
    int OutCount() override { return QueueCount(TiocOutQ); }
    std::vector<std::string> LineFailures() const override;

    void SetBreak(bool level) override;
    void SetRts(bool level) override;
    void SetDtr(bool level) override;
    bool GetCTS() override;
    bool GetDSR() override;
    bool GetRLSD() override;
    bool GetRI() override;
    // A device that vanished while open (a USB adapter pulled), until the next Open.
    bool PortLost() const override { return Vanished; }

private:
    static const unsigned long FionRead;
    static const unsigned long TiocOutQ;

    void ModemControl(int output, unsigned long request, int bits);
    void LineRequestFailed(int output, int error);
    bool ModemStatus(int mask);
    int QueueCount(unsigned long request);
    void CheckVanished(int error);
    bool WaitWritable(int timeoutMs);
    int WriteAllowanceMs(std::size_t bytes) const;

    std::function<std::string()> Device;
    TLineParams Params;
    std::atomic<int> Fd{-1};
    std::atomic<bool> Vanished{false};
    std::array<std::atomic<int>, 3> LineErrors{}; // errno per output line (0 TXD, 1 RTS, 2 DTR); 0: none
};
