// The real libftdi1 behind the ftdi port: it links and answers without a cable; with a cable named in
// KORVEL_FTDI_TEST_PORT, the port opens it, measures its sample rate, takes bit-bang mode, reads the
// pins and gives it back.
#include "ftdi/ftdi_port.h"
#include "ftdi/libftdi_driver.h"
#include "link/isp_link.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

TEST(LibFtdi, LinksAndNamesWhatIsMissing)
{
    EXPECT_EQ(LibFtdiVersion().rfind("libftdi 1.", 0), 0u) << LibFtdiVersion();
    if (!CreateLibFtdiDriver()->Devices().empty())
        GTEST_SKIP() << "an FTDI device is plugged in; the messages for a missing one are not testable";
    TSettings settings;
    settings.ResetDelay1 = settings.ResetDelay2 = 1.0;
    const struct {
        const char *Name;
        const char *Says;
    } missing[] = {{"ftdi", "no FTDI device found"},
                   {"ftdi:s:0x0403:0x6001:KORVEL-NONE", "no FTDI device matches s:0x0403:0x6001:KORVEL-NONE"},
                   {"ftdi:q:1", "illegal device string \"q:1\""}};
    for (const auto &m : missing) {
        TFtdiPort port(CreateLibFtdiDriver(), m.Name, settings);
        EXPECT_FALSE(port.Open({9600, 'N', 8, 1})) << m.Name;
        EXPECT_NE(port.OpenError().find(m.Says), std::string::npos) << port.OpenError();
        EXPECT_FALSE(port.Opened());
        TIspLink(port.BitBang(), settings).IdleLines(); // a closed port drives nothing and never hangs
        EXPECT_FALSE(port.BitBang().GetCTS());
    }
}

// Only the cable a person names is driven: an FTDI device that happens to be plugged in may be
// wired to something else.
TEST(LibFtdi, TheNamedCableOpensMeasuresAndReturns)
{
    const char *name = std::getenv("KORVEL_FTDI_TEST_PORT");
    if (!name || !*name)
        GTEST_SKIP() << "KORVEL_FTDI_TEST_PORT names no cable (e.g. ftdi:s:0x0403:0x6001:A50285BI)";
    const TSettings settings;
    TFtdiPort port(CreateLibFtdiDriver(), name, settings);
    ASSERT_TRUE(port.Open({9600, 'N', 8, 1})) << port.OpenError();
    std::printf("%s\n", FtdiRateLine(port.Rate()).c_str());
    port.BitBang().GetCTS(); // bit-bang mode, one sample back
    EXPECT_FALSE(port.PortLost()) << port.LostReason();
    EXPECT_EQ(port.InCount(), 0); // UART mode again
    port.Close();
    EXPECT_FALSE(port.PortLost()) << port.LostReason();
}

} // namespace
