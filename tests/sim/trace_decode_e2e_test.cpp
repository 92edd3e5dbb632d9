// A recorded line trace of a presence test decodes with sigrok's SPI decoder into the exact
// instruction stream the program sent.
#include "sim_fixture.h"
#include "ftdi/ftdi_port.h"
#include "sim/ftdi_fake.h"
#include "sim/line_trace.h"
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

void RecordPresenceTest(TLineInterface &lines, const TSettings &settings, const std::string &path,
                        std::function<std::int64_t()> clock = nullptr)
{
    TLineTrace trace(lines, settings, path);
    trace.SetClock(std::move(clock));
    TIspLink link(trace, settings);
    TDeviceCommands commands(link);
    link.StartProgramming();
    commands.ProgrammingEnable();
    ASSERT_TRUE(commands.DetectDevice());
    link.EndProgramming();
}

// Through the serial back end (the virtual adapter), and through an FTDI cable in bit-bang mode,
// whose trace is stamped with the waveform's own timing.
void RecordPresenceTest(bool ftdi, const TSettings &settings, const std::string &path)
{
    TVirtualTarget target(settings);
    TSimImage image = TSimImage::Erased(TChipKind::AT89S8252);
    image.Code[0] = 0x75;
    target.Chip().SetContents(image);
    if (!ftdi) {
        RecordPresenceTest(target.Lines(), settings, path);
        return;
    }
    TFtdiPort port(std::make_unique<TFtdiFake>(target.Chip(), settings), "ftdi", settings);
    ASSERT_TRUE(port.Open({9600, 'N', 8, 1}));
    RecordPresenceTest(port.BitBang(), settings, path, [&port] { return port.WaveformMicroseconds(); });
}

TEST(TraceDecode, SigrokDecodesTheProgrammersInstructions)
{
    ASSERT_EQ(std::system("command -v sigrok-cli >/dev/null 2>&1"), 0)
        << "sigrok-cli is not installed (Debian package sigrok-cli); this test needs it";
    const std::string path =
        (fs::temp_directory_path() / ("korvel_e2e_trace_" + std::to_string(::getpid()) + ".vcd")).string();
    for (const auto &[inverted, ftdi] : {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
        TSettings settings = QuickSettings();
        settings.SCLInvert = settings.MOSIInvert = settings.RESETInvert = settings.MISOInvert = inverted;
        RecordPresenceTest(ftdi, settings, path);
        const std::string output = RunCommand("sigrok-cli -i " + path +
                                       " -P spi:clk=sck:mosi=mosi:miso=miso:cs=rst:cs_polarity=active-high"
                                       " -A spi=mosi-data 2>&1");
        const std::vector<int> expected = {0xAC, 0x53, 0x00,  // Programming Enable
                                           0x01, 0x00, 0x00,  // read address 0
                                           0x02, 0x00, 0x00,  // write 00
                                           0x01, 0x00, 0x00,  //
                                           0x02, 0x00, 0xFF,  // write FF
                                           0x01, 0x00, 0x00,  //
                                           0x02, 0x00, 0x75}; // the byte found there, back
        EXPECT_EQ(DecodedBytes(output), expected)
            << "inverted lines: " << inverted << ", ftdi: " << ftdi << "\n" << output;
    }
    fs::remove(path);
}

} // namespace
