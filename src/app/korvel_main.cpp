// korvel: the GUI program. One instance at a time; `korvel FILE` programs FILE into the chip and ends
// with korvel-cli's exit codes.
#include "app/port_kinds.h"
#include "app/termination_signals.h"
#include "settings/app_ini_file.h"
#include "settings/big_ini_file.h"
#include "ui/main_form.h"
#include "ui/program_icon.h"
#include "ui/single_instance_guard.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <iostream>

namespace {

constexpr int UnattendedBoxMs = 5000;

// The second start of an IDE's batch call must not wait for a person: its box closes by itself.
int RefuseSecondStart(bool batch)
{
    QApplication::beep();
    QMessageBox box(QMessageBox::Information, "Korvel", "This program can only be started once....");
    // The running instance's bar stays on top of every other window, where it would hide the box
    // and its button; the box must stand in front of it.
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    if (batch)
        QTimer::singleShot(UnattendedBoxMs, &box, &QMessageBox::accept);
    box.exec();
    return ExitNotRun;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(ProgramIcon());
    const QStringList arguments = QApplication::arguments().mid(1);
    const TSingleInstanceGuard guard(ProgramFile().filename().string());
    if (!guard.LockError().empty())
        std::cerr << "korvel: single-instance lock: " << guard.LockError() << std::endl;
    if (!guard.Acquired())
        return RefuseSecondStart(!arguments.isEmpty());
    try {
        const TPortKinds portKinds = StandardPortKinds();
        TMainForm MainForm(SettingsFilePath().string(), arguments, portKinds);
        // Closing the main window ends the program at once, whatever other windows are open.
        QObject::connect(&MainForm, &TMainForm::Closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
        const TTerminationSignals terminationSignals([&MainForm] { MainForm.close(); });
        MainForm.show();
        QApplication::exec();
        return MainForm.ExitCode();
    } catch (const EIniFileError &e) {
        // A batch run's caller reads standard error; a box there would wait for nobody.
        std::cerr << "korvel: " << e.what() << std::endl;
        if (arguments.isEmpty())
            QMessageBox::critical(nullptr, "Korvel", e.what());
        return ExitUsage;
    }
}
