// The terminal window: a serial terminal on the programmer's own port, for a BASIC interpreter
// running on the target. It shows what the target sends, sends what the user types, uploads a
// BASIC file prompt by prompt and saves the interpreter's LIST of its program.
#pragma once
#include <QMainWindow>
#include <string>

#include "terminal/console.h"
#include "terminal/debug_form_rules.h"

class QAction;
class QMenu;
class QPushButton;
class QTimer;
class TFileDialog;
class T_QCCom32;
struct TProgStatus;
struct TSettings;

class TDebugForm : public QMainWindow {
    Q_OBJECT

public:
    // com: the main window's port, opened and configured there; the terminal changes only
    // EndOfResponse, ResponseTime and Break. settings: read at every tick (Reset_Line).
    // status: the programming thread's Busy and OperationCode.
    TDebugForm(T_QCCom32 &com, const TSettings &settings, const TProgStatus &status,
               QWidget *parent = nullptr);
    TDebugForm(T_QCCom32 &com, const TSettings &&settings, const TProgStatus &status,
               QWidget *parent = nullptr) = delete;

    // Activates the window and gives Console1 the keyboard focus.
    void FocusConsole();

    bool Hold() const { return Holding; }
    // Received text not shown yet (kept back while Hold is on).
    const std::string &PendingText() const { return Pending.Text(); }
    // Always allows the resize; the height goes to the next step.
    bool FormCanResize(int &newWidth, int &newHeight);

    // The file commands and the chip operations share the port and exclude each other: the main
    // window says when an operation runs (the file commands are then off) and asks whether a file
    // command runs (its own commands are then off).
    void SetOperationRunning(bool running);
    bool FileCommandRunning() const { return FileCommandActive; }
    // The program is ending: a running file command stops at its next step and saves nothing it had
    // not finished. Its wait for the target ends when the port is closed.
    void StopFileCommand() { StopRequested = true; }

    TTerminalLimits Limits;

    TConsole *Console1;
    QWidget *Panel1;
    QPushButton *Button3; // Hold / Update
    QPushButton *Button2; // Clear History
    QPushButton *Button1; // Exit
    QTimer *Timer1;
    QMenu *File1;
    QAction *OpenBASICfile1;
    QAction *SendLISTtointerpreterandsavebuffertoaBASICfile1;
    TFileDialog *OpenDialog1;
    TFileDialog *SaveDialog1;

signals:
    // A file command started or ended.
    void FileCommandChanged();

public slots:
    void Timer1Timer();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void OpenBASICfile1Click();
    void SendLISTtointerpreterandsavebuffertoaBASICfile1Click();
    void FormShow();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    class TFileCommand;

    void FormCreate();
    void CreateConsole();
    void CreatePanel();
    void CreateMenu();
    void CreateDialogs();
    void PlaceButtons();
    void ShowHoldCaption();
    void ShowText(const std::string &text);
    void SendTypedKey();
    void ShowTargetProblem();
    void EnableFileCommands();
    bool MaySend();
    void ReleaseTxd();
    bool UploadLine(const std::string &line);
    void CaptureListing(const std::string &fileName);

    T_QCCom32 &QCom;
    const TSettings &Settings;
    const TProgStatus &Status;
    bool Holding = false;
    THeldText Pending;
    bool OperationRunning = false;
    bool FileCommandActive = false;
    bool StopRequested = false;
    std::string ShownProblem;
    // The height last corrected, so that a window manager insisting on its own height is not
    // fought over and over.
    int CorrectedFrom = -1;
};
