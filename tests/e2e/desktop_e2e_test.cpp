// korvel on a real X server with a window manager, as a user meets it: keys typed with xdotool, the
// windows read back through Xlib. A pseudo-terminal and the offscreen platform forgive what these
// tests are about: popups left on screen, keyboard focus, which window stands in front.
// Skipped where Xvfb, openbox or xdotool is missing (scripts/setup installs them).
#include "process.h"
#include "shell_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

// Last: Xlib's macros (None, Status, Bool) clash with the names of the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string MainTitle = "Korvel Vers 20030210";

struct TWindow {
    Window Id = 0;
    std::string Name;
    long Pid = 0;
    bool Popup = false; // override-redirect: menus and completion lists
};

// What the X server shows, read through Xlib.
class TScreen {
public:
    explicit TScreen(const std::string &name) : Dpy(XOpenDisplay(name.c_str())) {}
    ~TScreen()
    {
        if (Dpy)
            XCloseDisplay(Dpy);
    }
    TScreen(const TScreen &) = delete;
    TScreen &operator=(const TScreen &) = delete;

    bool Open() const { return Dpy != nullptr; }

    bool HasWindowManager() { return !Cardinals(DefaultRootWindow(Dpy), "_NET_SUPPORTING_WM_CHECK").empty(); }

    // Every window that is mapped and viewable, the frames' clients included.
    std::vector<TWindow> Shown()
    {
        std::vector<TWindow> shown;
        Collect(DefaultRootWindow(Dpy), shown);
        return shown;
    }

    bool Showing(const std::string &name)
    {
        const auto shown = Shown();
        return std::any_of(shown.begin(), shown.end(), [&](const TWindow &w) { return w.Name == name; });
    }

    int PopupsOf(long pid)
    {
        const auto shown = Shown();
        return static_cast<int>(
            std::count_if(shown.begin(), shown.end(), [&](const TWindow &w) { return w.Popup && w.Pid == pid; }));
    }

    // The name of the window that has the keyboard.
    std::string Focused()
    {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(Dpy, &focus, &revert);
        return focus > PointerRoot ? Name(focus) : std::string();
    }

    // Where a window stands among the managed ones, from the bottom; -1 when it is not managed.
    int StackingPlace(const std::string &name)
    {
        const std::vector<long> stack = Cardinals(DefaultRootWindow(Dpy), "_NET_CLIENT_LIST_STACKING");
        for (std::size_t i = 0; i < stack.size(); ++i)
            if (Name(static_cast<Window>(stack[i])) == name)
                return static_cast<int>(i);
        return -1;
    }

private:
    void Collect(Window window, std::vector<TWindow> &shown)
    {
        XWindowAttributes attributes;
        if (window != DefaultRootWindow(Dpy) &&
            (!XGetWindowAttributes(Dpy, window, &attributes) || attributes.map_state != IsViewable))
            return;
        if (window != DefaultRootWindow(Dpy)) {
            const std::vector<long> pid = Cardinals(window, "_NET_WM_PID");
            shown.push_back({window, Name(window), pid.empty() ? 0 : pid.front(), attributes.override_redirect != 0});
        }
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(Dpy, window, &root, &parent, &children, &count))
            return;
        const std::vector<Window> list(children, children + count);
        if (children)
            XFree(children);
        for (Window child : list)
            Collect(child, shown);
    }

    std::vector<long> Cardinals(Window window, const char *property)
    {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char *data = nullptr;
        std::vector<long> values;
        if (XGetWindowProperty(Dpy, window, XInternAtom(Dpy, property, False), 0, 4096, False, AnyPropertyType,
                               &type, &format, &count, &after, &data) == Success &&
            data && format == 32)
            values.assign(reinterpret_cast<long *>(data), reinterpret_cast<long *>(data) + count);
        if (data)
            XFree(data);
        return values;
    }

    std::string Name(Window window)
    {
        XTextProperty text;
        std::string name;
        if (XGetWMName(Dpy, window, &text) && text.value) {
            name.assign(reinterpret_cast<char *>(text.value), text.nitems);
            XFree(text.value);
        }
        return name;
    }

    Display *Dpy;
};

