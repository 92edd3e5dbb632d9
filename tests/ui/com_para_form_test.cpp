#include "ui/com_para_form.h"

#include "link/adapter_presets.h"
#include "link/device_commands.h"
#include "link/isp_link.h"
#include "settings/big_ini_file.h"
#include "settings/settings.h"
#include "sim/virtual_adapter.h"
#include "sim/virtual_chip.h"
#include "ui/float_edit.h"
#include "ui/radio_group.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>
#include <vector>

namespace {

auto Fields(const TSettings &s)
{
    return std::make_tuple(s.LastFilename, s.LastFiletyp, s.Device, s.FastRedo, s.Secure, s.Port, s.Baudrate,
                           s.RESETInvert, s.SCLInvert, s.MOSIInvert, s.MISOInvert, s.Reset_Line, s.Mosi_Line,
                           s.Scl_Line, s.Miso_Line, s.PortName, s.PortTrace, s.ResetDelay1, s.ResetDelay2,
                           s.ClockDelay, s.WriteDelay);
}

// Near the left edge, where radio buttons and check boxes have their mark.
void Click(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, QPoint(5, widget->height() / 2));
}

void TypeInto(TFloatEdit *field, const QString &text)
{
    Click(field);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
}

// Runs the dialog modally while `user` acts on it; the user must close it.
int RunModal(TComParaForm &form, const std::function<void()> &user)
{
    QTimer::singleShot(0, &form, [&form, user] {
        form.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
        user();
        if (form.isVisible()) {
            ADD_FAILURE() << "the dialog stayed open";
            form.reject();
        }
    });
    return form.exec();
}

// The main window's part around the dialog: fill, run, take back on Ok.
int Edit(TComParaForm &form, TSettings &settings, const std::function<void()> &user)
{
    form.Fill(settings);
    const int result = RunModal(form, user);
    if (result == QDialog::Accepted)
        form.TakeBack(settings);
    return result;
}

TSettings LoadFrom(const std::string &text)
{
    const auto path = std::filesystem::path(testing::TempDir()) / "com_para_form_test.ini";
    std::ofstream(path, std::ios::binary) << text;
    TSettings settings;
    {
        TBigIniFile ini(path.string());
        LoadSettings(ini, settings);
    }
    std::filesystem::remove(path);
    return settings;
}

// Run with "." and with "," as the system's decimal separator.
class ComParaForm : public testing::TestWithParam<char> {
protected:
    void SetUp() override
    {
        QLocale::setDefault(GetParam() == '.' ? QLocale(QLocale::English, QLocale::UnitedStates)
                                              : QLocale(QLocale::German, QLocale::Germany));
        Form = std::make_unique<TComParaForm>();
    }

    void TearDown() override
    {
        Form.reset();
        QLocale::setDefault(QLocale::system());
    }

    static QString N(const char *text)
    {
        return QString::fromLatin1(text).replace(QLatin1Char('.'), QLatin1Char(GetParam()));
    }

    std::unique_ptr<TComParaForm> Form;
};

} // namespace

