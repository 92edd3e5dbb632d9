#include "ui/main_form.h"

#include "buffer/binary_file.h"
#include "buffer/hex_file.h"
#include "buffer/unattended_load.h"
#include "desktop/file_dialog.h"
#include "link/isp_link.h"
#include "link/tty_driver.h"
#include "prog/stop_report.h"
#include "settings/big_ini_file.h"
#include "editor/edit_form.h"
#include "terminal/debug_form.h"
#include "ui/about_form.h"
#include "ui/com_para_form.h"
#include "ui/comp_dif_form.h"
#include "ui/gui_prog_ui.h"
#include "ui/help_form.h"
#include "ui/lock_bit_form.h"
#include "ui/program_icon.h"
#include "ui/window_fonts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

namespace {

const QStringList HexFilters{"Intel-Hex Files *.Hex (*.Hex)", "All Files *.* (*)"};
const QStringList BinaryFilters{"Binary Files *.Bin *.Dat *.Com (*.Bin *.Dat *.Com)", "All Files *.* (*)"};
const QStringList SaveFilters{"Binary Files (*.Bin)"};

constexpr int StateTimerMs = 100;
constexpr int CloseTimerMs = 1000;
constexpr int BatchStartWaitMs = 100;

QString FromStd(const std::string &text)
{
    return QString::fromStdString(text);
}

// One file that can be read as a buffer: no folder, device or pipe.
QString DroppedFile(const QMimeData *data)
{
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile())
        return {};
    const QString name = urls.first().toLocalFile();
    return QFileInfo(name).isFile() ? name : QString();
}

} // namespace

TMainForm::TMainForm(const std::string &settingsPath, const QStringList &arguments, const TPortKinds &kinds,
                     QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                              Qt::WindowStaysOnTopHint),
      Ini(settingsPath), SettingsPath(settingsPath), Arguments(arguments), Session(QCom, Settings, kinds)
{
    SessionLines = std::make_unique<TSessionLines>(Session);
    ProgUi = CreateProgUi();
    Context = std::make_unique<TProgContext>(
        TProgContext{Status, Memory, Settings, *SessionLines, *ProgUi, [this] { Session.Drain(); }, nullptr,
                     [this] { return Session.LineTimeMs(); }});
    Runner = std::make_unique<TProgRunner>(*Context);
    Session.SetStopCheck([this] { return Status.StopRequested.load(); });
    InstallPortHooks();
    setWindowTitle("Korvel Vers 20030210");
    CreateControls();
    CreateMenus();
    setFixedSize(322, 30 + menuBar()->sizeHint().height());
    move(screen()->availableGeometry().center() - rect().center());
    setAcceptDrops(true);
    CreateWindows();
}

TMainForm::~TMainForm()
{
    StopOperation();
}

// The port's error boxes (switched off once the port is set up) and the event pumping that keeps the
// windows alive while the terminal waits for a prompt.
void TMainForm::InstallPortHooks()
{
    auto report = [this](const std::string &caption, const std::string &text, TPortButtons buttons) {
        const auto answer =
            QMessageBox::warning(this, FromStd(caption), FromStd(text),
                                 buttons == TPortButtons::AbortRetry ? QMessageBox::Abort | QMessageBox::Retry
                                                                     : QMessageBox::Ok);
        return answer == QMessageBox::Retry   ? TPortAnswer::Retry
               : answer == QMessageBox::Abort ? TPortAnswer::Abort
                                              : TPortAnswer::Ok;
    };
    QCom.SetHooks({report, [] { QCoreApplication::processEvents(); }});
}

void TMainForm::CreateControls()
{
    auto *client = new QWidget(this);
    client->setFont(ArialPixels(11));
    setCentralWidget(client);
    ProgressBar1 = new QProgressBar(client);
    ProgressBar1->setGeometry(8, 6, 217, 16);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setTextVisible(false);
    Label1 = new QLabel("0.0 s", client);
    Label1->move(232, 8);
    Label1->setFixedWidth(42); // up to the Redo button: "1234.5 s"
    RedoButton = new QPushButton("&Redo", client);
    RedoButton->setGeometry(274, 4, 44, 20);
    connect(RedoButton, &QPushButton::clicked, this, &TMainForm::RedoButtonClick);

    Timer1 = new QTimer(this);
    Timer1->setInterval(StateTimerMs);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
    Timer1->start();
    Closetimer = new QTimer(this);
    Closetimer->setInterval(CloseTimerMs);
    connect(Closetimer, &QTimer::timeout, this, &TMainForm::ClosetimerTimer);

    OpenDialog1 = new TFileDialog(this, QFileDialog::AcceptOpen);
    SaveDialog1 = new TFileDialog(this, QFileDialog::AcceptSave);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);

    RxTrayIcon = new QSystemTrayIcon(ProgramIcon(), this);
    connect(RxTrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
            RxTrayIconClick();
    });
    if (QSystemTrayIcon::isSystemTrayAvailable())
        RxTrayIcon->show();
}

