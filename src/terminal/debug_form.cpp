#include "terminal/debug_form.h"

#include <QEventLoop>
#include <QFile>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>

#include "buffer/file_io.h"
#include "desktop/file_dialog.h"
#include "desktop/mono_fonts.h"
#include "link/qc_com32.h"
#include "prog/prog_status.h"
#include "settings/settings.h"
#include "terminal/debug_form_rules.h"

namespace {

// The window's geometry, in pixels as designed: the buttons keep their distance to the panel's
// right edge when the window is resized.
constexpr int DesignWidth = 535;
constexpr int DesignHeight = 223;
constexpr int PanelHeight = 38;
constexpr QRect HoldPlace{294, 7, 83, 25};
constexpr QRect ClearPlace{385, 7, 83, 25};
constexpr QRect ExitPlace{477, 7, 41, 25};
constexpr int ConsoleFontPixels = 12;

constexpr int PollMs = 50;
constexpr int UploadResponseMs = 2000;
constexpr int CaptureResponseMs = 100;
constexpr int CapturePauseMs = 50;
const char *const Prompt = ">";
const char *const ResetOnTxdText = "RESET is wired to TXD: whatever the terminal sent would reset the target. "
                                   "Choose another line for RESET in the parameter dialog.";

// The dialog matches patterns regardless of case, so *.Bas lists prog.bas too; "All Files *.*"
// is shown as users know it but matches names without a dot as well.
const QStringList BasicFilters{QStringLiteral("BASIC Files *.Bas (*.Bas)"),
                               QStringLiteral("All Files *.* (*)")};

TFileDialog *MakeFileDialog(QWidget *parent, QFileDialog::AcceptMode mode)
{
    auto *dialog = new TFileDialog(parent, mode);
    dialog->SetFilters(BasicFilters);
    dialog->setDefaultSuffix(QStringLiteral("Bas"));
    return dialog;
}

// The chosen file's name in the file system's encoding, or empty when the user cancelled.
std::string ChooseFile(TFileDialog &dialog)
{
    return QFile::encodeName(dialog.Choose(QStringLiteral("Default.Bas"))).toStdString();
}

// Waits while the rest of the user interface stays alive, as the port's reads do.
void Pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

// The port set up for a file command and the polling stopped, for as long as the command runs.
// However the command ends, the port's EndOfResponse is left empty, as the polling expects it.
class TDebugForm::TFileCommand {
public:
    TFileCommand(TDebugForm &form, int responseMs) : Form(form)
    {
        Form.Timer1->stop();
        Form.QCom.SetEndOfResponse(Prompt);
        Form.QCom.SetResponseTime(responseMs);
        // A second file command started from inside this one's waits would share its port reads,
        // and a chip operation would set the lines and drain the port under it.
        Form.FileCommandActive = true;
        Form.StopRequested = false;
        Form.EnableFileCommands();
        emit Form.FileCommandChanged();
    }
    ~TFileCommand()
    {
        Form.Timer1->start();
        Form.QCom.SetEndOfResponse({});
        Form.FileCommandActive = false;
        Form.EnableFileCommands();
        emit Form.FileCommandChanged();
        if (FocusAtEnd)
            Form.Console1->setFocus();
    }
    TFileCommand(const TFileCommand &) = delete;
    TFileCommand &operator=(const TFileCommand &) = delete;

