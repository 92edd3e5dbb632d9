// The terminal's file commands as a real UART sees them. An operation may leave TXD held in break
// (SCL rests there with the default wiring), and a UART in break sends no character; a
// pseudo-terminal ignores break, so the port's break requests and writes are recorded here, by
// replacing ioctl and write inside the test program.
#include "link/qc_com32.h"
#include "modal_answer.h"
#include "prog/prog_status.h"
#include "settings/settings.h"
#include "terminal/debug_form.h"
#include "terminal_test_support.h"

#include <QAction>
#include <QTest>
#include <cstdarg>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/ioctl.h>
#include <vector>

namespace {

// The port's calls in order: "break on", "break off", or "write " and the bytes.
struct TPortCalls {
    std::mutex Mutex;
    int Fd = -1;
    std::vector<std::string> Calls;

    void Note(int fd, std::string call)
    {
        std::lock_guard lock(Mutex);
        if (fd == Fd)
            Calls.push_back(std::move(call));
    }
    std::vector<std::string> Taken()
    {
        std::lock_guard lock(Mutex);
        return std::exchange(Calls, {});
    }
};

TPortCalls PortCalls;

template <typename TFunction> TFunction Real(const char *name)
{
    return reinterpret_cast<TFunction>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (request == TIOCSBRK || request == TIOCCBRK)
        PortCalls.Note(fd, request == TIOCSBRK ? "break on" : "break off");
    static const auto real = Real<int (*)(int, unsigned long, ...)>("ioctl");
    return real(fd, request, arg);
}

extern "C" ssize_t write(int fd, const void *bytes, size_t count)
{
    PortCalls.Note(fd, "write " + std::string(static_cast<const char *>(bytes), count));
    static const auto real = Real<ssize_t (*)(int, const void *, size_t)>("write");
    return real(fd, bytes, count);
}

namespace {

namespace fs = std::filesystem;

// The descriptor that the open port holds on the slave side.
int PortFd(const std::string &slave)
{
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) == slave)
            return std::stoi(entry.path().filename().string());
    }
    return -1;
}

class DebugFormLines : public TPtyPortTest {
protected:
    void SetUp() override
    {
        TPtyPortTest::SetUp();
        PortCalls.Fd = PortFd(Pty.SlavePath());
        ASSERT_GE(PortCalls.Fd, 0);
    }
    void TearDown() override
    {
        PortCalls.Fd = -1;
        TPtyPortTest::TearDown();
    }

    TSettings Settings;
    TProgStatus Status;
    TDebugForm Form{QCom, Settings, Status};
};

// With RESET on TXD a character sent would pulse the target's reset: the commands refuse and leave
// TXD alone; otherwise the break goes off before the first byte.
TEST_F(DebugFormLines, FileCommandsTakeTxdOutOfBreakBeforeTheyWriteAndRefuseWithResetOnTxd)
{
    std::ofstream(Dir / "one.bas", std::ios::binary) << "10 A\r\n";
    const struct {
        const char *Command;
        QAction *Action;
        fs::path File;
        int ResetLine;
        std::vector<std::string> Calls;
    } cases[] = {
        {"upload", Form.OpenBASICfile1, Dir / "one.bas", 2, {"break off", "write 10 A\r"}},
        {"capture", Form.SendLISTtointerpreterandsavebuffertoaBASICfile1, Dir / "list.bas", 1,
         {"break off", "write LIST\r\n"}},
        {"upload", Form.OpenBASICfile1, Dir / "one.bas", 0, {}},
        {"capture", Form.SendLISTtointerpreterandsavebuffertoaBASICfile1, Dir / "list.bas", 0, {}},
    };
    for (const auto &c : cases) {
        Settings.Reset_Line = c.ResetLine;
        QCom.SetBreak(true); // as the last operation left it
        ASSERT_EQ(PortCalls.Taken(), std::vector<std::string>{"break on"});
        Pty.Send("10 A\r\n>"); // the answer, there before it is asked for
        TModalSeen refusal;
        if (c.ResetLine == 0)
            AnswerNextModal(refusal);
        else
            AnswerFileDialog(QString::fromStdString(c.File.string()));
        c.Action->trigger();
        EXPECT_EQ(PortCalls.Taken(), c.Calls) << c.Command << " with Reset_Line " << c.ResetLine;
        EXPECT_EQ(refusal.Text.startsWith("RESET is wired to TXD"), c.ResetLine == 0) << c.Command;
    }
}

} // namespace
