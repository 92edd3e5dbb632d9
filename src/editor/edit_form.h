// TEditForm: the Edit Buffer window. It edits a copy of the buffer's code-memory bytes in a hex editor
// and writes the changed bytes back only on Ok. Closing only hides it; the main window keeps it for
// the whole run and reloads it whenever the buffer changes behind it.
#pragma once
#include <QWidget>

#include <functional>

class QPushButton;
class QTimer;
class THexEditor;
struct TMemoryBuffer;
struct TProgStatus;
struct TSettings;

class TEditForm : public QWidget {
    Q_OBJECT
public:
    // memory: the main window's buffer. settings: read at every load and Ok (Device gives the byte
    // count). status: the programming thread's shared values; Ok stays off while Busy is set.
    TEditForm(TMemoryBuffer &memory, const TSettings &settings, const TProgStatus &status,
              QWidget *parent = nullptr);
    TEditForm(TMemoryBuffer &, const TSettings &&, const TProgStatus &, QWidget * = nullptr) = delete;

    THexEditor *HexEd;
    QWidget *Panel1;
    QPushButton *Button1; // "&Ok"
    QPushButton *Button2; // "&Exit"
    QPushButton *Button3; // "&Undo"
    QPushButton *Button4; // "&Grid"

    // Buffer > Edit: shows the window (which loads it), or only brings it to the front when it is
    // already visible, keeping the edits in it.
    void ShowWindow();
    // After the buffer changed behind the window: an open window reloads from the buffer, dropping
    // unconfirmed edits; a hidden one does nothing. Must run on the UI thread.
    void RefreshEditWindow();
    // Held: Ok waits, as during an operation, while the main window holds its chip commands for a
    // terminal file command.
    void SetOkHeld(bool held);

    void FormShow();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();

protected:
    void showEvent(QShowEvent *e) override;
    void hideEvent(QHideEvent *e) override;

private:
    void SetUpEditor();
    void SetUpPanel();
    void BusyTimerTimer();
    void Guarded(const std::function<void()> &action);

    TMemoryBuffer &Memory;
    const TSettings &Settings;
    const TProgStatus &Status;
    QTimer *BusyTimer;
    bool OkHeld = false;
};