    // An upload stopped by a missing prompt leaves the focus where it is.
    void KeepFocus() { FocusAtEnd = false; }

private:
    TDebugForm &Form;
    bool FocusAtEnd = true;
};

TDebugForm::TDebugForm(T_QCCom32 &com, const TSettings &settings, const TProgStatus &status,
                       QWidget *parent)
    : QMainWindow(parent), QCom(com), Settings(settings), Status(status)
{
    setWindowTitle(QStringLiteral("Terminal"));
    setFont(QFont(QStringLiteral("Arial"), 8));
    // Exit only hides the terminal; it must never end the program, also when it is the last
    // window shown.
    setAttribute(Qt::WA_QuitOnClose, false);
    auto *client = new QWidget(this);
    auto *layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    setCentralWidget(client);
    CreateConsole();
    CreatePanel();
    layout->addWidget(Console1, 1);
    layout->addWidget(Panel1);
    CreateMenu();
    CreateDialogs();
    Timer1 = new QTimer(this);
    Timer1->setInterval(PollMs);
    connect(Timer1, &QTimer::timeout, this, &TDebugForm::Timer1Timer);
    // Window managers that honour size increments step the height while the user drags.
    setMinimumHeight(MinFormHeight);
    setBaseSize(0, MinFormHeight);
    setSizeIncrement(1, FormHeightStep);
    resize(DesignWidth, DesignHeight);
    FormCreate();
}

void TDebugForm::FormCreate()
{
    Holding = false;
    Timer1->start();
}

void TDebugForm::CreateConsole()
{
    Console1 = new TConsole(centralWidget());
    // The panel and the menu bar decide how small the window gets, not the console's scroll bars.
    Console1->setMinimumSize(1, 1);
    Console1->SetCols(120);
    Console1->SetRows(5000);
    Console1->SetLineBreak(TConsoleLineBreak::CRLF);
    const TConsoleOptions options =
        coAutoTracking | coFulltimeCursor | coLazyWrite | coStdInput | coFixedPitchOnly;
    try {
        Console1->SetOptions(options);
    } catch (const EConsoleError &) {
        // Another console serves standard input already; the terminal never reads it anyway.
        Console1->SetOptions(options & ~coStdInput);
    }
    const QColor window = palette().color(QPalette::Base);
    TFixedFont font(FixedsysFont());
    font.setPixelSize(ConsoleFontPixels);
    font.SetBkColor(window);
    try {
        Console1->SetFont(font);
    } catch (const EInvalidFont &) {
        // Without Liberation Mono and a fixed-pitch system font: the console keeps its own font.
    }
    Console1->SetColor(window);
}

void TDebugForm::CreatePanel()
{
    Panel1 = new QWidget(centralWidget());
    Panel1->setFixedHeight(PanelHeight);
    Button3 = new QPushButton(QStringLiteral("Hold"), Panel1);
    Button2 = new QPushButton(QStringLiteral("&Clear History"), Panel1);
    Button1 = new QPushButton(QStringLiteral("&Exit"), Panel1);
    Panel1->installEventFilter(this);
    connect(Button3, &QPushButton::clicked, this, &TDebugForm::Button3Click);
    connect(Button2, &QPushButton::clicked, this, &TDebugForm::Button2Click);
    connect(Button1, &QPushButton::clicked, this, &TDebugForm::Button1Click);
    PlaceButtons();
}

void TDebugForm::PlaceButtons()
{
    const int shift = Panel1->width() - DesignWidth;
    Button3->setGeometry(HoldPlace.translated(shift, 0));
    Button2->setGeometry(ClearPlace.translated(shift, 0));
    Button1->setGeometry(ExitPlace.translated(shift, 0));
}

void TDebugForm::CreateMenu()
{
    File1 = menuBar()->addMenu(QStringLiteral("&File"));
    OpenBASICfile1 =
        File1->addAction(QStringLiteral("&Open BASIC file and transfer it's contents to interpreter"));
    SendLISTtointerpreterandsavebuffertoaBASICfile1 = File1->addAction(
        QStringLiteral("&Send \"LIST\" to interpreter and save buffer to a BASIC file"));
    connect(OpenBASICfile1, &QAction::triggered, this, &TDebugForm::OpenBASICfile1Click);
    connect(SendLISTtointerpreterandsavebuffertoaBASICfile1, &QAction::triggered, this,
            &TDebugForm::SendLISTtointerpreterandsavebuffertoaBASICfile1Click);
}

void TDebugForm::CreateDialogs()
{
    OpenDialog1 = MakeFileDialog(this, QFileDialog::AcceptOpen);
    SaveDialog1 = MakeFileDialog(this, QFileDialog::AcceptSave);
}

// ---- showing, sizing, focus ----

void TDebugForm::FocusConsole()
{
    raise();
    activateWindow();
    Console1->setFocus();
}

bool TDebugForm::FormCanResize(int &, int &newHeight)
{
    newHeight = SteppedHeight(newHeight);
    return true;
}

void TDebugForm::FormShow()
{
    int newWidth = width();
    int newHeight = height();
    FormCanResize(newWidth, newHeight);
    resize(newWidth, newHeight);
    Console1->setFocus();
    Holding = false;
}

void TDebugForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TDebugForm::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    int newWidth = width();
    int newHeight = height();
    FormCanResize(newWidth, newHeight);
    if (newHeight == height()) {
        CorrectedFrom = -1;
    } else if (height() != CorrectedFrom) {
        CorrectedFrom = height();
        resize(newWidth, newHeight);
    }
}

bool TDebugForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Panel1 && event->type() == QEvent::Resize)
        PlaceButtons();
    return QMainWindow::eventFilter(watched, event);
}

// ---- polling and the buttons ----

void TDebugForm::ShowHoldCaption()
{
    Button3->setText(Holding ? QStringLiteral("Update") : QStringLiteral("Hold"));
}

void TDebugForm::ShowText(const std::string &text)
{
    for (const char ch : text)
        Console1->PutChar(ch);
}

void TDebugForm::Timer1Timer()
{
    ShowHoldCaption();
    // While any other operation runs, the port's lines belong to the programmer.
    if (Status.Busy && Status.OperationCode != opChipReset)
        return;
    ShowTargetProblem();
    if (QCom.InCount() > 0) {
        std::string received;
        QCom.Read(received);
        if (Holding)
            Pending.Append(received, Limits.HoldBytes);
        else
            ShowText(Pending.Take() + received);
    }
    SendTypedKey();
}