void TMainForm::CreateMenus()
{
    QMenuBar *bar = menuBar();
    // Seven commands share the bar's 322 pixels, so the items keep a narrow margin.
    bar->setFont(ArialPixels(11));
    bar->setStyleSheet("QMenuBar { spacing: 0px; } QMenuBar::item { padding: 2px 5px; }");
    auto command = [this](auto *menu, const char *caption, void (TMainForm::*handler)()) {
        QAction *action = menu->addAction(caption);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    Parameter1 = command(bar, "&Parameter", &TMainForm::Parameter1Click);
    Buffer1 = bar->addMenu("&Buffer");
    LoadfromDisk1 = Buffer1->addMenu("&Load from Disk");
    AsaBinaryFile1 = command(LoadfromDisk1, "As a &Binary File", &TMainForm::AsaBinaryFile1Click);
    AsaIntelHexFile1 = command(LoadfromDisk1, "As a &Intel-Hex File", &TMainForm::AsaIntelHexFile1Click);
    WritetoDisk1 = command(Buffer1, "&Write to Disk", &TMainForm::WritetoDisk1Click);
    Edit1 = command(Buffer1, "&Edit", &TMainForm::Edit1Click);
    Clearto001 = command(Buffer1, "Fill with $&00", &TMainForm::Clearto001Click);
    ClearwithFF1 = command(Buffer1, "Fill with $&FF", &TMainForm::ClearwithFF1Click);
    ShowDifferences1 = command(Buffer1, "Show Differences", &TMainForm::ShowDifferences1Click);
    Device1 = bar->addMenu("&Device");
    ReadCodeMemorytoBuffer1 = command(Device1, "Read Code Memory to Buffer", &TMainForm::ReadCodeMemorytoBuffer1Click);
    ReadDataMemorytoBuffer1 = command(Device1, "Read Data Memory to Buffer", &TMainForm::ReadDataMemorytoBuffer1Click);
    ProgramCodeMemoryfromBuffer1 =
        command(Device1, "Write Buffer to Code Memory", &TMainForm::ProgramCodeMemoryfromBuffer1Click);
    ProgramDataMemoryfromBuffer1 =
        command(Device1, "Write Buffer to Data Memory", &TMainForm::ProgramDataMemoryfromBuffer1Click);
    CompareCodeMemorytoBuffer1 = command(Device1, "Verify Code Memory", &TMainForm::CompareCodeMemorytoBuffer1Click);
    CompareDataMemorytoBuffer1 = command(Device1, "Verify Data Memory", &TMainForm::CompareDataMemorytoBuffer1Click);
    WriteLockBits1 = command(Device1, "Write Lock Bits", &TMainForm::WriteLockBits1Click);
    ChipErase1 = command(Device1, "Chip Erase", &TMainForm::ChipErase1Click);
    Reset1 = command(Device1, "Chip Reset ", &TMainForm::Reset1Click);
    Debug1 = command(bar, "&Terminal", &TMainForm::Debug1Click);
    About1 = command(bar, "&About", &TMainForm::About1Click);
    Hide1 = command(bar, "Hi&de", &TMainForm::Hide1Click);
    Help1 = command(bar, "&Help", &TMainForm::Help1Click);
}

// The other windows in the order the program creates them; each is created once and only shown and
// hidden afterwards.
void TMainForm::CreateWindows()
{
    ComParaForm = new TComParaForm(this);
    EditForm = new TEditForm(Memory, Settings, Status, this);
    LockBitForm = new TLockBitForm(this);
    AboutForm = new TAboutForm(this);
    DebugForm = new TDebugForm(QCom, Settings, Status, this);
    connect(DebugForm, &TDebugForm::FileCommandChanged, this, &TMainForm::Timer1Timer);
    CompDifForm = new TCompDifForm(this);
    HelpForm = new THelpForm(this);
}

std::unique_ptr<TGuiProgUi> TMainForm::CreateProgUi()
{
    TGuiProgUi::TSteps steps;
    steps.ClearDifferences = [this] { CompDifForm->ClearDifferences(); };
    steps.AddDifferenceLine = [this](const QString &line) {
        CompDifForm->AddDifferenceLine(line);
        if (Status.BatchMode)
            std::cerr << line.toStdString() << std::endl;
    };
    steps.RefreshEditWindow = [this] { RefreshEditWindow(); };
    steps.ShowElapsed = [this](double seconds) {
        Label1->setText(FromStd(ElapsedText(seconds, QLocale().decimalPoint().at(0).toLatin1())));
    };
    steps.Flush = [this] { return Session.Flush(); };
    steps.OperationFinished = [this](const TFinishMessage &message, const std::string &problems) {
        OperationFinished(message, problems);
    };
    return std::make_unique<TGuiProgUi>(*this, Status, std::move(steps));
}

// ---- common steps

void TMainForm::StartOperation(TOperationCode code)
{
    // A dialog that was open when the window closed returns into its command afterwards. A file
    // command of the terminal holds the port's data path: the operation's end steps would set the
    // lines and drain the port under it.
    if (Closing || DebugForm->FileCommandRunning())
        return;
    if (Runner->StartOperation(code))
        Timer1Timer(); // the menus go grey now, not at the next tick
}

void TMainForm::StartIdleOperation()
{
    Status.Busy = false;
    Status.OperationCode = opIdle;
    QCoreApplication::processEvents();
    StartOperation(opIdle);
}

void TMainForm::ApplyPortSettings()
{
    for (const std::string &note : LoadSettings(Ini, Settings))
        ReportOnce(note);
    QCom.SetShowErrors(false);
    if (const auto baud = BaudRateOfIndex(Settings.Baudrate))
        QCom.SetBaud(*baud);
    OpenPort();
}

void TMainForm::OpenPort()
{
    // A chip behind another port, taken for another kind, or behind a port that was lost meanwhile
    // holds nothing this run is known to have written.
    const std::string target =
        Settings.PortName + '\n' + std::to_string(Settings.Port) + '\n' + std::to_string(Settings.Device);
    if (!QCom.Opened() || target != PortTarget)
        Memory.ForgetLastProgrammed();
    PortTarget = target;
    std::string problem;
    LastOpenResult = Session.Open(SettingsPath + ".sim", problem);
    if (LastOpenResult == TOpenResult::Ok)
        problem.clear();
    // The port's own error boxes stay off, so the reason goes where a user looks for it.
    ProgressBar1->setToolTip(FromStd(problem));
    if (!problem.empty() && problem != LastPortProblem)
        std::cerr << "korvel: " << problem << std::endl;
    LastPortProblem = problem;
}

void TMainForm::RefreshEditWindow()
{
    EditForm->RefreshEditWindow();
}

void TMainForm::FocusTerminal()
{
    if (DebugForm->isVisible())
        DebugForm->FocusConsole();
}

// A port lost since it was opened (a USB adapter pulled) gets one more attempt, which also names the
// reason it cannot be opened. A cable that cannot serve the wiring counts as not opened, with its
// reason shown where an unopenable port's is; it still serves the terminal.
bool TMainForm::PortOpened()
{
    // Settings no chip operation can run with are what to mend first, before anything is sent.
    if (const std::string problem = OperationProblem(Settings); !problem.empty()) {
        LastPortProblem = problem;
        ProgressBar1->setToolTip(FromStd(problem));
        return false;
    }
    if (!QCom.Opened())
        OpenPort();
    if (!QCom.Opened())
        return false;
    LastPortProblem = Session.WiringProblem();
    ProgressBar1->setToolTip(FromStd(LastPortProblem));
    return LastPortProblem.empty();
}

void TMainForm::ReportPortProblem()
{
    QApplication::beep();
    ShowError(LastPortProblem.empty() ? "cannot open serial port " + QCom.DeviceName() : LastPortProblem);
}

// An operation the user started on a port that cannot be opened would end like one that found no
// chip, or like a success for an erase or a reset: it is not started, and one message says why.
bool TMainForm::PortReady()
{
    if (PortOpened())
        return true;
    ReportPortProblem();
    return false;
}

void TMainForm::IdleLines()
{
    TIspLink(*SessionLines, Settings).IdleLines();
}

// ---- state timer, start-up, batch mode and the end of the program

void TMainForm::Timer1Timer()
{
    ProgressBar1->setValue(Status.Progress);
    const bool operation = Status.Busy || Runner->Running();
    DebugForm->SetOperationRunning(operation);
    // A terminal file command holds the port as an operation does, so the same commands wait for it.
    const bool fileCommand = DebugForm->FileCommandRunning();
    EditForm->SetOkHeld(fileCommand);
    const bool busy = operation || fileCommand;
    const TMenuState state = MenuStateFor(busy, Settings.Secure, Settings.Device, EditForm->isVisible());
    Parameter1->setEnabled(state.Parameter);
    Buffer1->menuAction()->setEnabled(state.Buffer);
    Device1->menuAction()->setEnabled(state.Device);
    RedoButton->setEnabled(state.Redo);
    ReadDataMemorytoBuffer1->setEnabled(state.DataCommands);
    ProgramDataMemoryfromBuffer1->setEnabled(state.DataCommands);
    CompareDataMemorytoBuffer1->setEnabled(state.VerifyData);
    if (Status.CloseRequested && !Closetimer->isActive())
        Closetimer->start();
}

void TMainForm::ClosetimerTimer()
{
    Closetimer->stop();
    close();
}

void TMainForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // After the show has completed, so that the window is drawn while the sequence runs.
    if (!event->spontaneous())
        QTimer::singleShot(0, this, &TMainForm::FormShow);
}