TEST_P(ComParaForm, ShowsFileValuesAsTheControlsAllowAndOkStoresWhatItShows)
{
    TSettings settings = LoadFrom("[General]\r\nDevice=5\r\nFastRedo=True\r\n"
                                  "[SerialPort]\r\nPort=0\r\nBaudrate=12\r\nRESETInvert=True\r\n"
                                  "Reset_Line=7\r\nMosi_Line=-1\r\nScl_Line=1\r\nMiso_Line=3\r\n"
                                  "[Delays]\r\nResetDelay1=0\r\nResetDelay2=1000.5\r\nClockDelay=0\r\nWriteDelay=2.5\r\n");
    Form->Fill(TSettings{}); // an earlier opening left a choice in every group
    ASSERT_EQ(Edit(*Form, settings,
                   [this] {
                       const QStringList shown{Form->FloatEdit5->text(), Form->FloatEdit1->text(), Form->FloatEdit2->text(),
                                               Form->FloatEdit3->text(), Form->FloatEdit4->text()};
                       EXPECT_EQ(shown, QStringList({"1", N("1.000"), N("999.000"), N("0.000"), N("2.500")}));
                       const QPoint centre = Form->screen()->availableGeometry().center();
                       EXPECT_LE((Form->frameGeometry().center() - centre).manhattanLength(), 2) << "centred";
                       Click(Form->Button1);
                   }),
              QDialog::Accepted);
    // Indices past the last choice come back as the last one; none chosen comes back as -1.
    EXPECT_EQ(std::make_tuple(settings.Device, settings.Port, settings.Baudrate, settings.Reset_Line,
                              settings.Mosi_Line, settings.Scl_Line, settings.Miso_Line),
              std::make_tuple(3, 1, 9, 2, -1, 1, 3));
    EXPECT_EQ(std::make_tuple(settings.ResetDelay1, settings.ResetDelay2, settings.ClockDelay, settings.WriteDelay),
              std::make_tuple(1.0, 999.0, 0.0, 2.5));
    EXPECT_TRUE(settings.FastRedo && settings.RESETInvert && !settings.SCLInvert);

    settings.Port = 300;
    ASSERT_EQ(Edit(*Form, settings, [this] { Click(Form->Button1); }), QDialog::Accepted);
    EXPECT_EQ(settings.Port, 255);
}

TEST_P(ComParaForm, WhatTheUserClicksAndTypesIsStoredAfterOkAsTheFieldsRoundIt)
{
    TSettings settings;
    ASSERT_EQ(Edit(*Form, settings,
                   [this] {
                       Click(Form->DeviceGroup->Item(1));
                       TypeInto(Form->FloatEdit5, QStringLiteral("7"));
                       TypeInto(Form->FloatEdit3, N("12.5"));
                       TypeInto(Form->FloatEdit4, N("0.25"));
                       Click(Form->MisoGroup->Item(3));
                       Click(Form->SclInv);
                       Click(Form->BaudGroup->Item(8));
                       Click(Form->RedoGroup->Item(1));
                       Click(Form->Button1);
                   }),
              QDialog::Accepted);
    EXPECT_EQ(std::make_tuple(settings.Device, settings.Port, settings.Miso_Line, settings.Baudrate),
              std::make_tuple(1, 7, 3, 8));
    EXPECT_EQ(std::make_tuple(settings.ClockDelay, settings.WriteDelay), std::make_tuple(12.5, 0.25));
    EXPECT_EQ(Form->FloatEdit3->text(), N("12.500"));
    EXPECT_TRUE(settings.SCLInvert && settings.FastRedo);
}

// The AT89S8252 and AT89S53 stay first, side by side in the top row; the newer chips sit below them.
TEST_P(ComParaForm, TheDeviceGroupOffersFourChipsAndKeepsTheFirstTwoWhereTheyWere)
{
    const QStringList captions{"AT89S8252", "AT89S53", "AT89S51", "AT89S52"};
    for (int device = 0; device < 4; ++device) {
        TSettings settings;
        settings.Device = (device + 1) % 4; // another chip shown at the opening
        ASSERT_EQ(Edit(*Form, settings,
                       [this, device] {
                           Click(Form->DeviceGroup->Item(device));
                           Click(Form->Button1);
                       }),
                  QDialog::Accepted);
        EXPECT_EQ(settings.Device, device);
        EXPECT_EQ(Form->DeviceGroup->Item(device)->text(), captions[device]);
    }
    ASSERT_EQ(Form->DeviceGroup->Count(), 4);
    const auto at = [this](int item) { return Form->DeviceGroup->Item(item)->geometry(); };
    EXPECT_EQ(at(0).top(), at(1).top());
    EXPECT_LT(at(0).right(), at(1).left());
    EXPECT_EQ(at(2).left(), at(0).left());
    EXPECT_EQ(at(3).left(), at(1).left());
    EXPECT_GT(at(2).top(), at(0).bottom());
    EXPECT_EQ(Form->DeviceGroup->geometry().topLeft(), QPoint(64, 8));
    EXPECT_LE(Form->DeviceGroup->geometry().bottom(), Form->GroupBox2->geometry().top());
}

