// The main window on the virtual chip, in a scratch folder with its own settings file, driven by real
// mouse and key events.
#pragma once
#include "modal_answer.h"
#include "app/port_kinds.h"
#include "sim/virtual_target.h"
#include "ui/main_form.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

class MainFormTest : public testing::Test {
protected:
    // Short reset delays keep each operation quick; writes keep the chip's real timing.
    std::string QuickSettings() const
    {
        return "[SerialPort]\r\nPortName=" + PortName + "\r\n[Delays]\r\nResetDelay1=1\r\nResetDelay2=1\r\n";
    }

    void SetUp() override
    {
        Dir = fs::temp_directory_path() /
              ("korvel-ui-" + std::to_string(::getpid()) + "-" + testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Dir);
        fs::create_directories(Dir);
    }
    void TearDown() override
    {
        Form.reset();
        fs::remove_all(Dir);
    }

    // Writes the settings file, creates the window and shows it; returns once the start-up
    // sequence's operation has ended.
    TMainForm &Start(const std::string &extraSettings = {}, const QStringList &arguments = {})
    {
        std::ofstream(Dir / "korvel.ini", std::ios::binary) << QuickSettings() << extraSettings;
        Form = std::make_unique<TMainForm>((Dir / "korvel.ini").string(), arguments, PortKinds);
        Form->show();
        QTest::qWait(20);
        WaitForOperation();
        return *Form;
    }

    void WaitForOperation()
    {
        for (int i = 0; i < 3000 && (Form->OperationRunning() || Form->Status.Busy); ++i)
            QTest::qWait(5);
        QTest::qWait(20); // the completion handler is posted
    }

    TVirtualChip &Chip() { return Form->PortSession().Virtual()->Chip(); }

    // Opens the menus along the path with mouse clicks and clicks the command.
    void ClickMenu(QMenu *menu, QAction *command)
    {
        QMenuBar *bar = Form->menuBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menu->menuAction()).center());
        ASSERT_TRUE(WaitUntil([menu] { return menu->isVisible(); }));
        QMenu *inner = menu;
        if (!menu->actions().contains(command)) {
            inner = Form->LoadfromDisk1;
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(inner->menuAction()).center());
            ASSERT_TRUE(WaitUntil([inner] { return inner->isVisible(); }));
        }
        QTest::mouseClick(inner, Qt::LeftButton, {}, inner->actionGeometry(command).center());
    }

    void ClickBar(QAction *command)
    {
        QMenuBar *bar = Form->menuBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(command).center());
    }

    static std::string ReadFile(const fs::path &path)
    {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    void WriteFile(const std::string &name, const std::string &bytes)
    {
        std::ofstream(Dir / name, std::ios::binary) << bytes;
    }

    // Answers every modal dialog while it lives, the way a user who always agrees would (Ok, or the
    // dialog's accept), and keeps the caption and text of each in the order they came.
    class TModalLog {
    public:
        TModalLog()
        {
            Timer.setInterval(5);
            QObject::connect(&Timer, &QTimer::timeout, [this] { AnswerOne(); });
            Timer.start();
        }
        QStringList Seen;

    private:
        void AnswerOne()
        {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible())
                return;
            auto *box = qobject_cast<QMessageBox *>(dialog);
            Seen << dialog->windowTitle() + ": " + (box ? box->text() : QString());
            if (box && box->button(QMessageBox::Ok))
                box->button(QMessageBox::Ok)->click();
            else
                dialog->accept();
        }
        QTimer Timer;
    };

    fs::path Dir;
    std::string PortName = "sim"; // what Start's settings file names
    const TPortKinds PortKinds = StandardPortKinds();
    std::unique_ptr<TMainForm> Form;
};
