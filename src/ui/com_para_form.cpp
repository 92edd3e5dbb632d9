#include "ui/com_para_form.h"

#include "buffer/chip_kind.h"
#include "link/adapter_presets.h"
#include "settings/settings.h"
#include "ui/delay_tip.h"
#include "ui/float_edit.h"
#include "ui/port_tip.h"
#include "ui/radio_group.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QWindow>
#include <cmath>

namespace {

// Where everything sits, in client-area pixels (left, top, width, height).
namespace Layout {
// The Device group has a second row, for the AT89S51 and AT89S52 below the AT89S8252 and AT89S53;
// everything below it moves down by that row, and the dialog grows by as much.
constexpr int DeviceRow = 15;
constexpr QRect Down(int left, int top, int width, int height)
{
    return {left, top + DeviceRow, width, height};
}

constexpr QSize ClientArea{345, 462 + DeviceRow};
constexpr QRect GroupBox6{8, 8, 49, 42};
constexpr QRect DeviceGroup{64, 8, 273, 42 + DeviceRow};
constexpr QRect GroupBox2 = Down(8, 52, 160, 42);
constexpr QRect GroupBox3 = Down(176, 51, 160, 42);
constexpr QRect GroupBox4 = Down(8, 95, 160, 42);
constexpr QRect GroupBox5 = Down(176, 95, 160, 42);
constexpr QRect ResetGroup = Down(8, 139, 201, 42);
// The boxes reach further right than the 65 pixels they were drawn with: "Invert Pin" needs more
// here, and nothing stands beside them.
constexpr QRect ResetInv = Down(240, 157, 90, 17);
constexpr QRect MosiGroup = Down(8, 183, 201, 42);
constexpr QRect MosiInv = Down(240, 201, 90, 17);
constexpr QRect SclGroup = Down(8, 227, 201, 42);
constexpr QRect SclInv = Down(240, 245, 90, 17);
constexpr QRect MisoGroup = Down(8, 271, 201, 42);
constexpr QRect MisoInv = Down(240, 289, 90, 17);
constexpr QRect BaudGroup = Down(8, 315, 329, 57);
constexpr QRect HardwareGroup = Down(8, 374, 329, 41);
constexpr int PresetLeft[] = {8, 72, 136, 200, 264}; // inside HardwareGroup
constexpr int PresetTop = 16;
constexpr QSize PresetSize{57, 19};
constexpr QRect RedoGroup = Down(8, 416, 217, 41);
constexpr QRect Button2 = Down(248, 431, 49, 25);
constexpr QRect Button1 = Down(304, 431, 33, 25);
// The dialog grows by this line while PortName names the port, and by one more for the port's
// driver when it is known.
constexpr QRect PortNameLabel = Down(8, 461, 329, 16);
constexpr QSize WithPortName{345, 482 + DeviceRow};
constexpr int DriverLine = 16;

// A numeric field fills its frame below the caption.
QRect FieldIn(const QRect &frame)
{
    return {8, 16, frame.width() - 16, 20};
}
} // namespace Layout

constexpr int DelayDigits = 3;
constexpr int DelayMax = 999;
constexpr int DelayLength = 7;

const QStringList OutputLines{QStringLiteral("TXD"), QStringLiteral("RTS"), QStringLiteral("DTR")};

// One choice per chip, in the order of their Device values.
QStringList DeviceNames()
{
    QStringList names;
    for (const TChipInfo &chip : ChipTable)
        names << QString::fromLatin1(chip.Name);
    return names;
}

template <typename TWidget>
TWidget *Placed(TWidget *widget, const QRect &rect)
{
    widget->setGeometry(rect);
    return widget;
}

// Out-of-range values are clamped and invalid entries revert without a word.
TFloatEdit *NumberField(QGroupBox *frame, int digits, int min, int max)
{
    auto *field = Placed(new TFloatEdit(frame), Layout::FieldIn(frame->geometry()));
    field->SetDigits(digits);
    field->SetMin(min);
    field->SetMax(max);
    field->SetErrorMessage(QStringLiteral("[No Text]"));
    return field;
}

TFloatEdit *DelayFieldIn(QGroupBox *frame, int min)
{
    TFloatEdit *field = NumberField(frame, DelayDigits, min, DelayMax);
    field->setMaxLength(DelayLength);
    return field;
}

QCheckBox *InvertBox(const QRect &rect, QWidget *parent)
{
    return Placed(new QCheckBox(QStringLiteral("Invert Pin"), parent), rect);
}

// The check boxes and radio columns were sized for a small gap between mark and text; with the
// usual gap "Invert Pin" and "RLSD" lose their last letter.
class TNarrowGapStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        if (metric == PM_CheckBoxLabelSpacing || metric == PM_RadioButtonLabelSpacing)
            return 3;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

char DecimalSeparator()
{
    return QLocale().decimalPoint().at(0).toLatin1();
}

int Rounded(long double value)
{
    return static_cast<int>(std::lround(value));
}

} // namespace

