// SIGTERM, SIGINT and SIGHUP end the GUI program the way its close box does, so that a running
// operation stops between two bytes and the virtual chip and trace are kept, instead of the process
// dying mid-instruction.
#pragma once
#include <QObject>
#include <functional>

class QSocketNotifier;

class TTerminationSignals : public QObject {
public:
    // onSignal runs on the UI thread, once per signal received.
    explicit TTerminationSignals(std::function<void()> onSignal);
    ~TTerminationSignals() override;

private:
    std::function<void()> OnSignal;
    QSocketNotifier *Notifier = nullptr;
};