class DesktopTest : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char *tool : {"Xvfb", "openbox", "xdotool"})
            if (Shell(std::string("command -v ") + tool, fs::temp_directory_path()).Code != 0)
                GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
        Dir = fs::temp_directory_path() /
              ("korvel-desktop-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Dir);
        fs::create_directories(Dir / "run");
        fs::permissions(Dir / "run", fs::perms::owner_all);
        fs::copy_file(KORVEL_BINARY_DIR "/src/app/korvel", Dir / "korvel");
        std::ofstream(Dir / "korvel.ini", std::ios::binary)
            << "[SerialPort]\r\nPortName=sim\r\n[Delays]\r\nResetDelay1=1\r\nResetDelay2=1\r\n";
        StartServer();
    }

    void TearDown() override
    {
        Korvel.reset();
        Screen.reset();
        WindowManager.reset();
        Server.reset();
        fs::remove_all(Dir);
    }

    void StartServer()
    {
        Server = std::make_unique<TProcess>(
            std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            std::vector<std::string>{}, Dir / "xvfb.log", Dir / "display.txt");
        ASSERT_TRUE(WaitFor([this] { return ReadText(Dir / "display.txt").find('\n') != std::string::npos; }, 10s))
            << ReadText(Dir / "xvfb.log");
        DisplayName = ":" + ReadText(Dir / "display.txt").substr(0, ReadText(Dir / "display.txt").find('\n'));
        Screen = std::make_unique<TScreen>(DisplayName);
        ASSERT_TRUE(Screen->Open());
        WindowManager = std::make_unique<TProcess>(std::vector<std::string>{"openbox"},
                                                   std::vector<std::string>{"DISPLAY=" + DisplayName},
                                                   Dir / "openbox.log");
        ASSERT_TRUE(WaitFor([this] { return Screen->HasWindowManager(); }, 10s)) << ReadText(Dir / "openbox.log");
    }

    // The desktop's own dialogs would come from a platform theme; these tests are about Qt's.
    std::unique_ptr<TProcess> StartKorvel(const fs::path &program, const std::string &log)
    {
        return std::make_unique<TProcess>(
            std::vector<std::string>{program.string()},
            std::vector<std::string>{"DISPLAY=" + DisplayName, "QT_QPA_PLATFORM=xcb", "QT_QPA_PLATFORMTHEME=generic",
                                     "XDG_CURRENT_DESKTOP=", "XDG_RUNTIME_DIR=" + (Dir / "run").string()},
            Dir / log);
    }

    // Returns once the start-up sequence has written the settings back and the bar has the keyboard.
    void StartMainWindow()
    {
        Korvel = StartKorvel(Dir / "korvel", "korvel.log");
        ASSERT_TRUE(WaitFor([this] { return fs::file_size(Dir / "korvel.ini") > 300; })) << ReadText(Dir / "korvel.log");
        ASSERT_TRUE(WaitFor([this] { return Screen->Focused() == MainTitle; })) << ReadText(Dir / "korvel.log");
    }

    void Keys(const std::string &keys)
    {
        const TRun run = Shell("DISPLAY=" + DisplayName + " xdotool " + keys, Dir);
        ASSERT_EQ(run.Code, 0) << run.Err;
    }

    // Opens a menu of the focused window with its Alt key and picks the commands by their letters. A
    // window that has just been given the focus may not take keys yet: the Alt key is tried again.
    void Command(const std::string &menuKey, const std::vector<std::string> &letters)
    {
        Keys("key " + menuKey);
        if (!WaitFor([&] { return Screen->PopupsOf(Korvel->Id()) == 1; }, 3s))
            Keys("key " + menuKey);
        for (std::size_t i = 0; i < letters.size(); ++i) {
            ASSERT_TRUE(WaitFor([&] { return Screen->PopupsOf(Korvel->Id()) == static_cast<int>(i) + 1; }))
                << "menu " << i + 1 << " of " << menuKey;
            Keys("key " + letters[i]);
        }
    }

    // Types `path` into the dialog called `title` and presses Return once the completion list for it
    // shows (when the path exists), as a user who types fast does.
    void TypePath(const std::string &title, const fs::path &path)
    {
        ASSERT_TRUE(WaitFor([&] { return Screen->Focused() == title; })) << title;
        Keys("type --delay 20 '" + path.string() + "'");
        if (fs::exists(path)) {
            ASSERT_TRUE(WaitFor([&] { return Screen->PopupsOf(Korvel->Id()) == 1; })) << "no completion list";
        }
        Keys("key Return");
        ASSERT_TRUE(WaitFor([&] { return !Screen->Showing(title); })) << title << " stayed open";
    }

    // Nothing of the dialog is left, and the window it came from takes keys again: its menu opens.
    void ExpectKeyboardBackIn(const std::string &window, const std::string &menuKey)
    {
        std::this_thread::sleep_for(300ms); // a popup left behind would show by now
        EXPECT_EQ(Screen->PopupsOf(Korvel->Id()), 0) << "a popup stayed on screen";
        EXPECT_TRUE(WaitFor([&] { return Screen->Focused() == window; })) << Screen->Focused();
        Keys("key " + menuKey);
        EXPECT_TRUE(WaitFor([&] { return Screen->PopupsOf(Korvel->Id()) == 1; }, 5s)) << menuKey << " opened nothing";
        Keys("key Escape");
        EXPECT_TRUE(WaitFor([&] { return Screen->PopupsOf(Korvel->Id()) == 0; }));
    }

    std::string LastFilename() const
    {
        const std::string ini = ReadText(Dir / "korvel.ini");
        const auto at = ini.find("LastFilename=");
        return at == std::string::npos ? std::string() : ini.substr(at + 13, ini.find('\r', at) - at - 13);
    }

    fs::path Dir;
    std::string DisplayName;
    std::unique_ptr<TProcess> Server;
    std::unique_ptr<TProcess> WindowManager;
    std::unique_ptr<TScreen> Screen;
    std::unique_ptr<TProcess> Korvel;
};

} // namespace