TComParaForm::TComParaForm(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Parameter"));
    setFont(QFont(QStringLiteral("Arial"), 8));
    setFixedSize(Layout::ClientArea);
    // Created in the order the keyboard visits them.
    CreateFields();
    CreateLineGroups();
    CreateButtons();
    NarrowLabelGaps();
    connect(FloatEdit5, &QLineEdit::textChanged, this, &TComParaForm::UpdatePortTip);
    UpdatePortTip();
    connect(FloatEdit3, &QLineEdit::textChanged, this, &TComParaForm::UpdateClockTip);
    for (int i = 0; i < DeviceGroup->Count(); ++i)
        connect(DeviceGroup->Item(i), &QRadioButton::toggled, this, &TComParaForm::UpdateClockTip);
    UpdateClockTip();
    const QString writeTip = QString::fromStdString(WriteDelayTip(DecimalSeparator()));
    GroupBox5->setToolTip(writeTip);
    FloatEdit4->setToolTip(writeTip);
}

void TComParaForm::CreateFields()
{
    GroupBox6 = Placed(new QGroupBox(QStringLiteral("Com"), this), Layout::GroupBox6);
    FloatEdit5 = NumberField(GroupBox6, 0, 1, 255);
    DeviceGroup = Placed(new TRadioGroup(QStringLiteral("Device"), DeviceNames(), 2, this), Layout::DeviceGroup);
    DeviceGroup->SetRowsFirst(true);
    GroupBox2 = Placed(new QGroupBox(QStringLiteral("Duration Reset / ms"), this), Layout::GroupBox2);
    FloatEdit1 = DelayFieldIn(GroupBox2, 1);
    GroupBox3 = Placed(new QGroupBox(QStringLiteral("Delay after Reset / ms"), this), Layout::GroupBox3);
    FloatEdit2 = DelayFieldIn(GroupBox3, 1);
    GroupBox4 = Placed(new QGroupBox(QStringLiteral("Clock Delay / ms"), this), Layout::GroupBox4);
    FloatEdit3 = DelayFieldIn(GroupBox4, 0);
    GroupBox5 = Placed(new QGroupBox(QStringLiteral("Delay after Byte Write / ms"), this), Layout::GroupBox5);
    FloatEdit4 = DelayFieldIn(GroupBox5, 0);
}

void TComParaForm::CreateLineGroups()
{
    ResetGroup = Placed(new TRadioGroup(QStringLiteral("RS232 Pin used for RESET function"), OutputLines, 3, this),
                        Layout::ResetGroup);
    ResetInv = InvertBox(Layout::ResetInv, this);
    MosiGroup = Placed(new TRadioGroup(QStringLiteral("RS232 Pin used for MOSI function"), OutputLines, 3, this),
                       Layout::MosiGroup);
    MosiInv = InvertBox(Layout::MosiInv, this);
    SclGroup = Placed(new TRadioGroup(QStringLiteral("RS232 Pin used for SCL function"), OutputLines, 3, this),
                      Layout::SclGroup);
    SclInv = InvertBox(Layout::SclInv, this);
    MisoGroup = Placed(new TRadioGroup(QStringLiteral("RS232 Pin used for MISO function"),
                                       {QStringLiteral("CTS"), QStringLiteral("DSR"), QStringLiteral("RLSD"),
                                        QStringLiteral("RI")},
                                       4, this),
                       Layout::MisoGroup);
    MisoInv = InvertBox(Layout::MisoInv, this);
    BaudGroup = Placed(new TRadioGroup(QStringLiteral("Terminal Baud Rate"),
                                       {QStringLiteral("300"), QStringLiteral("600"), QStringLiteral("1200"),
                                        QStringLiteral("2400"), QStringLiteral("4800"), QStringLiteral("9600"),
                                        QStringLiteral("19200"), QStringLiteral("38400"), QStringLiteral("57600"),
                                        QStringLiteral("115200")},
                                       5, this),
                       Layout::BaudGroup);
}

