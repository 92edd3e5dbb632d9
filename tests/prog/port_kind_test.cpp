// One life cycle run over every row of the port kinds a session opens by name: open, the lines at
// rest as the trace records them, the presence test against the virtual chip behind it, a write and
// its verify, close, reopen with the chip's memory kept, and a port lost under an operation where a
// cable can be. The serial row runs on a pseudo-terminal, which has a data path but no modem lines.
// A new kind of port adds its names here.
#include "operation_outcome.h"
#include "app/port_kinds.h"
#include "link/isp_link.h"
#include "link/qc_com32.h"
#include "prog/port_session.h"
#include "settings/settings.h"
#include "sim/ftdi_fake.h"
#include "sim/virtual_target.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct TPortKindRow {
    const char *Name;
    bool OwnChip;   // the chip sits behind a fake libftdi the test hands the session, not a virtual target
    bool CanBeLost; // the cable can be pulled out under an operation
    bool Empty;     // no chip in the socket: nothing answers
};

const TPortKindRow Rows[] = {
    {"sim", false, false, false},
    {"sim-pl2303", false, false, false},
    {"sim-ftdi", false, false, false},
    {"sim-empty", false, false, true},
    {"ftdi:s:0x0403:0x6001:KV1@A", true, true, false},
};

void PrintTo(const TPortKindRow &row, std::ostream *out) { *out << row.Name; }

// The last level of each signal a VCD file records: 'r' rst, 'c' sck, 'o' mosi, 'i' miso.
std::map<char, char> LastLevels(const std::string &path)
{
    std::ifstream file(path);
    std::map<char, char> levels;
    for (std::string line; std::getline(file, line);)
        if (line.size() == 2 && (line[0] == '0' || line[0] == '1' || line[0] == 'x'))
            levels[line[1]] = line[0];
    return levels;
}

class PortKind : public testing::TestWithParam<TPortKindRow> {
protected:
    PortKind()
    {
        Folder = fs::temp_directory_path() / ("korvel-port-kind-" + std::to_string(::getpid()));
        fs::create_directories(Folder);
        Settings.PortName = GetParam().Name;
        Settings.PortTrace = (Folder / "lines.vcd").string();
        Com.SetShowErrors(false);
        Session.SetFtdiDrivers([this] {
            auto fake = std::make_unique<TFtdiFake>(OwnChip, Settings);
            Fake = fake.get();
            return fake;
        });
        PrepareChip(OwnChip);
    }
    ~PortKind() override
    {
        std::error_code ignored;
        fs::remove_all(Folder, ignored);
    }

    std::string Open()
    {
        std::string error;
        const TOpenResult result = Session.Open(Image(), error);
        return result == TOpenResult::Ok ? std::string() : error.empty() ? "failed without a reason" : error;
    }
    std::string Image() const { return (Folder / "chip.sim").string(); }
    TVirtualChip &Chip() { return GetParam().OwnChip ? OwnChip : Session.Virtual()->Chip(); }
    void Run(TOperationCode code, TOutcome &outcome)
    {
        RunOperation(code, Session.Lines(), Settings, outcome, [this] { Session.Drain(); });
    }
    // A write of a few bytes and their verify, long enough to cross every line call.
    void WriteAndVerify(std::uint8_t seed)
    {
        TOutcome write;
        for (std::size_t i = 0; i < 16; ++i)
            write.Memory.Buffer[i] = static_cast<std::uint8_t>(seed + i * 7);
        write.Memory.HighestAddress = 15;
        Run(opWriteCode, write);
        EXPECT_TRUE(write.Status.DeviceFound);
        EXPECT_FALSE(write.Status.PortLost);
        for (std::size_t i = 0; i < 16; ++i)
            ASSERT_EQ(Chip().Contents().Code[i], write.Memory.Buffer[i]) << "byte " << i;
        TOutcome verify;
        verify.Memory = write.Memory;
        Run(opVerifyCode, verify);
        EXPECT_TRUE(verify.Lines.empty()) << verify.Lines.front();
    }

    fs::path Folder;
    TSettings Settings = QuickSettings();
    TVirtualChip OwnChip{TChipKind::AT89S8252};
    T_QCCom32 Com;
    const TPortKinds Kinds = StandardPortKinds();
    TPortSession Session{Com, Settings, Kinds};
    TFtdiFake *Fake = nullptr;
};

