// The front end of a benchmark's operations: it shows nothing, so only the operation is measured.
#pragma once
#include "prog/prog_ui.h"

class TQuietUi : public TProgUi {
public:
    void ClearDifferences() override {}
    void AddDifferenceLine(int, std::uint8_t, std::uint8_t) override {}
    void RefreshEditWindow() override {}
    void ShowElapsed(double) override {}
    void OperationFinished() override {}
};
