// The "Parameter" dialog: port, device, the wiring of the four programming signals with their
// inversions, the four programming delays, the terminal baud rate and the Redo action, plus one-click
// wirings of known adapters. It keeps nothing between uses: every opening is filled from the settings,
// and only Ok hands the values back.
#pragma once
#include "link/sck_rate.h"

#include <QDialog>
#include <string>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class TFloatEdit;
class TRadioGroup;
struct TAdapterPreset;
struct TSettings;

class TComParaForm : public QDialog {
    Q_OBJECT

public:
    explicit TComParaForm(QWidget *parent = nullptr);

    // Shows the settings; also remembers the port they name, for the "Com" field's tooltip.
    void Fill(const TSettings &settings);
    // Every setting the dialog edits, as shown; the rest of the record is left alone.
    void TakeBack(TSettings &settings) const;
    // Why the port the settings name could not be opened at the last attempt; empty when it opened.
    void SetPortProblem(const QString &reason);
    // The driver serving that port as the last attempt found it ("pl2303, USB 067b:2303"), told
    // beside the device; empty when none is known (the virtual chip, an FTDI cable driven directly).
    void SetPortDriver(const QString &driver);
    // The SCK the last operation measured on the port, for the Clock Delay's tooltip.
    void SetSckRate(const TSckRate &rate);

    QGroupBox *GroupBox6;
    TFloatEdit *FloatEdit5;
    TRadioGroup *DeviceGroup;
    QGroupBox *GroupBox2;
    TFloatEdit *FloatEdit1;
    QGroupBox *GroupBox3;
    TFloatEdit *FloatEdit2;
    QGroupBox *GroupBox4;
    TFloatEdit *FloatEdit3;
    QGroupBox *GroupBox5;
    TFloatEdit *FloatEdit4;
    TRadioGroup *ResetGroup;
    QCheckBox *ResetInv;
    TRadioGroup *MosiGroup;
    QCheckBox *MosiInv;
    TRadioGroup *SclGroup;
    QCheckBox *SclInv;
    TRadioGroup *MisoGroup;
    QCheckBox *MisoInv;
    TRadioGroup *BaudGroup;
    QGroupBox *HardwareGroup;
    QPushButton *Button3;
    QPushButton *Button4;
    QPushButton *Button5;
    QPushButton *Button6;
    QPushButton *Button7;
    TRadioGroup *RedoGroup;
    QPushButton *Button2;
    QPushButton *Button1;
    // Below the buttons, shown only while PortName names the port and the "Com" field is disabled.
    QLabel *PortNameLabel;

public slots:
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();
    void Button7Click();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void CreateFields();
    void CreateLineGroups();
    void CreateButtons();
    QPushButton *CreatePresetButton(int index);
    void NarrowLabelGaps();
    void ApplyPreset(const TAdapterPreset &preset);
    void FillLines(const TSettings &settings);
    void FillDelays(const TSettings &settings);
    void OkClick();
    void UpdatePortTip();
    void UpdateClockTip();
    void ShowPortName();

    std::string PortName;
    int TriedPort = 1;
    QString PortProblem;
    QString PortDriver;
    TSckRate Sck;
};