// Enter and Alt+O press Ok without leaving the field; they must finish its entry as a click does.
TEST_P(ComParaForm, EveryWayOfPressingOkKeepsTheDialogOpenOnAnEntryTheFieldReverts)
{
    const std::map<std::string, std::function<void()>> presses{
        {"click", [this] {
             QTest::mousePress(Form->Button1, Qt::LeftButton);
             QTest::qWait(20); // a person's press outlasts the focus change it causes
             QTest::mouseRelease(Form->Button1, Qt::LeftButton);
         }},
        {"Enter", [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); }},
        {"Alt+O", [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::AltModifier); }}};
    for (const auto &[how, press] : presses) {
        TSettings settings;
        EXPECT_EQ(Edit(*Form, settings,
                       [&, press = press] {
                           TypeInto(Form->FloatEdit2, QStringLiteral("1500"));
                           press();
                           QTest::qWait(200); // Alt+O clicks once its button has shown itself pressed
                           EXPECT_TRUE(Form->isVisible() && Form->FloatEdit2->hasFocus());
                           EXPECT_EQ(Form->FloatEdit2->selectedText(), N("200.000")) << "reverted, not clamped";
                           QTest::keyClicks(Form->FloatEdit2, N("12.5"));
                           press();
                           QTest::qWait(200);
                       }),
                  QDialog::Accepted)
            << how;
        EXPECT_EQ(std::make_pair(settings.ResetDelay2, settings.Mosi_Line), std::make_pair(12.5, 1)) << how;
    }
}

// Each radio group is one Tab stop, its checked button, so Space there keeps the choice.
TEST_P(ComParaForm, TabLandsOnTheCheckedButtonOfEachGroup)
{
    TSettings settings;
    settings.Mosi_Line = -1;
    RunModal(*Form, [&] {
        Form->Fill(settings);
        Form->FloatEdit4->setFocus(Qt::TabFocusReason);
        const auto tab = [](Qt::Key key = Qt::Key_Tab) { QTest::keyClick(QApplication::focusWidget(), key); };
        tab();
        EXPECT_EQ(QApplication::focusWidget(), Form->ResetGroup->Item(2));
        tab(Qt::Key_Space);
        tab(Qt::Key_Left); // the arrow keys choose within the group
        tab();
        tab();
        EXPECT_EQ(QApplication::focusWidget(), Form->MosiGroup->Item(0)) << "none checked: the first";
        tab(Qt::Key_Backtab);
        tab(Qt::Key_Backtab);
        EXPECT_EQ(QApplication::focusWidget(), Form->ResetGroup->Item(1)) << "the new choice";
        Form->reject();
    });
}

// Measured, not looked at: every caption fits its control, and no control overlaps its neighbour.
TEST_P(ComParaForm, NoCaptionTouchesOrIsClippedByItsNeighbour)
{
    TSettings settings;
    settings.PortName = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    Form->Fill(settings);
    Form->SetPortDriver(QStringLiteral("ftdi_sio, USB 0403:6001, serial A50285BI"));
    Form->show();
    const QList<QWidget *> controls = Form->findChildren<QWidget *>();
    for (QWidget *control : controls) {
        if (!qobject_cast<QCheckBox *>(control) && !qobject_cast<QRadioButton *>(control) && !qobject_cast<QLabel *>(control))
            continue;
        const std::string name = control->property("text").toString().toStdString();
        EXPECT_LE(control->sizeHint().width(), control->width()) << name << " is clipped";
        for (QWidget *other : controls)
            EXPECT_TRUE(other == control || other->parentWidget() != control->parentWidget() ||
                        qobject_cast<QGroupBox *>(other) || !control->geometry().intersects(other->geometry()))
                << name << " touches a neighbour";
    }
}