TEST_P(PortKind, OpensRestsDetectsOperatesClosesReopensAndReportsALoss)
{
    ASSERT_EQ(Open(), "");
    ASSERT_TRUE(Com.Opened());
    if (GetParam().Empty) {
        TOutcome detect;
        detect.Memory.HighestAddress = -1;
        Run(opVerifyCode, detect);
        EXPECT_FALSE(detect.Status.DeviceFound);
        EXPECT_FALSE(detect.Status.PortLost);
        EXPECT_EQ(Session.PersistProblem(), "") << "keeps no memory";
        return;
    }
    if (!GetParam().OwnChip)
        PrepareChip(Chip());

    TIspLink(Session.Lines(), Settings).IdleLines();
    ASSERT_EQ(Session.Flush(), "");
    const std::map<char, char> rest = LastLevels(Settings.PortTrace);
    EXPECT_EQ(rest.at('r'), '0') << "RESET inactive";
    EXPECT_EQ(rest.at('c'), '1') << "SCK high";
    EXPECT_EQ(rest.at('o'), '1') << "MOSI high";

    TOutcome detect;
    detect.Memory.HighestAddress = -1;
    Run(opVerifyCode, detect);
    EXPECT_TRUE(detect.Status.DeviceFound);
    WriteAndVerify(0x21);

    Com.Close();
    EXPECT_FALSE(Com.Opened());
    ASSERT_EQ(Open(), "");
    EXPECT_TRUE(Com.Opened());
    EXPECT_EQ(Chip().Contents().Code[1], 0x21 + 7) << "the chip kept what was written";
    WriteAndVerify(0x42);
    EXPECT_EQ(Session.Flush(), "");
    if (!GetParam().OwnChip) {
        EXPECT_EQ(TSimImage::Load(Image()).Code[1], 0x42 + 7) << "the image holds the chip's memory";
    }

    if (!GetParam().CanBeLost) {
        EXPECT_EQ(Session.TakeLostReason(), "");
        return;
    }
    ASSERT_NE(Fake, nullptr);
    Fake->UnplugAfter(3);
    TOutcome lost;
    Run(opVerifyCode, lost);
    EXPECT_TRUE(lost.Status.PortLost);
    EXPECT_NE(Session.TakeLostReason(), "");
    EXPECT_EQ(Session.TakeLostReason(), "") << "reported once";
}

// A terminal device: its data path both ways, close and reopen, and its loss when the other end goes.
TEST(PortKindSerial, OpensAPseudoTerminalCarriesBytesReopensAndReportsItsLoss)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    TSettings settings = QuickSettings();
    settings.PortName = ::ptsname(master);
    const TPortKinds kinds = StandardPortKinds();
    T_QCCom32 com;
    com.SetShowErrors(false);
    TPortSession session(com, settings, kinds);
    std::string error;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(session.Open({}, error), TOpenResult::Ok) << error;
        EXPECT_EQ(session.PortLabel(), settings.PortName);
        EXPECT_EQ(session.Virtual(), nullptr);
        EXPECT_NE(session.Settle(), nullptr) << "a terminal device's inputs settle";
        ASSERT_TRUE(com.Write("AB"));
        char bytes[2] = {};
        for (int tries = 0; tries < 2000 && ::read(master, bytes, 2) <= 0; ++tries)
            ::usleep(1000);
        EXPECT_EQ(std::string(bytes, 2), "AB");
        com.Close();
    }
    ASSERT_EQ(session.Open({}, error), TOpenResult::Ok) << error;
    ::close(master);
    com.InCount(); // the other end's hang-up shows at the next request
    std::string text;
    com.Read(text);
    EXPECT_TRUE(session.Lines().PortLost());
    EXPECT_EQ(session.TakeLostReason(), "the serial port " + settings.PortName + " vanished (unplugged?)");
}

// Every row of the table the programs use is reached by a name the life cycle above runs, or is
// the serial row, which takes any other name.
TEST(PortKindTable, EveryRowRunsTheLifeCycle)
{
    const TPortKinds kinds = StandardPortKinds();
    for (const std::unique_ptr<TPortKind> &kind : kinds.Rows()) {
        const bool covered = std::any_of(std::begin(Rows), std::end(Rows),
                                         [&](const TPortKindRow &row) { return kinds.Find(row.Name) == kind.get(); });
        EXPECT_TRUE(covered || kind.get() == kinds.Rows().back().get()) << kind->Name();
    }
    EXPECT_EQ(kinds.Find("/dev/ttyUSB0"), kinds.Rows().back().get());
    EXPECT_EQ(kinds.Find(""), kinds.Rows().back().get());
}

INSTANTIATE_TEST_SUITE_P(EveryKind, PortKind, testing::ValuesIn(Rows), [](const auto &info) {
    std::string name;
    for (const char c : std::string(info.param.Name).substr(0, 10))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

} // namespace
