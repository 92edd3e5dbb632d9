// The image file that keeps a virtual chip across runs.
#include "sim_fixture.h"
#include "sim/sim_image.h"
#include "sim/virtual_target.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h> // getpid

namespace {

namespace fs = std::filesystem;

class SimImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Dir = fs::temp_directory_path() /
              ("korvel_sim_image_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        Path = (Dir / "chip.sim").string();
    }
    void TearDown() override { fs::remove_all(Dir); }

    void WriteFile(const std::string &bytes) const { std::ofstream(Path, std::ios::binary) << bytes; }
    std::string ReadFile() const
    {
        std::ifstream in(Path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Loading must fail with a message that names the file and says why.
    void ExpectRejected(const std::string &why) const
    {
        try {
            TVirtualChip chip(TChipKind::AT89S8252, Path);
            ADD_FAILURE() << "accepted an image that is " << why;
        } catch (const TSimImageError &error) {
            EXPECT_NE(std::string(error.what()).find(Path), std::string::npos) << error.what();
        }
    }

    fs::path Dir;
    std::string Path;
};

TEST_F(SimImageTest, KeepsCodeEepromAndLockBitsAcrossRuns)
{
    {
        TSimRig rig(TChipKind::AT89S8252, 0, Path);
        rig.Enter();
        rig.Commands.WriteCodeByte(0x1234, 0x5A);
        rig.Commands.WriteDataByte(0x07FF, 0xA5);
        rig.Commands.WriteLockBits(0x67);
        EXPECT_FALSE(fs::exists(Path)) << "saved only when the chip leaves programming mode";
        rig.Leave();
        EXPECT_TRUE(fs::exists(Path));
        EXPECT_TRUE(rig.Chip.SaveError().empty());
    }
    TVirtualChip again(TChipKind::AT89S8252, Path);
    EXPECT_EQ(again.Contents().Code[0x1234], 0x5A);
    EXPECT_EQ(again.Contents().Data[0x07FF], 0xA5);
    EXPECT_EQ(again.Contents().LockBits, 0x01);
    EXPECT_EQ(again.Contents().Code[0x1233], 0xFF);
    EXPECT_EQ(ReadFile().size(), 12u + 8192u + 2048u);
    EXPECT_EQ(ReadFile().substr(0, 8), "KORVSIM1");
}

TEST_F(SimImageTest, SavesAtDestructionAndNeverLeavesTemporaryFiles)
{
    {
        const TSettings settings = QuickSettings(1);
        TVirtualTarget target(settings, Path);
        TSimImage image = TSimImage::Erased(TChipKind::AT89S53);
        image.Code[0x2FFF] = 0x42;
        target.Chip().SetContents(image);
    }
    TVirtualChip again(TChipKind::AT89S53, Path);
    EXPECT_EQ(again.Contents().Code[0x2FFF], 0x42);
    EXPECT_TRUE(again.Contents().Data.empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1);
}

TEST_F(SimImageTest, MalformedImagesAreRejectedWithTheReason)
{
    const std::string good = [] {
        std::string bytes = "KORVSIM1";
        bytes += std::string("\0\0\0\0", 4) + std::string(8192 + 2048, '\xFF');
        return bytes;
    }();
    WriteFile(good);
    EXPECT_NO_THROW(TVirtualChip(TChipKind::AT89S8252, Path));

    WriteFile("");
    ExpectRejected("empty");
    WriteFile("not an image at all, just text");
    ExpectRejected("text");
    WriteFile(good.substr(0, good.size() - 1));
    ExpectRejected("truncated");
    WriteFile(good + '\0');
    ExpectRejected("too long");
    std::string kind = good;
    kind[8] = 7;
    WriteFile(kind);
    ExpectRejected("of an unknown kind");
    std::string locks = good;
    locks[9] = static_cast<char>(0x80);
    WriteFile(locks);
    ExpectRejected("holding unknown lock bits");
    std::string version = good;
    version[7] = '2';
    WriteFile(version);
    ExpectRejected("of another format version");
    fs::remove(Path);
    fs::create_directory(Path);
    ExpectRejected("a directory");
}

TEST_F(SimImageTest, AnImageOfTheOtherKindIsRejectedAndKept)
{
    TSimImage::Erased(TChipKind::AT89S53).Save(Path);
    const std::string before = ReadFile();
    try {
        const TSettings settings = QuickSettings(0);
        TVirtualTarget target(settings, Path);
        ADD_FAILURE() << "an AT89S53 image became an AT89S8252";
    } catch (const TSimImageError &error) {
        EXPECT_NE(std::string(error.what()).find("AT89S53"), std::string::npos) << error.what();
    }
    EXPECT_EQ(ReadFile(), before);
}

// The chip in the socket is what the image says; a four-byte chip tells the program which it is.
TEST_F(SimImageTest, AnImageOfAChipWithASignatureKeepsItsKindWhateverTheSettingsName)
{
    {
        TSimRig rig(TChipKind::AT89S52, 3, Path);
        rig.Enter();
        rig.Commands.WriteCodeByte(0x1FFF, 0x5A);
        rig.Commands.WriteLockBits(0x67);
        rig.Leave();
    }
    EXPECT_EQ(ReadFile().size(), 12u + 8192u);
    for (const int device : {0, 2, 3}) {
        const TSettings settings = QuickSettings(device);
        TVirtualTarget target(settings, Path);
        EXPECT_EQ(target.Chip().Kind(), TChipKind::AT89S52) << device;
        EXPECT_EQ(target.Chip().Contents().Code[0x1FFF], 0x5A);
        EXPECT_EQ(target.Chip().Contents().LockBits, 0x01);
    }
}

TEST_F(SimImageTest, AFailedSaveIsReportedAndTriedAgain)
{
    const fs::path missing = Dir / "not yet";
    const std::string path = (missing / "chip.sim").string();
    TSimRig rig(TChipKind::AT89S8252, 0, path);
    rig.Enter();
    rig.Commands.WriteCodeByte(0, 0x00);
    rig.Leave();
    EXPECT_NE(rig.Chip.SaveError().find(path), std::string::npos) << rig.Chip.SaveError();

    fs::create_directories(missing);
    rig.Enter();
    rig.Leave();
    EXPECT_TRUE(rig.Chip.SaveError().empty()) << rig.Chip.SaveError();
    EXPECT_EQ(TSimImage::Load(path).Code[0], 0x00);
}

} // namespace

namespace {

// An image is held by one target at a time, as a port is by one program: a second one is refused
// while the first lives (the image keeps the first one's work), and takes it once the first has
// ended, leaving no lock file behind.
TEST_F(SimImageTest, ATargetHoldsItsImageForItsLife)
{
    TSettings settings;
    {
        TVirtualTarget first(settings, Path);
        try {
            TVirtualTarget second(settings, Path);
            ADD_FAILURE() << "a second target took the image";
        } catch (const TSimImageInUse &e) {
            EXPECT_EQ(std::string(e.what()), "Virtual chip image " + Path + " is in use by another run of korvel or korvel-cli");
        }
        TVirtualTarget other(settings, (Dir / "other.sim").string());
        TVirtualTarget unsaved(settings);
    }
    EXPECT_NO_THROW(TVirtualTarget(settings, Path));
    EXPECT_FALSE(fs::exists(Path + ".lock"));
    EXPECT_THROW(TVirtualTarget(settings, (Dir / "missing" / "chip.sim").string()), TSimImageError);
}

} // namespace