TEST_P(ComParaForm, PresetButtonsApplyTheCoresTableToTheLinesAndDelaysOnly)
{
    const std::vector<QPushButton *> buttons{Form->Button3, Form->Button4, Form->Button5, Form->Button6, Form->Button7};
    QStringList captions;
    for (QPushButton *button : buttons)
        captions << button->text();
    EXPECT_EQ(captions, QStringList({"QR2MW", "QZ3NT", "Atmel", "KV31", "PonyProg"}));

    TSettings start;
    start.Device = 1;
    start.Port = 4;
    start.Baudrate = 7;
    start.FastRedo = true;
    start.Reset_Line = start.Mosi_Line = start.Scl_Line = start.Miso_Line = -1;
    start.ResetDelay1 = start.ResetDelay2 = start.ClockDelay = start.WriteDelay = 42;
    for (QPushButton *button : buttons) {
        TSettings settings = start;
        ASSERT_EQ(Edit(*Form, settings,
                       [&] {
                           Click(button);
                           Click(Form->Button1);
                       }),
                  QDialog::Accepted);
        TSettings expected = start;
        ApplyAdapterPreset(*FindAdapterPreset(button->text().toStdString()), expected);
        EXPECT_EQ(Fields(settings), Fields(expected)) << button->text().toStdString();
        if (button == Form->Button5) {
            EXPECT_TRUE(settings.RESETInvert && settings.MOSIInvert && settings.SCLInvert && settings.MISOInvert);
            EXPECT_EQ(std::make_tuple(settings.Reset_Line, settings.Mosi_Line, settings.Scl_Line, settings.Miso_Line,
                                      settings.ResetDelay1, settings.ResetDelay2, settings.ClockDelay,
                                      settings.WriteDelay),
                      std::make_tuple(2, 1, 0, 0, 500.0, 500.0, 0.0, 3.0));
        }
    }
}

TEST_P(ComParaForm, ComFieldNamesItsDeviceAndGivesWayToPortName)
{
    TSettings settings;
    settings.Port = 3;
    Form->Fill(settings);
    Form->SetPortProblem(QStringLiteral("Permission denied"));
    EXPECT_TRUE(Form->FloatEdit5->toolTip().endsWith(QStringLiteral("failed: Permission denied")));
    RunModal(*Form, [this] {
        TypeInto(Form->FloatEdit5, QStringLiteral("12"));
        EXPECT_EQ(Form->FloatEdit5->toolTip(), QStringLiteral("COM12 opens /dev/ttyS11"));
        Click(Form->Button2);
    });
    EXPECT_TRUE(Form->FloatEdit5->isEnabled() && !Form->PortNameLabel->isVisibleTo(Form.get()));
    EXPECT_EQ(Form->size(), QSize(345, 477));

    // With PortName the number opens nothing: the field gives way to a line naming the device.
    settings.PortName = "/dev/ttyUSB0";
    ASSERT_EQ(Edit(*Form, settings, [this] { Click(Form->Button1); }), QDialog::Accepted);
    EXPECT_TRUE(!Form->FloatEdit5->isEnabled() && Form->PortNameLabel->isVisibleTo(Form.get()));
    EXPECT_EQ(Form->PortNameLabel->text(), QStringLiteral("The settings file's PortName opens /dev/ttyUSB0"));
    Form->SetPortDriver(QStringLiteral("pl2303, USB 067b:2303"));
    EXPECT_EQ(Form->PortNameLabel->text(),
              QStringLiteral("The settings file's PortName opens /dev/ttyUSB0\nDriver: pl2303, USB 067b:2303"));
    EXPECT_GT(Form->height(), Form->PortNameLabel->geometry().bottom());
    EXPECT_GT(Form->height(), Form->PortNameLabel->geometry().bottom());
    EXPECT_EQ(settings.Port, 3) << "kept";
}