// Without a tray, "Hi&de" minimises; bringing the window back counts as showing it again.
void TMainForm::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    const auto *change = static_cast<QWindowStateChangeEvent *>(event);
    if ((change->oldState() & Qt::WindowMinimized) && !(windowState() & Qt::WindowMinimized))
        QTimer::singleShot(0, this, &TMainForm::FormShow);
}

void TMainForm::FormShow()
{
    // Shown again while an operation or a terminal file command runs: setting the port up and starting
    // another operation under it would wreck both.
    if (Runner->Running() || Closing || DebugForm->FileCommandRunning())
        return;
    ApplyPortSettings();
    SaveSettingsReported();
    Status.Progress = 0;
    QCoreApplication::processEvents();
    if (const std::string file = BatchFile(); !file.empty()) {
        StartBatch(file);
        return;
    }
    StartIdleOperation();
    Memory.WholeDevice = true;
}

// Any first argument asks for a batch run: a name that names no file is a file error, not a start
// without one (an IDE would wait for ever).
std::string TMainForm::BatchFile() const
{
    return Arguments.isEmpty() ? std::string() : QFile::encodeName(Arguments.first()).toStdString();
}

// What cannot be written ends the run at once, said on standard error: nobody may be there to answer
// a box. A file the chip would not hold as it is is not written (the unattended load's rule).
void TMainForm::StartBatch(const std::string &file)
{
    QThread::msleep(BatchStartWaitMs);
    Batch = true;
    if (const std::string problem = OperationProblem(Settings); !problem.empty())
        return EndBatch(ExitUsage, problem);
    const TUnattendedLoad load = LoadForUnattendedWrite(Memory, Settings.Device, file, TLoadTarget::CodeMemory, false);
    for (const std::string &note : load.Notes)
        std::cerr << "korvel: note: " << note << std::endl;
    if (!load.Ok())
        return EndBatch(ExitUsage, load.Reason + "\nNothing was written.");
    // Nobody sees the buffer's 00 between the file's bytes: a chip erased first keeps FF there.
    Memory.OnlyFileBytes = true;
    RefreshEditWindow();
    if (!PortOpened()) {
        // As korvel-cli: a virtual chip's image that cannot be read is a file error.
        BatchExit = LastOpenResult == TOpenResult::FileError ? ExitUsage : ExitPort;
        Status.BatchMode = true;
        Status.CloseRequested = true;
        ReportPortProblem();
        return;
    }
    BatchExit = ExitNotRun;
    StartOperation(opWriteCode);
}

