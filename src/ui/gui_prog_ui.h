// The programming thread's front-end steps in the GUI. Each step runs on the UI thread while the
// programming thread waits for it (a blocking queued call); the completion handler is posted and runs
// after the thread has ended. The thread never touches a window itself.
#pragma once
#include "prog/prog_ui.h"

#include <QString>
#include <functional>

class QObject;
struct TProgStatus;

class TGuiProgUi : public TProgUi {
public:
    struct TSteps {
        std::function<void()> ClearDifferences;
        std::function<void(const QString &line)> AddDifferenceLine;
        std::function<void()> RefreshEditWindow;
        std::function<void(double seconds)> ShowElapsed;
        // Runs on the programming thread at the very end, before the completion handler is posted:
        // keeps what the session records in files (virtual chip, trace) while nothing else uses them.
        std::function<std::string()> Flush;
        // On the UI thread, after the thread has ended; problems: what Flush could not keep.
        std::function<void(const TFinishMessage &message, const std::string &problems)> OperationFinished;
    };

    // uiObject: lives on the UI thread for as long as operations run.
    TGuiProgUi(QObject &uiObject, const TProgStatus &status, TSteps steps);

    void ClearDifferences() override;
    void AddDifferenceLine(int address, std::uint8_t buffer, std::uint8_t device) override;
    void RefreshEditWindow() override;
    void ShowElapsed(double seconds) override;
    void OperationFinished() override;

private:
    void OnUiThread(const std::function<void()> &step);

    QObject &Receiver;
    const TProgStatus &Status;
    TSteps Steps;
};
