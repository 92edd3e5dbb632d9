// A recorded line trace of a presence test decodes with sigrok's SPI decoder into the exact
// instruction stream the program sent.
#include "sim_fixture.h"
#include "ftdi/ftdi_port.h"
#include "sim/ftdi_fake.h"
#include "link/line_trace.h"
#include "sim/virtual_target.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <utility>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string RunCommand(const std::string &command)
{
    std::string output;
    std::FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char chunk[4096];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe))
        output.append(chunk, got);
    ::pclose(pipe);
    return output;
}

// sigrok-cli prints one "spi-1: AC" line per decoded MOSI byte.
std::vector<int> DecodedBytes(const std::string &output)
{
    std::vector<int> bytes;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind("spi-1: ", 0) == 0)
            bytes.push_back(std::stoi(line.substr(7), nullptr, 16));
    return bytes;
}

// What a test does on the link while the trace records.
using TSession = std::function<void(TDeviceCommands &commands)>;

void Record(TLineInterface &lines, const TSettings &settings, const std::string &path, const TSession &session,
            std::function<std::int64_t()> clock = nullptr)
{
    TLineTrace trace(lines, settings, path);
    trace.SetClock(std::move(clock));
    TIspLink link(trace, settings);
    TDeviceCommands commands(link);
    link.StartProgramming();
    commands.ProgrammingEnable();
    session(commands);
    link.EndProgramming();
}

// Through the serial back end (the virtual adapter), and through an FTDI cable in bit-bang mode,
// whose trace is stamped with the waveform's own timing.
void Record(bool ftdi, const TSettings &settings, const TSimImage &image, const std::string &path,
            const TSession &session)
{
    TVirtualTarget target(settings);
    target.Chip().SetContents(image);
    if (!ftdi) {
        Record(target.Lines(), settings, path, session);
        return;
    }
    TFtdiPort port(std::make_unique<TFtdiFake>(target.Chip(), settings), "ftdi", settings);
    ASSERT_TRUE(port.Open({9600, 'N', 8, 1}));
    Record(port.BitBang(), settings, path, session, [&port] { return port.WaveformMicroseconds(); });
}

// The trace holds MISO as the program sampled it, while SCK is high just before it falls, so its bits
// are taken at the falling edge (cpha=1); MOSI's at the rising edge, as the chip takes them.
std::vector<int> Decode(const std::string &path, const std::string &data)
{
    const std::string cpha = data == "miso-data" ? ":cpha=1" : "";
    return DecodedBytes(RunCommand("sigrok-cli -i " + path +
                                   " -P spi:clk=sck:mosi=mosi:miso=miso:cs=rst:cs_polarity=active-high" + cpha +
                                   " -A spi=" + data + " 2>&1"));
}

class TraceDecode : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(std::system("command -v sigrok-cli >/dev/null 2>&1"), 0)
            << "sigrok-cli is not installed (Debian package sigrok-cli); this test needs it";
    }
    void TearDown() override { fs::remove(Path); }

    const std::string Path =
        (fs::temp_directory_path() / ("korvel_e2e_trace_" + std::to_string(::getpid()) + ".vcd")).string();
};

const std::pair<bool, bool> Ways[] = {{false, false}, {true, false}, {false, true}, {true, true}};

TEST_F(TraceDecode, SigrokDecodesTheProgrammersInstructions)
{
    TSimImage image = TSimImage::Erased(TChipKind::AT89S8252);
    image.Code[0] = 0x75;
    for (const auto &[inverted, ftdi] : Ways) {
        TSettings settings = QuickSettings();
        settings.SCLInvert = settings.MOSIInvert = settings.RESETInvert = settings.MISOInvert = inverted;
        Record(ftdi, settings, image, Path,
               [](TDeviceCommands &commands) { ASSERT_TRUE(commands.DetectDevice()); });
        const std::vector<int> expected = {0xAC, 0x53, 0x00,  // Programming Enable
                                           0x01, 0x00, 0x00,  // read address 0
                                           0x01, 0x00, 0x00,  // and again, slowly
                                           0x02, 0x00, 0x00,  // write 00
                                           0x01, 0x00, 0x00,  //
                                           0x02, 0x00, 0xFF,  // write FF
                                           0x01, 0x00, 0x00,  //
                                           0x02, 0x00, 0x75,  // the byte found there, back
                                           0x01, 0x00, 0x00}; // and read once more
        EXPECT_EQ(Decode(Path, "mosi-data"), expected) << "inverted lines: " << inverted << ", ftdi: " << ftdi;
    }
}

// One instruction and the page's 256 bytes on MISO, in the order the chip holds them.
TEST_F(TraceDecode, APageReadDecodesToItsInstructionAndThePage)
{
    TSimImage image = TSimImage::Erased(TChipKind::AT89S52);
    for (std::size_t i = 0; i < image.Code.size(); ++i)
        image.Code[i] = static_cast<std::uint8_t>(i * 13 + 5);
    for (const auto &[inverted, ftdi] : Ways) {
        SCOPED_TRACE(std::to_string(inverted) + std::to_string(ftdi));
        TSettings settings = QuickSettings(3);
        settings.SCLInvert = settings.MOSIInvert = settings.RESETInvert = settings.MISOInvert = inverted;
        std::vector<int> read;
        Record(ftdi, settings, image, Path, [&read](TDeviceCommands &commands) {
            const TPendingByte page = commands.QueueReadCodePage(0x1100);
            for (int i = 0; i < commands.PageBytes(); ++i)
                read.push_back(commands.TakeByte(page));
        });
        std::vector<int> mosi = {0xAC, 0x53, 0x00, 0x00, 0x30, 0x11};
        mosi.resize(mosi.size() + 256, 0x00);
        EXPECT_EQ(Decode(Path, "mosi-data"), mosi);
        const std::vector<int> page(image.Code.begin() + 0x1100, image.Code.begin() + 0x1200);
        const std::vector<int> miso = Decode(Path, "miso-data");
        ASSERT_EQ(miso.size(), mosi.size());
        EXPECT_EQ(miso[3], 0x69) << "Programming Enable's echo";
        EXPECT_EQ(std::vector<int>(miso.begin() + 6, miso.end()), page);
        EXPECT_EQ(read, page);
    }
}

} // namespace