void TMainForm::EndBatch(int exitCode, const std::string &reason)
{
    BatchExit = exitCode;
    std::cerr << "korvel: " << reason << std::endl;
    QTimer::singleShot(0, this, &QWidget::close);
}

// The write is verified as korvel-cli verifies it; the verify's end closes the window.
bool TMainForm::BatchStep(const TFinishMessage &message)
{
    const auto code = Status.OperationCode.load();
    if (!Batch || (code != opWriteCode && code != opVerifyCode))
        return false;
    const int outcome = !Status.DeviceFound && !QCom.LineFailures().empty() ? ExitPort : BatchExitCode(Status);
    // A chip erased first has read back what the write wrote already.
    if (code == opWriteCode && outcome == ExitOk && !Status.WriteVerified) {
        // The handler is posted before the thread has quite ended: the runner takes the verify once it has.
        Runner->WaitForEnd();
        Status.BatchMode = true;
        StartOperation(opVerifyCode);
        return true;
    }
    Status.BatchMode = true;
    Status.CloseRequested = true;
    BatchExit = outcome;
    if (BatchExit == ExitOk)
        return true; // nothing to show of a run that went well
    std::cerr << "korvel: " << message.Text << std::endl;
    return false;
}

void TMainForm::OperationFinished(const TFinishMessage &message, const std::string &problems)
{
    if (Closing)
        return;
    Timer1Timer(); // the commands come back at once, not at the next tick
    if (!problems.empty())
        ReportOnce(problems);
    if (BatchStep(message) || !message.Show)
        return;
    std::string text = message.Text;
    // What the cable refused, or an input its driver never reported, explains a chip not found.
    if (!Status.DeviceFound && !Status.PortLost)
        for (const std::string &note : Session.PortNotes())
            text += "\n" + note;
    QApplication::beep();
    QMessageBox box(QMessageBox::NoIcon, FromStd(message.Caption), FromStd(text), QMessageBox::Ok, this);
    box.exec();
    if (message.ShowDifferences)
        ShowDifferences1Click();
}

