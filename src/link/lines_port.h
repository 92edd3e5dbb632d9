// A line interface behind the serial port component, with a data path on which nothing is sent or
// received: the virtual target's adapter. Line calls reach it only while the port is open.
#pragma once
#include "link/port_back_end.h"

#include <atomic>

class TLinesPort final : public TImmediate<TPortBackEnd> {
public:
    void SetLines(TLineInterface *lines) { Lines = lines; }

    bool Open(const TLineParams &) override { return IsOpen = Lines != nullptr; }
    void Close() override { IsOpen = false; }
    bool Opened() const override { return IsOpen; }
    std::string OpenError() const override { return {}; }
    void SetLineParams(const TLineParams &) override {}
    bool Write(const std::string &) override { return IsOpen; }
    std::string ReadQueued() override { return {}; }
    int InCount() override { return 0; }

    void SetBreak(bool level) override { if (IsOpen) Lines->SetBreak(level); }
    void SetRts(bool level) override { if (IsOpen) Lines->SetRts(level); }
    void SetDtr(bool level) override { if (IsOpen) Lines->SetDtr(level); }
    bool GetCTS() override { return IsOpen && Lines->GetCTS(); }
    bool GetDSR() override { return IsOpen && Lines->GetDSR(); }
    bool GetRLSD() override { return IsOpen && Lines->GetRLSD(); }
    bool GetRI() override { return IsOpen && Lines->GetRI(); }

private:
    TLineInterface *Lines = nullptr;
    std::atomic<bool> IsOpen{false};
};