void TComParaForm::CreateButtons()
{
    HardwareGroup = Placed(new QGroupBox(QStringLiteral("Hardware Compatibility"), this), Layout::HardwareGroup);
    Button3 = CreatePresetButton(0);
    Button4 = CreatePresetButton(1);
    Button5 = CreatePresetButton(2);
    Button6 = CreatePresetButton(3);
    Button7 = CreatePresetButton(4);
    connect(Button3, &QPushButton::clicked, this, &TComParaForm::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &TComParaForm::Button4Click);
    connect(Button5, &QPushButton::clicked, this, &TComParaForm::Button5Click);
    connect(Button6, &QPushButton::clicked, this, &TComParaForm::Button6Click);
    connect(Button7, &QPushButton::clicked, this, &TComParaForm::Button7Click);
    RedoGroup = Placed(new TRadioGroup(QStringLiteral("Programming action taken by REDO button"),
                                       {QStringLiteral("Complete"), QStringLiteral("Fast")}, 2, this),
                       Layout::RedoGroup);
    Button2 = Placed(new QPushButton(QStringLiteral("&Cancel"), this), Layout::Button2);
    Button1 = Placed(new QPushButton(QStringLiteral("&Ok"), this), Layout::Button1);
    PortNameLabel = Placed(new QLabel(this), Layout::PortNameLabel);
    PortNameLabel->hide();
    // Without a default of its own, Qt would make the first button after the focused field the
    // default, and Enter in a field would apply a preset.
    Button1->setDefault(true);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
    connect(Button1, &QPushButton::clicked, this, &TComParaForm::OkClick);
}

// A widget's style does not pass to its children, so each box and radio button gets it.
void TComParaForm::NarrowLabelGaps()
{
    auto *style = new TNarrowGapStyle(QApplication::style()->name());
    style->setParent(this);
    for (QCheckBox *box : findChildren<QCheckBox *>())
        box->setStyle(style);
    for (QRadioButton *button : findChildren<QRadioButton *>())
        button->setStyle(style);
}

// The captions come from the same table that applies the wirings.
QPushButton *TComParaForm::CreatePresetButton(int index)
{
    const std::string_view name = AdapterPresets[static_cast<std::size_t>(index)].Name;
    auto *button = new QPushButton(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())), HardwareGroup);
    return Placed(button, QRect(QPoint(Layout::PresetLeft[index], Layout::PresetTop), Layout::PresetSize));
}

void TComParaForm::Button3Click() { ApplyPreset(AdapterPresets[0]); }
void TComParaForm::Button4Click() { ApplyPreset(AdapterPresets[1]); }
void TComParaForm::Button5Click() { ApplyPreset(AdapterPresets[2]); }
void TComParaForm::Button6Click() { ApplyPreset(AdapterPresets[3]); }
void TComParaForm::Button7Click() { ApplyPreset(AdapterPresets[4]); }

// Only the lines, their boxes and the delays change; the settings themselves wait for Ok.
void TComParaForm::ApplyPreset(const TAdapterPreset &preset)
{
    TSettings wiring;
    ApplyAdapterPreset(preset, wiring);
    FillLines(wiring);
    FillDelays(wiring);
}

void TComParaForm::Fill(const TSettings &settings)
{
    DeviceGroup->SetItemIndex(settings.Device);
    PortName = settings.PortName;
    TriedPort = settings.Port;
    FloatEdit5->SetValue(settings.Port);
    FillLines(settings);
    FillDelays(settings);
    BaudGroup->SetItemIndex(settings.Baudrate);
    RedoGroup->SetItemIndex(settings.FastRedo ? 1 : 0);
    UpdatePortTip();
    ShowPortName();
}

// With PortName the number opens nothing, so the field that edits it cannot be used; the device
// that is used instead is named where a user looks, not only in the tooltip.
void TComParaForm::ShowPortName()
{
    const QString device = QString::fromStdString(PortNameDevice(PortName));
    GroupBox6->setEnabled(device.isEmpty());
    // A name under /dev/serial/by-id is long: its middle gives way, the tooltip keeps it whole.
    const QString opens = QStringLiteral("The settings file's PortName opens ");
    const QString driver = PortDriver.isEmpty() ? QString() : "Driver: " + PortDriver;
    const int extra = driver.isEmpty() ? 0 : Layout::DriverLine;
    PortNameLabel->resize(Layout::PortNameLabel.width(), Layout::PortNameLabel.height() + extra);
    const QFontMetrics metrics = PortNameLabel->fontMetrics();
    const int width = PortNameLabel->width();
    const QString second = driver.isEmpty() ? QString() : "\n" + metrics.elidedText(driver, Qt::ElideRight, width);
    PortNameLabel->setText(opens + metrics.elidedText(device, Qt::ElideMiddle, width - metrics.horizontalAdvance(opens)) +
                           second);
    PortNameLabel->setToolTip(opens + device + (driver.isEmpty() ? QString() : "\n" + driver));
    PortNameLabel->setVisible(!device.isEmpty());
    setFixedSize(device.isEmpty() ? Layout::ClientArea : Layout::WithPortName + QSize(0, extra));
}