// Stops a running operation between two bytes and waits for it, serving the steps it may be waiting
// for on this thread meanwhile.
void TMainForm::StopOperation()
{
    Runner->RequestStop();
    while (Runner->Running()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        QThread::msleep(1);
    }
    Runner->WaitForEnd();
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    Closing = true;
    const bool stopped = Runner->Running();
    StopOperation();
    // A terminal file command waits for its target inside this event: with the port closed its wait
    // ends at once, and the command stops without saving what it had not finished.
    DebugForm->StopFileCommand();
    QCom.Close();
    if (stopped && Batch) {
        BatchExit = ExitNotRun;
        const auto code = static_cast<TOperationCode>(Status.OperationCode.load());
        const TStopPhase phase = code == opVerifyCode ? TStopPhase::VerifyAfterWrite : TStopPhase::Operation;
        std::cerr << "korvel: " << StopReport(code, phase, Status, Memory, Settings.Device) << std::endl;
    }
    if (const std::string problems = Session.Flush(); !problems.empty())
        std::cerr << "korvel: " << problems << std::endl;
    event->accept();
    emit Closed();
}

// ---- commands

// Ok or not, the port is set up again and the lines go to rest, so the dialog always ends in a
// known state.
void TMainForm::Parameter1Click()
{
    ComParaForm->Fill(Settings);
    ComParaForm->SetPortProblem(FromStd(LastPortProblem));
    const TTtyDriver &tty = Session.Driver();
    ComParaForm->SetPortDriver(tty.Name.empty() ? QString() : FromStd(TtyDriverText(tty)));
    ComParaForm->SetSckRate(Status.Sck);
    if (ComParaForm->exec() == QDialog::Accepted) {
        ComParaForm->TakeBack(Settings);
        SaveSettingsReported();
    }
    ApplyPortSettings();
    StartIdleOperation();
    FocusTerminal();
}

void TMainForm::Edit1Click()
{
    EditForm->ShowWindow();
}

void TMainForm::Debug1Click()
{
    DebugForm->show();
    DebugForm->FocusConsole();
}

// The chosen file's name in the file system's encoding, or empty when the user cancelled.
std::string TMainForm::ChooseFile(TFileDialog *dialog, const QStringList &filters, const QString &name,
                                  const QString &suffix)
{
    std::error_code ec;
    const fs::path last = Settings.LastFilename;
    const bool useLast = !Settings.LastFilename.empty() && fs::exists(last, ec);
    dialog->setDirectory(FromStd((useLast ? last.parent_path() : ProgramFile().parent_path()).string()));
    dialog->SetFilters(filters);
    dialog->setDefaultSuffix(suffix);
    return QFile::encodeName(dialog->Choose(name)).toStdString();
}

