// The installed Korvel: `cmake --install` into a prefix of the test's own, the installed programs run
// from there as a user would run them, and the Debian package built from the same install rules.
#include "link/adapter_presets.h"
#include "sim/sim_image.h"
#include "ui/help_form.h"

#include "shell_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr const char *Nobody = "65534";

std::string Quote(const fs::path &path) { return "'" + path.string() + "'"; }

bool HaveTool(const std::string &name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

// Every file an installation holds, relative to its prefix; the manual's pictures are those of docs/images.
std::set<std::string> ExpectedFiles()
{
    std::set<std::string> files = {"bin/korvel",
                                   "bin/korvel-cli",
                                   "lib/udev/rules.d/60-korvel-ftdi.rules",
                                   "share/applications/korvel.desktop",
                                   "share/bash-completion/completions/korvel-cli",
                                   "share/doc-base/korvel",
                                   "share/doc/korvel/Korvel.html",
                                   "share/doc/korvel/changelog.gz",
                                   "share/doc/korvel/copyright",
                                   "share/icons/hicolor/scalable/apps/korvel.svg",
                                   "share/man/man1/korvel-cli.1.gz",
                                   "share/man/man1/korvel.1.gz"};
    for (const auto &picture : fs::directory_iterator(fs::path(KORVEL_SOURCE_DIR) / "docs" / "images"))
        if (picture.path().filename().string()[0] != '.')
            files.insert("share/doc/korvel/images/" + picture.path().filename().string());
    return files;
}

std::set<std::string> FilesUnder(const fs::path &root)
{
    std::set<std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (!entry.is_directory())
            files.insert(fs::relative(entry.path(), root).string());
    return files;
}

class InstallTest : public testing::Test {
protected:
    void SetUp() override
    {
        Dir = fs::temp_directory_path() / ("korvel-install-e2e-" + std::to_string(::getpid()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        fs::permissions(Dir, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
        Prefix = Dir / "prefix";
        const TRun run = Shell("cmake --install " + Quote(KORVEL_BINARY_DIR) + " --prefix " + Quote(Prefix), Dir);
        ASSERT_EQ(run.Code, 0) << run.Out << run.Err;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(Prefix / "bin", fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(Dir, ignored);
    }

    fs::path Dir;
    fs::path Prefix;
};

TEST_F(InstallTest, InstallsTheFilesAndNothingElseWhereTheProgramLooks)
{
    EXPECT_EQ(FilesUnder(Prefix), ExpectedFiles());
    const fs::path docs = Prefix / "share" / "doc" / "korvel";
    EXPECT_EQ(HelpFilePath(Prefix / "bin" / "korvel"), docs / "Korvel.html");
    // The manual's pictures are found relative to it, where it is installed.
    const std::string manual = ReadText(docs / "Korvel.html");
    const std::regex picture(R"re(src="([^"]+)")re");
    for (auto it = std::sregex_iterator(manual.begin(), manual.end(), picture); it != std::sregex_iterator(); ++it)
        EXPECT_TRUE(fs::is_regular_file(docs / (*it)[1].str())) << (*it)[1].str();
}

TEST_F(InstallTest, InstalledCliAnswersHelpAndVersion)
{
    TRun run = Shell(Quote(Prefix / "bin" / "korvel-cli") + " --version", Dir);
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "korvel-cli " KORVEL_VERSION "\n");
    run = Shell(Quote(Prefix / "bin" / "korvel-cli") + " --help", Dir);
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out.rfind("Usage: korvel-cli", 0), 0u) << run.Out;
}

TEST_F(InstallTest, ManPagesRenderWithoutWarningsAndCarryTheVersion)
{
    if (!HaveTool("man"))
        GTEST_SKIP() << "man (package man-db) is not installed";
    for (const std::string page : {"korvel.1.gz", "korvel-cli.1.gz"}) {
        const TRun run =
            Shell("LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l " + Quote(Prefix / "share" / "man" / "man1" / page), Dir);
        EXPECT_EQ(run.Code, 0) << page;
        EXPECT_EQ(run.Err, "") << page;
        EXPECT_NE(run.Out.find("Korvel " KORVEL_VERSION), std::string::npos) << page << ":\n" << run.Out;
        EXPECT_NE(run.Out.find("EXIT STATUS"), std::string::npos) << page;
    }
}

TEST_F(InstallTest, DesktopEntryIsValidAndProgramsTheFileItIsGiven)
{
    if (!HaveTool("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate (package desktop-file-utils) is not installed";
    const fs::path entry = Prefix / "share" / "applications" / "korvel.desktop";
    const TRun run = Shell("desktop-file-validate " + Quote(entry), Dir);
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(run.Out + run.Err, "");
    const std::string text = ReadText(entry);
    EXPECT_NE(text.find("\nExec=korvel %f\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nCategories=Development;Electronics;\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nIcon=korvel\n"), std::string::npos) << text;
}

// The completion offers what the installed tool accepts: its --help is the reference.
TEST_F(InstallTest, BashCompletionOffersTheToolsCommandsOptionsAndPresets)
{
    const fs::path completion = Prefix / "share" / "bash-completion" / "completions" / "korvel-cli";
    const auto complete = [&](const std::string &words) {
        const std::string script = "source " + Quote(completion) + "; COMP_WORDS=(korvel-cli " + words +
                                   "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _korvel_cli; printf '%s\\n' \"${COMPREPLY[@]}\"";
        std::ofstream(Dir / "complete.sh") << script;
        const TRun run = Shell("bash " + Quote(Dir / "complete.sh"), Dir);
        EXPECT_EQ(run.Err, "") << words;
        const auto lines = Lines(run.Out);
        return std::set<std::string>(lines.begin(), lines.end());
    };
    const std::string help = Shell(Quote(Prefix / "bin" / "korvel-cli") + " --help", Dir).Out;
    std::set<std::string> commands, options;
    const std::string commandSection = help.substr(help.find("Commands:"), help.find("Options:") - help.find("Commands:"));
    const std::regex command(R"(\n  ([a-z-]+))"), option(R"(--[a-z-]+)");
    for (auto it = std::sregex_iterator(commandSection.begin(), commandSection.end(), command); it != std::sregex_iterator(); ++it)
        commands.insert((*it)[1].str());
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it)
        options.insert(it->str());
    ASSERT_EQ(commands.size(), 14u) << help;

    EXPECT_EQ(complete("''"), commands);
    EXPECT_EQ(complete("--"), options);
    std::set<std::string> presets;
    for (const TAdapterPreset &preset : AdapterPresets)
        presets.insert(std::string(preset.Name));
    EXPECT_EQ(complete("--preset ''"), presets);
    EXPECT_EQ(complete("--preset = P"), std::set<std::string>{"PonyProg"});
    EXPECT_EQ(complete("--device ''"), (std::set<std::string>{"8252", "53", "51", "52"}));
    EXPECT_EQ(complete("--port sim:x.sim lock 2 ''"), (std::set<std::string>{"1", "3"}));
    EXPECT_EQ(complete("--quiet write-code " + Quote(Dir / "pref")), std::set<std::string>{(Prefix).string()});
    EXPECT_EQ(complete("write-code fw.hex ''"), std::set<std::string>{}) << "one FILE only";
}

// An installed program cannot write its own folder: it keeps its settings, the virtual chip and its
// lock in the user's folders. Under root the bin folder's permissions would not bite, so the program
// runs as nobody there.
TEST_F(InstallTest, InstalledProgramKeepsItsFilesInTheUsersFoldersAndProgramsInBatchMode)
{
    if (!HaveTool("setpriv"))
        GTEST_SKIP() << "setpriv (package util-linux) is not installed";
    const fs::path user = Dir / "user", config = user / "config", runtime = user / "runtime";
    fs::create_directories(config / "korvel");
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    std::ofstream(config / "korvel" / "korvel.ini") << "[SerialPort]\r\nPortName=sim\r\n";
    std::ofstream(user / "fw.hex") << ":0400000012345678E8\r\n:00000001FF\r\n";
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(Shell("chown -R " + std::string(Nobody) + ":" + Nobody + " " + Quote(user), Dir).Code, 0);
    }
    fs::permissions(Prefix / "bin", fs::perms::owner_write, fs::perm_options::remove);

    const std::string asUser =
        root ? std::string("setpriv --reuid=") + Nobody + " --regid=" + Nobody + " --clear-groups " : "";
    const TRun run = Shell("cd " + Quote(user) + " && env -i PATH=/usr/bin:/bin LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen HOME=" +
                               Quote(user) + " XDG_CONFIG_HOME=" + Quote(config) + " XDG_RUNTIME_DIR=" + Quote(runtime) +
                               " " + asUser + "timeout 120 " + Quote(Prefix / "bin" / "korvel") + " fw.hex",
                           Dir);
    EXPECT_EQ(run.Code, 0) << run.Out << run.Err;

    const std::string settings = ReadText(config / "korvel" / "korvel.ini");
    EXPECT_NE(settings.find("PortName=sim"), std::string::npos) << settings;
    EXPECT_NE(settings.find("WriteDelay="), std::string::npos) << "the program wrote its settings back:\n" << settings;
    ASSERT_TRUE(fs::exists(config / "korvel" / "korvel.ini.sim")) << "the virtual chip beside the settings";
    const TSimImage chip = TSimImage::Load((config / "korvel" / "korvel.ini.sim").string());
    EXPECT_EQ(std::vector<std::uint8_t>(chip.Code.begin(), chip.Code.begin() + 5),
              (std::vector<std::uint8_t>{0x12, 0x34, 0x56, 0x78, 0xFF}));
    EXPECT_TRUE(fs::exists(runtime / "korvel.lock"));
    const auto bin = FilesUnder(Prefix / "bin");
    EXPECT_EQ(bin, (std::set<std::string>{"korvel", "korvel-cli"})) << "nothing written beside the programs";
}

TEST(Package, BuildsWithTheInstalledFilesAndPassesLintian)
{
    for (const char *tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps", "file", "lintian"})
        if (!HaveTool(tool))
            GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
    const fs::path dir = fs::temp_directory_path() / ("korvel-package-e2e-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "out");
    const TRun run = Shell("KORVEL_PACKAGE_DIR=" + Quote(dir / "out") + " " + Quote(fs::path(KORVEL_SOURCE_DIR) / "scripts" / "package") +
                               " --from " + Quote(KORVEL_BINARY_DIR),
                           dir);
    EXPECT_EQ(run.Code, 0) << run.Err;
    for (const std::string &line : Lines(run.Err))
        EXPECT_NE(line.rfind("E: ", 0), 0u) << line;
    const auto out = Lines(run.Out);
    ASSERT_FALSE(out.empty()) << run.Err;
    const fs::path deb = out.back();
    ASSERT_TRUE(fs::is_regular_file(deb)) << deb;
    EXPECT_EQ(deb.parent_path(), dir / "out");

    std::set<std::string> expected;
    for (const std::string &file : ExpectedFiles())
        expected.insert("./usr/" + file);
    std::set<std::string> listed;
    for (const std::string &line : Lines(Shell("dpkg-deb -c " + Quote(deb), dir).Out))
        if (line[0] != 'd')
            listed.insert(line.substr(line.find("./")));
    EXPECT_EQ(listed, expected);
    const std::string depends = Shell("dpkg-deb -f " + Quote(deb) + " Depends", dir).Out;
    for (const char *library : {"libc6", "libstdc++6", "libqt6core6", "libqt6widgets6", "libqt6svg6", "libftdi1-2"})
        EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
    // Without bash-completion the installed completion never loads; without sdcc-ucsim the virtual chip
    // cannot run its program.
    EXPECT_EQ(Shell("dpkg-deb -f " + Quote(deb) + " Recommends", dir).Out,
              "fonts-liberation, bash-completion, sdcc-ucsim\n");
    fs::remove_all(dir);
}

} // namespace