// The Clock Delay's tooltip tells the SCK the value being typed gives on this port, from the one the
// last operation measured, and the crystal the chip chosen needs for it; the Write Delay's which
// chips wait it.
TEST_P(ComParaForm, TheDelaysTooltipsSayWhatTheyDoOnThisPortAndChip)
{
    TSettings settings;
    settings.Device = 3;
    settings.ClockDelay = 0.1;
    Form->Fill(settings);
    EXPECT_TRUE(Form->FloatEdit3->toolTip().contains(QStringLiteral("measured at every operation on the chip")));
    Form->SetSckRate({0.106, 0.1}); // 0.006 ms of line requests per bit
    EXPECT_TRUE(Form->FloatEdit3->toolTip().contains(N("With 0.1 ms, SCK runs at about 9.43 kHz on this port")))
        << Form->FloatEdit3->toolTip().toStdString();
    EXPECT_TRUE(Form->FloatEdit3->toolTip().contains(N("the AT89S52 needs a crystal of 151 kHz or more, as SCK must "
                                                       "stay below 1/16 of it")));
    RunModal(*Form, [this] {
        TypeInto(Form->FloatEdit3, N("1"));
        Click(Form->DeviceGroup->Item(0));
        Click(Form->Button2);
    });
    EXPECT_TRUE(Form->GroupBox4->toolTip().contains(N("With 1 ms, SCK runs at about 994 Hz on this port (measured at the "
                                                      "last operation, with 0.1 ms): the AT89S8252 needs a crystal of "
                                                      "39.8 kHz or more, as SCK must stay below 1/40 of it")))
        << Form->GroupBox4->toolTip().toStdString();
    for (QWidget *widget : {static_cast<QWidget *>(Form->GroupBox5), static_cast<QWidget *>(Form->FloatEdit4)})
        EXPECT_EQ(widget->toolTip().toStdString(),
                  "The wait after each byte written to an AT89S8252 or AT89S53, whose datasheets give only a typical "
                  "write time. An AT89S51 or AT89S52 waits the write cycle of its datasheet (" +
                      N("0.5").toStdString() +
                      " ms) instead, reads back what it wrote, and writes a byte found wrong once more with this "
                      "delay.");
}

INSTANTIATE_TEST_SUITE_P(Separators, ComParaForm, testing::Values('.', ','),
                         [](const testing::TestParamInfo<char> &info) {
                             return std::string(info.param == '.' ? "Point" : "Comma");
                         });

TEST(ComParaFormWiring, TheNextOperationReachesTheChipThroughTheWiringChosen)
{
    TSettings ponyProg;
    ApplyAdapterPreset(*FindAdapterPreset("PonyProg"), ponyProg);
    TVirtualChip chip(TChipKind::AT89S8252);
    TVirtualAdapter adapter(chip, TAdapterWiring::From(ponyProg));
    TSettings settings;
    auto detect = [&] {
        TIspLink link(adapter, settings, [](double ms) {
            std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
        });
        TDeviceCommands device(link);
        link.StartProgramming();
        device.ProgrammingEnable();
        const bool found = device.DetectDevice();
        link.EndProgramming();
        return found;
    };
    ASSERT_FALSE(detect()) << "the default wiring must miss this adapter";

    TComParaForm form;
    ASSERT_EQ(Edit(form, settings,
                   [&form] {
                       Click(form.Button7);
                       Click(form.Button1);
                   }),
              QDialog::Accepted);
    EXPECT_TRUE(detect());
}

// Writes parameter.png into the folder KORVEL_SCREENSHOT_DIR names.
TEST(ComParaFormScreenshot, Parameter)
{
    const QString folder = qEnvironmentVariable("KORVEL_SCREENSHOT_DIR");
    if (folder.isEmpty())
        GTEST_SKIP() << "KORVEL_SCREENSHOT_DIR names no folder";
    TComParaForm form;
    form.Fill(TSettings{});
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(form.grab().save(QDir(folder).filePath(QStringLiteral("parameter.png"))));
}