TFileResult TMainForm::LoadFile(TLoader loader, const std::string &name, bool silent)
{
    TBufferNotify notify;
    notify.RefreshEditWindow = [this] { RefreshEditWindow(); };
    notify.ShowNote = [this](const std::string &caption, const std::string &text) {
        QMessageBox box(QMessageBox::NoIcon, FromStd(caption), FromStd(text), QMessageBox::Ok, this);
        box.exec();
    };
    return loader == TLoader::IntelHex ? LoadHexFile(Memory, Settings.Device, name, silent, notify)
                                       : LoadBinaryFile(Memory, Settings.Device, name, silent, notify);
}

// The name is kept even when the file cannot be read, so Redo can try again once it can.
void TMainForm::LoadCommand(TLoader loader, const std::string &name)
{
    const TFileResult loaded = LoadFile(loader, name, false);
    Memory.WholeDevice = false;
    Settings.LastFilename = name;
    Settings.LastFiletyp.assign(1, loader == TLoader::Binary ? 'B' : 'H');
    SaveSettingsReported();
    QApplication::beep();
    if (!loaded.Ok)
        ShowError(loaded.Error);
    if (!loaded.Note.empty())
        ShowNote(loaded.Note);
    if (loaded.Ok && !loaded.Warning.empty())
        ShowWarning(loaded.Warning + "\nThe buffer holds what could be read of it.", QMessageBox::Ok);
}

void TMainForm::AsaBinaryFile1Click()
{
    if (const std::string name = ChooseFile(OpenDialog1, BinaryFilters, "Default.Bin", "Bin"); !name.empty())
        LoadCommand(TLoader::Binary, name);
    FocusTerminal();
}

void TMainForm::AsaIntelHexFile1Click()
{
    if (const std::string name = ChooseFile(OpenDialog1, HexFilters, "Default.Hex", "Hex"); !name.empty())
        LoadCommand(TLoader::IntelHex, name);
    FocusTerminal();
}

void TMainForm::WritetoDisk1Click()
{
    if (const std::string name = ChooseFile(SaveDialog1, SaveFilters, "Default.Bin", "Bin"); !name.empty()) {
        const TFileResult saved = SaveBinaryFile(Memory, Settings.Device, name);
        if (!saved.Ok)
            ShowError(saved.Error);
    }
    FocusTerminal();
}

void TMainForm::FillCommand(std::uint8_t value)
{
    Memory.FillBuffer(value, Settings.Device);
    Memory.WholeDevice = true;
    RefreshEditWindow();
    FocusTerminal();
}

void TMainForm::Clearto001Click()
{
    FillCommand(0x00);
}

void TMainForm::ClearwithFF1Click()
{
    FillCommand(0xFF);
}

void TMainForm::ShowDifferences1Click()
{
    CompDifForm->show();
    CompDifForm->raise();
    CompDifForm->activateWindow();
}

void TMainForm::StartFromMenu(TOperationCode code, bool idleFirst, bool wholeDevice)
{
    if (!PortReady()) {
        FocusTerminal();
        return;
    }
    if (idleFirst)
        IdleLines();
    if (wholeDevice)
        Memory.WholeDevice = true;
    StartOperation(code);
    FocusTerminal();
}

void TMainForm::ReadCodeMemorytoBuffer1Click()
{
    StartFromMenu(opReadCode, true, true);
}

void TMainForm::ReadDataMemorytoBuffer1Click()
{
    StartFromMenu(opReadData, true, true);
}

void TMainForm::ProgramCodeMemoryfromBuffer1Click()
{
    StartFromMenu(opWriteCode, true, false);
}

void TMainForm::ProgramDataMemoryfromBuffer1Click()
{
    StartFromMenu(opWriteData, true, false);
}

void TMainForm::CompareCodeMemorytoBuffer1Click()
{
    StartFromMenu(opVerifyCode, true, true);
}

void TMainForm::CompareDataMemorytoBuffer1Click()
{
    StartFromMenu(opVerifyData, true, true);
}

void TMainForm::Reset1Click()
{
    StartFromMenu(opChipReset, false, false);
}

