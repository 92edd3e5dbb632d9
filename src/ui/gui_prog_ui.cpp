#include "ui/gui_prog_ui.h"

#include "prog/prog_status.h"

#include <QMetaObject>
#include <QObject>

TGuiProgUi::TGuiProgUi(QObject &uiObject, const TProgStatus &status, TSteps steps)
    : Receiver(uiObject), Status(status), Steps(std::move(steps))
{
}

// A program that is ending no longer serves its windows; the thread must not wait for them.
void TGuiProgUi::OnUiThread(const std::function<void()> &step)
{
    if (!Status.StopRequested)
        QMetaObject::invokeMethod(&Receiver, step, Qt::BlockingQueuedConnection);
}

void TGuiProgUi::ClearDifferences()
{
    OnUiThread(Steps.ClearDifferences);
}

void TGuiProgUi::AddDifferenceLine(int address, std::uint8_t buffer, std::uint8_t device)
{
    const QString line = QString::fromStdString(DifferenceLine(address, buffer, device));
    OnUiThread([this, &line] { Steps.AddDifferenceLine(line); });
}

void TGuiProgUi::RefreshEditWindow()
{
    OnUiThread(Steps.RefreshEditWindow);
}

void TGuiProgUi::ShowElapsed(double seconds)
{
    OnUiThread([this, seconds] { Steps.ShowElapsed(seconds); });
}

void TGuiProgUi::OperationFinished()
{
    const std::string problems = Steps.Flush ? Steps.Flush() : std::string();
    const TFinishMessage message = FinishMessage(Status);
    auto finished = Steps.OperationFinished;
    QMetaObject::invokeMethod(
        &Receiver, [finished, message, problems] { finished(message, problems); }, Qt::QueuedConnection);
}