void TComParaForm::FillLines(const TSettings &settings)
{
    ResetGroup->SetItemIndex(settings.Reset_Line);
    ResetInv->setChecked(settings.RESETInvert);
    MosiGroup->SetItemIndex(settings.Mosi_Line);
    MosiInv->setChecked(settings.MOSIInvert);
    SclGroup->SetItemIndex(settings.Scl_Line);
    SclInv->setChecked(settings.SCLInvert);
    MisoGroup->SetItemIndex(settings.Miso_Line);
    MisoInv->setChecked(settings.MISOInvert);
}

void TComParaForm::FillDelays(const TSettings &settings)
{
    FloatEdit1->SetValue(settings.ResetDelay1);
    FloatEdit2->SetValue(settings.ResetDelay2);
    FloatEdit3->SetValue(settings.ClockDelay);
    FloatEdit4->SetValue(settings.WriteDelay);
}

void TComParaForm::TakeBack(TSettings &settings) const
{
    settings.Device = DeviceGroup->ItemIndex();
    settings.Port = Rounded(FloatEdit5->Value());
    settings.RESETInvert = ResetInv->isChecked();
    settings.SCLInvert = SclInv->isChecked();
    settings.MOSIInvert = MosiInv->isChecked();
    settings.MISOInvert = MisoInv->isChecked();
    settings.ResetDelay1 = static_cast<double>(FloatEdit1->Value());
    settings.ResetDelay2 = static_cast<double>(FloatEdit2->Value());
    settings.ClockDelay = static_cast<double>(FloatEdit3->Value());
    settings.WriteDelay = static_cast<double>(FloatEdit4->Value());
    settings.Reset_Line = ResetGroup->ItemIndex();
    settings.Mosi_Line = MosiGroup->ItemIndex();
    settings.Scl_Line = SclGroup->ItemIndex();
    settings.Miso_Line = MisoGroup->ItemIndex();
    settings.Baudrate = BaudGroup->ItemIndex();
    settings.FastRedo = RedoGroup->ItemIndex() == 1;
}

void TComParaForm::SetPortProblem(const QString &reason)
{
    PortProblem = reason;
    UpdatePortTip();
}

void TComParaForm::SetSckRate(const TSckRate &rate)
{
    Sck = rate;
    UpdateClockTip();
}

void TComParaForm::SetPortDriver(const QString &driver)
{
    PortDriver = driver;
    UpdatePortTip();
    ShowPortName();
}

// Enter and Alt+O press Ok without leaving the field; leave it first, so that every way of pressing
// Ok ends as a click does: the entry is finished, and an entry the field has to revert keeps the
// dialog open with the old value selected.
void TComParaForm::OkClick()
{
    auto *field = qobject_cast<TFloatEdit *>(focusWidget());
    const bool valid = !field || field->HoldsValidEntry();
    if (field)
        Button1->setFocus(Qt::OtherFocusReason);
    if (valid)
        accept();
}

void TComParaForm::UpdatePortTip()
{
    const QString tip = QString::fromStdString(
        PortTip(Rounded(FloatEdit5->Value()), PortName, TriedPort, PortProblem.toStdString(), PortDriver.toStdString()));
    GroupBox6->setToolTip(tip);
    FloatEdit5->setToolTip(tip);
}

void TComParaForm::UpdateClockTip()
{
    const QString tip = QString::fromStdString(
        ClockDelayTip(Sck, static_cast<double>(FloatEdit3->Value()), DeviceGroup->ItemIndex(), DecimalSeparator()));
    GroupBox4->setToolTip(tip);
    FloatEdit3->setToolTip(tip);
}

// Centred on the screen at every opening, wherever the main window stands.
void TComParaForm::showEvent(QShowEvent *event)
{
    if (!event->spontaneous()) {
        const QWidget *anchor = parentWidget() ? parentWidget() : this;
        // The frame is known from the second showing on; the first centres the client area.
        const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
        const QSize outer = size().grownBy(frame);
        move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, outer, anchor->screen()->availableGeometry())
                 .topLeft());
    }
    QDialog::showEvent(event);
}