void TMainForm::WriteLockBits1Click()
{
    if (LockBitForm->exec() == QDialog::Accepted && PortReady()) {
        IdleLines();
        Status.LockBitsByte = LockBitForm->LockBitsByte();
        StartOperation(opWriteLockBits);
    }
    FocusTerminal();
}

void TMainForm::ChipErase1Click()
{
    QMessageBox box(QMessageBox::Question, "Attention", "Erase Data and Code memory\nAre you sure ?",
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    if (box.exec() == QMessageBox::Ok && PortReady()) {
        IdleLines();
        StartOperation(opChipErase);
    }
    FocusTerminal();
}

void TMainForm::About1Click()
{
    AboutForm->show();
    AboutForm->raise();
    AboutForm->activateWindow();
    FocusTerminal();
}

// Without a tray nothing could bring a hidden window back, so it is minimised instead.
void TMainForm::Hide1Click()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        RxTrayIcon->show();
        hide();
    } else {
        showMinimized();
    }
}

void TMainForm::RxTrayIconClick()
{
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
}

void TMainForm::Help1Click()
{
    HelpForm->ShowHelp(HelpFilePath(ProgramFile()));
}

// A file that cannot be read again is reported and not written: the write would put whatever the
// buffer held before into the chip.
void TMainForm::RedoButtonClick()
{
    if (const auto plan = RedoPlanFor(Settings.LastFilename, Settings.LastFiletyp, Settings.FastRedo)) {
        const TFileResult loaded = LoadFile(plan->Loader, Settings.LastFilename, true);
        Memory.WholeDevice = false;
        if (!loaded.Ok)
            ShowError(loaded.Error);
        else if (WriteDamagedFile(loaded.Warning) && PortReady())
            StartOperation(plan->Operation);
    }
    FocusTerminal();
}

// ---- files dropped on the window load as the matching Load command would

void TMainForm::dragEnterEvent(QDragEnterEvent *event)
{
    if (Buffer1->menuAction()->isEnabled() && !DroppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

// The file manager that dragged waits until the drop returns, so the load with its message boxes
// comes after it.
void TMainForm::dropEvent(QDropEvent *event)
{
    const QString dropped = DroppedFile(event->mimeData());
    if (!Buffer1->menuAction()->isEnabled() || dropped.isEmpty())
        return;
    event->acceptProposedAction();
    const std::string name = QFile::encodeName(dropped).toStdString();
    QTimer::singleShot(0, this, [this, name] {
        if (!Buffer1->menuAction()->isEnabled())
            return;
        const TLoader loader = LoaderForFile(name);
        if (loader == TLoader::IntelHex && !IsHexFileName(name))
            ShowNote(name + " is read as Intel-HEX: its first line is an Intel-HEX record");
        LoadCommand(loader, name);
        FocusTerminal();
    });
}

// ---- reports

void TMainForm::SaveSettingsReported()
{
    try {
        SaveSettings(Ini, Settings);
    } catch (const EIniFileError &e) {
        ReportOnce(e.what());
    }
}

// A batch run never waits for a person, so it only prints what it cannot keep.
void TMainForm::ReportOnce(const std::string &text)
{
    if (!Reported.insert(text).second)
        return;
    std::cerr << "korvel: " << text << std::endl;
    if (BatchFile().empty())
        ShowError(text);
}

// The file was loaded in the Buffer menu with its warning; one click must not put a file damaged since
// (or cut off while it was still being written) into the chip unasked.
bool TMainForm::WriteDamagedFile(const std::string &warning)
{
    return warning.empty() ||
           ShowWarning(warning + "\nWrite what could be read of it to the chip?", QMessageBox::Ok | QMessageBox::Cancel) ==
               QMessageBox::Ok;
}

int TMainForm::ShowWarning(const std::string &text, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(QMessageBox::Warning, "Warning", FromStd(text), buttons, this);
    if (buttons & QMessageBox::Cancel)
        box.setDefaultButton(QMessageBox::Cancel);
    return box.exec();
}

void TMainForm::ShowNote(const std::string &text)
{
    QMessageBox box(QMessageBox::NoIcon, "Note", FromStd(text), QMessageBox::Ok, this);
    box.exec();
}

void TMainForm::ShowError(const std::string &text)
{
    QMessageBox box(QMessageBox::Warning, "Error", FromStd(text), QMessageBox::Ok, this);
    box.exec();
}
