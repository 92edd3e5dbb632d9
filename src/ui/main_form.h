// The main window: a small bar that stays on top, with the menus, the progress bar, the elapsed time
// and the Redo button. It owns the port, the settings, the buffer and the programming runner, creates
// the other windows, turns commands into file loads and programming operations, and runs the start-up
// sequence with the batch mode in which an IDE programs a chip with one call.
#pragma once
#include "buffer/file_result.h"
#include "buffer/memory_buffer.h"
#include "link/qc_com32.h"
#include "prog/exit_codes.h"
#include "prog/port_session.h"
#include "prog/prog_status.h"
#include "prog/prog_thread.h"
#include "prog/session_lines.h"
#include "settings/app_ini_file.h"
#include "settings/settings.h"
#include "ui/form_rules.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QStringList>
#include <memory>
#include <set>
#include <string>

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class TAboutForm;
class TComParaForm;
class TCompDifForm;
class TDebugForm;
class TEditForm;
class TFileDialog;
class TGuiProgUi;
class THelpForm;
class TLockBitForm;
struct TFinishMessage;

class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    // settingsPath: the settings file (the program's own, or a test's). arguments: the command line
    // without the program name; the first one names a file to program in batch mode.
    // kinds: the table of port kinds the port is opened through; it outlives the window.
    TMainForm(const std::string &settingsPath, const QStringList &arguments, const TPortKinds &kinds,
              QWidget *parent = nullptr);
    ~TMainForm() override;

    // What the process ends with: the outcome of a batch run, else 0.
    int ExitCode() const { return BatchExit; }
    // Why the port could not be opened at the last attempt; empty when it opened.
    const std::string &PortProblem() const { return LastPortProblem; }
    TPortSession &PortSession() { return Session; }

    // Steps shared with the other windows.
    void StartOperation(TOperationCode code);
    void StartIdleOperation();
    void ApplyPortSettings();
    void RefreshEditWindow();
    void FocusTerminal();
    bool OperationRunning() const { return Runner->Running(); }

    // Handlers.
    void Parameter1Click();
    void AsaBinaryFile1Click();
    void AsaIntelHexFile1Click();
    void WritetoDisk1Click();
    void Edit1Click();
    void Clearto001Click();
    void ClearwithFF1Click();
    void ShowDifferences1Click();
    void ReadCodeMemorytoBuffer1Click();
    void ReadDataMemorytoBuffer1Click();
    void ProgramCodeMemoryfromBuffer1Click();
    void ProgramDataMemoryfromBuffer1Click();
    void CompareCodeMemorytoBuffer1Click();
    void CompareDataMemorytoBuffer1Click();
    void WriteLockBits1Click();
    void ChipErase1Click();
    void Reset1Click();
    void Debug1Click();
    void About1Click();
    void Hide1Click();
    void Help1Click();
    void RedoButtonClick();
    void RxTrayIconClick();
    void Timer1Timer();
    void ClosetimerTimer();
    void FormShow();

    // What the main window owns; the other windows get references.
    TAppIniFile Ini;
    TSettings Settings;
    TMemoryBuffer Memory;
    TProgStatus Status;
    T_QCCom32 QCom;

    QProgressBar *ProgressBar1;
    QLabel *Label1;
    QPushButton *RedoButton;
    QAction *Parameter1;
    QMenu *Buffer1;
    QMenu *LoadfromDisk1;
    QAction *AsaBinaryFile1;
    QAction *AsaIntelHexFile1;
    QAction *WritetoDisk1;
    QAction *Edit1;
    QAction *Clearto001;
    QAction *ClearwithFF1;
    QAction *ShowDifferences1;
    QMenu *Device1;
    QAction *ReadCodeMemorytoBuffer1;
    QAction *ReadDataMemorytoBuffer1;
    QAction *ProgramCodeMemoryfromBuffer1;
    QAction *ProgramDataMemoryfromBuffer1;
    QAction *CompareCodeMemorytoBuffer1;
    QAction *CompareDataMemorytoBuffer1;
    QAction *WriteLockBits1;
    QAction *ChipErase1;
    QAction *Reset1;
    QAction *Debug1;
    QAction *About1;
    QAction *Hide1;
    QAction *Help1;
    TFileDialog *OpenDialog1;
    TFileDialog *SaveDialog1;
    QTimer *Timer1;
    QTimer *Closetimer;
    QSystemTrayIcon *RxTrayIcon;

    // The other windows, created in the start-up order.
    TComParaForm *ComParaForm = nullptr;
    TEditForm *EditForm = nullptr;
    TLockBitForm *LockBitForm = nullptr;
    TAboutForm *AboutForm = nullptr;
    TDebugForm *DebugForm = nullptr;
    TCompDifForm *CompDifForm = nullptr;
    THelpForm *HelpForm = nullptr;

signals:
    // The window was closed: the program ends (main() quits the event loop on it).
    void Closed();

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void InstallPortHooks();
    void CreateControls();
    void CreateMenus();
    void CreateWindows();
    std::unique_ptr<TGuiProgUi> CreateProgUi();
    void OpenPort();
    bool PortOpened();
    void ReportPortProblem();
    bool PortReady();
    void IdleLines();
    void StartFromMenu(TOperationCode code, bool idleFirst, bool wholeDevice);
    void OperationFinished(const TFinishMessage &message, const std::string &problems);
    void StopOperation();
    void StartBatch(const std::string &file);
    void EndBatch(int exitCode, const std::string &reason);
    // Takes a batch run's operation to its next step; true when nothing more is to be shown of it.
    bool BatchStep(const TFinishMessage &message);
    std::string ChooseFile(TFileDialog *dialog, const QStringList &filters, const QString &name, const QString &suffix);
    void LoadCommand(TLoader loader, const std::string &name);
    TFileResult LoadFile(TLoader loader, const std::string &name, bool silent);
    void FillCommand(std::uint8_t value);
    void SaveSettingsReported();
    void ReportOnce(const std::string &text);
    void ShowError(const std::string &text);
    void ShowNote(const std::string &text);
    int ShowWarning(const std::string &text, QMessageBox::StandardButtons buttons);
    bool WriteDamagedFile(const std::string &warning);
    std::string BatchFile() const;

    std::string SettingsPath;
    QStringList Arguments;
    TPortSession Session;
    std::unique_ptr<TSessionLines> SessionLines;
    std::unique_ptr<TGuiProgUi> ProgUi;
    std::unique_ptr<TProgContext> Context;
    std::unique_ptr<TProgRunner> Runner;
    std::string LastPortProblem;
    TOpenResult LastOpenResult = TOpenResult::Ok;
    // The port and device kind the port was last opened for.
    std::string PortTarget;
    std::set<std::string> Reported;
    int BatchExit = 0;
    bool Batch = false; // started with a file to program: the write and its verify run unattended
    bool Closing = false;
};
