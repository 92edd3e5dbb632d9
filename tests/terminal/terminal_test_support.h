// What the terminal window's tests share: a pseudo-terminal pair, whose master side the test
// holds while the program under test (the port, or a simulator) opens the slave by its path, and
// the console's text as rows.
#pragma once
#include "link/qc_com32.h"
#include "terminal/console.h"

#include <QCoreApplication>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>

class TPtyPair {
public:
    TPtyPair()
    {
        MasterFd = ::posix_openpt(O_RDWR | O_NOCTTY);
        char name[128];
        if (MasterFd < 0 || ::grantpt(MasterFd) != 0 || ::unlockpt(MasterFd) != 0 ||
            ::ptsname_r(MasterFd, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal");
        Path = name;
        ::fcntl(MasterFd, F_SETFL, ::fcntl(MasterFd, F_GETFL) | O_NONBLOCK);
    }
    ~TPtyPair()
    {
        if (SlaveFd >= 0)
            ::close(SlaveFd);
        ::close(MasterFd);
    }
    TPtyPair(const TPtyPair &) = delete;
    TPtyPair &operator=(const TPtyPair &) = delete;

    int Master() const { return MasterFd; }
    const std::string &SlavePath() const { return Path; }

    // For a program that takes the slave as it finds it: no echo, no line editing, no CR/LF
    // translation. The slave stays open here so the settings last until the pair goes.
    void MakeSlaveRaw()
    {
        SlaveFd = ::open(Path.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        if (SlaveFd < 0 || ::tcgetattr(SlaveFd, &tio) != 0)
            throw std::runtime_error("cannot open " + Path);
        ::cfmakeraw(&tio);
        ::tcsetattr(SlaveFd, TCSANOW, &tio);
    }

    void Send(const std::string &bytes) const
    {
        if (::write(MasterFd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("pseudo-terminal write failed");
    }

private:
    int MasterFd = -1;
    int SlaveFd = -1;
    std::string Path;
};

// The console's rows up to the cursor, trailing blanks cut, one per line.
inline std::string ConsoleText(const TConsole &console)
{
    std::string text;
    for (int row = 0; row <= console.Cells().CursorRow(); ++row) {
        std::string cells(console.Cells().Row(row));
        text += cells.substr(0, cells.find_last_not_of(' ') + 1) + "\n";
    }
    return text;
}

// A scratch folder, and the port open on a pseudo-terminal's slave with the UI's event pump, as the
// terminal window finds it in the program.
class TPtyPortTest : public testing::Test {
protected:
    void SetUp() override
    {
        Dir = std::filesystem::temp_directory_path() /
              ("korvel-terminal-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(Dir);
        QCom.SetShowErrors(false);
        QCom.SetPortName(Pty.SlavePath());
        ASSERT_TRUE(QCom.Open());
        QCom.SetHooks({nullptr, [] { QCoreApplication::processEvents(); }});
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    std::filesystem::path Dir;
    TPtyPair Pty;
    T_QCCom32 QCom;
};