TEST_F(DesktopTest, FileDialogsTakeATypedPathWithReturnAndGiveTheKeyboardBack)
{
    fs::create_directory(Dir / "other");
    fs::copy_file(KORVEL_SOURCE_DIR "/examples/echo/echo.ihx", Dir / "here.hex");
    fs::copy_file(KORVEL_SOURCE_DIR "/examples/echo/echo.ihx", Dir / "other" / "there.hex");
    fs::copy_file(KORVEL_SOURCE_DIR "/examples/basic/squares.bas", Dir / "squares.bas");
    std::ofstream(Dir / "saved.bin").close();
    StartMainWindow();

    // The dialog shows the program's folder first, then the folder of the file loaded last.
    for (const fs::path &file : {Dir / "here.hex", Dir / "other" / "there.hex", Dir / "here.hex"}) {
        Command("alt+b", {"l", "i"});
        TypePath("Open", file);
        EXPECT_TRUE(WaitFor([&] { return LastFilename() == file.string(); })) << LastFilename();
        ExpectKeyboardBackIn(MainTitle, "alt+b");
    }
    Command("alt+b", {"w"});
    TypePath("Save As", Dir / "saved.bin");
    EXPECT_TRUE(WaitFor([&] { return fs::file_size(Dir / "saved.bin") == 8192; }));
    ExpectKeyboardBackIn(MainTitle, "alt+b");

    Keys("key alt+t");
    ASSERT_TRUE(WaitFor([&] { return Screen->Focused() == "Terminal"; }));
    Command("alt+f", {"o"});
    TypePath("Open", Dir / "squares.bas");
    std::this_thread::sleep_for(2500ms); // the virtual chip never prompts: the upload gives up
    ExpectKeyboardBackIn("Terminal", "alt+f");
    Command("alt+f", {"s"});
    TypePath("Save As", Dir / "other" / "listing.bas");
    EXPECT_TRUE(WaitFor([&] { return fs::exists(Dir / "other" / "listing.bas"); }));
    ExpectKeyboardBackIn("Terminal", "alt+f");
}

TEST_F(DesktopTest, ASecondStartShowsItsRefusalInFrontOfTheRunningBar)
{
    StartMainWindow();
    fs::create_directory(Dir / "copy");
    fs::copy_file(Dir / "korvel", Dir / "copy" / "korvel");
    auto second = StartKorvel(Dir / "copy" / "korvel", "second.log");
    ASSERT_TRUE(WaitFor([&] { return Screen->Showing("Korvel"); })) << ReadText(Dir / "second.log");
    EXPECT_GT(Screen->StackingPlace("Korvel"), Screen->StackingPlace(MainTitle));
    ASSERT_TRUE(WaitFor([&] { return Screen->Focused() == "Korvel"; })) << Screen->Focused();
    Keys("key Return");
    EXPECT_EQ(second->Wait(10s), 5);
    EXPECT_FALSE(Korvel->Wait(0ms)) << "the first instance runs on";
}