// Why the virtual chip's program does not answer (no s51 to run it, a rate the terminal does not
// share) is said once, on a line of its own, as a real target that stays silent says nothing.
void TDebugForm::ShowTargetProblem()
{
    const std::string problem = QCom.TargetProblem();
    if (problem == ShownProblem)
        return;
    ShownProblem = problem;
    if (!problem.empty())
        ShowText(TargetNote(problem));
}

void TDebugForm::SendTypedKey()
{
    // With RESET wired to TXD, sending would reset the target; the keys wait in the console.
    if (!Console1->KeyPressed() || Settings.Reset_Line == 0)
        return;
    QCom.SetBreak(false);
    QCom.Write(std::string(1, Console1->ReadKey()));
}

void TDebugForm::SetOperationRunning(bool running)
{
    OperationRunning = running;
    EnableFileCommands();
}

void TDebugForm::EnableFileCommands()
{
    const bool enabled = !OperationRunning && !FileCommandActive;
    OpenBASICfile1->setEnabled(enabled);
    SendLISTtointerpreterandsavebuffertoaBASICfile1->setEnabled(enabled);
}

void TDebugForm::Button3Click()
{
    Holding = !Holding;
    ShowHoldCaption();
}

void TDebugForm::Button2Click()
{
    Console1->Clear();
    Console1->setFocus();
}

void TDebugForm::Button1Click() { close(); }

// ---- upload and capture ----

// With RESET wired to TXD every character sent would pulse the target's reset: the file commands
// refuse, as typed keys wait.
bool TDebugForm::MaySend()
{
    if (Settings.Reset_Line != 0)
        return true;
    QMessageBox::warning(this, QStringLiteral("Terminal"), QString::fromLatin1(ResetOnTxdText));
    return false;
}

// Every operation leaves the lines as the link left them, TXD in break where SCL rests there (the
// default wiring), and a UART held in break sends no character.
void TDebugForm::ReleaseTxd()
{
    QCom.SetBreak(false);
}

void TDebugForm::OpenBASICfile1Click()
{
    if (!MaySend())
        return;
    TFileCommand command(*this, UploadResponseMs);
    const std::string fileName = ChooseFile(*OpenDialog1);
    if (fileName.empty())
        return;
    ReleaseTxd();
    bool answered = true;
    const TBasicLineSplitter::TLineHandler upload = [&](const std::string &line) {
        answered = UploadLine(line);
        return answered;
    };
    TBasicLineSplitter splitter;
    const TFileResult read = ReadFileInChunks(
        fileName, [&](std::string_view chunk) { return splitter.Feed(chunk, upload); });
    // A line cut off by a read error is not sent.
    if (read.Ok && answered)
        splitter.Finish(upload);
    if (!answered)
        command.KeepFocus();
}

// The answer limit counts from the write, however many ">" in the echo end a read early.
bool TDebugForm::UploadLine(const std::string &line)
{
    using namespace std::chrono;
    if (StopRequested)
        return false;
    QCom.Write(line + '\r');
    const auto deadline = steady_clock::now() + milliseconds(UploadResponseMs);
    std::string answer;
    while (!HoldsPromptAfterEcho(answer)) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0 || StopRequested || !QCom.Opened())
            return false;
        QCom.SetResponseTime(static_cast<int>(left));
        std::string chunk;
        QCom.Read(chunk);
        ShowText(chunk);
        answer += chunk;
    }
    return true;
}

void TDebugForm::SendLISTtointerpreterandsavebuffertoaBASICfile1Click()
{
    if (!MaySend())
        return;
    TFileCommand command(*this, CaptureResponseMs);
    const std::string fileName = ChooseFile(*SaveDialog1);
    // A listing that could not be saved is not asked for.
    if (fileName.empty() || !CanCreateFile(fileName))
        return;
    ReleaseTxd();
    CaptureListing(fileName);
}

void TDebugForm::CaptureListing(const std::string &fileName)
{
    QCom.Write("LIST\r\n");
    std::string capture;
    const auto end = std::chrono::steady_clock::now() + Limits.CaptureTime;
    // A prompt does not end the listing (it may stand inside a program line); a read that
    // stays silent for its whole wait does, and so do the bounds.
    for (;;) {
        std::string chunk;
        QCom.Read(chunk);
        if (chunk.empty() || StopRequested)
            break;
        capture += chunk;
        ShowText(chunk);
        if (capture.size() >= Limits.CaptureBytes || std::chrono::steady_clock::now() >= end) {
            ShowText(CaptureCutNote);
            break;
        }
        Pause(CapturePauseMs);
    }
    // A listing cut short by the end of the program must not replace the file.
    if (!StopRequested)
        SaveFileSafely(fileName, CleanCapture(std::move(capture)));
}
