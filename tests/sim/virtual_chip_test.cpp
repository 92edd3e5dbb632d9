// The virtual chip's serial programming behaviour, driven through the real link.
#include "sim_fixture.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

std::uint64_t Decoded(const TVirtualChip &chip, TInstruction kind) { return chip.Counters().DecodedOf(kind); }

TEST(VirtualChipProtocol, ObeysNothingBeforeProgrammingEnable)
{
    TSimRig rig;
    rig.Link.StartProgramming();
    rig.Write(0x02, 0x10, 0x55); // code write, 0x0010
    rig.Commands.ChipErase();
    EXPECT_EQ(rig.Chip.Contents().Code[0x10], 0xFF);
    EXPECT_EQ(rig.Chip.Counters().Refused, 2u);
    EXPECT_FALSE(rig.Chip.Busy());

    rig.Commands.ProgrammingEnable();
    EXPECT_TRUE(rig.Chip.ProgrammingEnabled());
    rig.Commands.WriteCodeByte(0x10, 0x55);
    EXPECT_EQ(rig.Chip.Contents().Code[0x10], 0x55);
    EXPECT_EQ(rig.Commands.ReadCodeByte(0x10), 0x55);
}

TEST(VirtualChipProtocol, LeavingResetForgetsEnableAndRestartsTheBitCount)
{
    TSimRig rig;
    rig.Enter();
    rig.Link.SendByte(0x02); // a half instruction, then reset drops
    rig.Leave();
    EXPECT_FALSE(rig.Chip.ProgrammingEnabled());

    rig.Link.StartProgramming();
    rig.Write(0x02, 0x00, 0x12);
    EXPECT_EQ(rig.Chip.Contents().Code[0], 0xFF);
    rig.Commands.ProgrammingEnable();
    rig.Commands.WriteCodeByte(0, 0x12);
    EXPECT_EQ(rig.Chip.Contents().Code[0], 0x12);
    EXPECT_EQ(Decoded(rig.Chip, TInstruction::ProgrammingEnable), 2u);
    EXPECT_EQ(Decoded(rig.Chip, TInstruction::WriteCode), 2u);
}

TEST(VirtualChipProtocol, MisoShowsFillerOutsideReadDataAndChangesOnlyAfterFallingEdges)
{
    TSimRig rig;
    rig.Chip.SetFiller(0xA5);
    rig.Enter();
    rig.Commands.WriteCodeByte(0x0123, 0x3C);
    // Bytes 1 and 2 of a read shift the filler out, byte 3 the data.
    for (const std::uint8_t byte : {std::uint8_t{0x09}, std::uint8_t{0x23}}) {
        std::uint8_t seen = 0;
        for (int bit = 7; bit >= 0; --bit) {
            rig.Link.SetMosi((byte >> bit) & 1);
            rig.Link.SclHigh();
            seen = static_cast<std::uint8_t>(seen << 1 | rig.Link.ReadMiso());
            rig.Link.SclLow();
        }
        EXPECT_EQ(seen, 0xA5);
    }
    // The first data bit (0) is out before the rising edge and stays through it.
    EXPECT_FALSE(rig.Link.ReadMiso());
    rig.Link.SclHigh();
    EXPECT_FALSE(rig.Link.ReadMiso());
    rig.Link.SclLow();
    EXPECT_FALSE(rig.Link.ReadMiso()); // bit 6 of 0x3C is 0 too
    rig.Link.SclHigh();
    rig.Link.SclLow();
    EXPECT_TRUE(rig.Link.ReadMiso()); // bit 5
    // Byte 3 of a write shifts out the filler.
    for (int bit = 5; bit >= 0; --bit) {
        rig.Link.SclHigh();
        rig.Link.SclLow();
    }
    rig.Link.SendByte(0x02);
    rig.Link.SendByte(0x00);
    EXPECT_EQ(rig.Link.ReceiveByte(), 0xA5);
}

TEST(VirtualChipWriteCycle, DataPollingAndLostInstructionsWhileWriting)
{
    TSimRig rig;
    rig.Chip.SetFiller(0x00);
    rig.Enter();
    rig.Commands.WriteCodeByte(0x20, 0x5A);
    rig.Chip.SetWriteCycle(Forever);
    rig.Write(0x02, 0x21, 0xC3);
    EXPECT_TRUE(rig.Chip.Busy());

    EXPECT_EQ(rig.Commands.ReadCodeByte(0x21), 0xC3 ^ 0x80) << "DATA polling inverts bit 7";
    EXPECT_EQ(rig.Commands.ReadCodeByte(0x20), 0x00) << "another address is not read";
    EXPECT_EQ(rig.Commands.ReadDataByte(0x21), 0x00) << "nor the same address in the EEPROM";
    rig.Write(0x02, 0x22, 0x11);
    rig.Write(0x06, 0x22, 0x11);
    rig.Commands.WriteLockBits(0x67);
    rig.Commands.ChipErase();

    EXPECT_EQ(rig.Chip.Counters().Lost, 6u);
    EXPECT_EQ(rig.Chip.Counters().WritesLost, 4u);
    EXPECT_EQ(rig.Chip.Contents().Code[0x22], 0xFF);
    EXPECT_EQ(rig.Chip.Contents().Data[0x22], 0xFF);
    EXPECT_EQ(rig.Chip.Contents().LockBits, 0);
    EXPECT_EQ(rig.Chip.Contents().Code[0x21], 0xC3);
}

TEST(VirtualChipWriteCycle, WriteCycleEndsOnTheSteadyClock)
{
    TSimRig rig;
    rig.Chip.SetWriteCycle(std::chrono::milliseconds(1));
    rig.Enter();
    rig.Write(0x02, 0x40, 0x81);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(rig.Chip.Busy());
    EXPECT_EQ(rig.Commands.ReadCodeByte(0x40), 0x81);
    rig.Write(0x02, 0x41, 0x82);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rig.Commands.ReadCodeByte(0x41), 0x82);
    EXPECT_EQ(rig.Chip.Counters().Lost, 0u);
}

TEST(VirtualChipWriteCycle, WriteCycleLongerThanTheProgramsDelayLosesTheNextWrite)
{
    TSimRig rig;
    rig.Chip.SetWriteCycle(Forever); // the program waits only its 3 ms WriteDelay
    rig.Enter();
    for (std::uint16_t a = 0; a < 4; ++a)
        rig.Commands.WriteCodeByte(a, static_cast<std::uint8_t>(a));
    EXPECT_EQ(rig.Chip.Contents().Code[0], 0x00);
    EXPECT_EQ(rig.Chip.Contents().Code[1], 0xFF);
    EXPECT_EQ(rig.Chip.Counters().WritesLost, 3u);
}

TEST(VirtualChipErase, SetsEverythingToFFClearsLockBitsAndTakesItsTime)
{
    TSimRig rig;
    rig.Enter();
    rig.Commands.WriteCodeByte(0x1FFF, 0x00);
    rig.Commands.WriteDataByte(0x7FF, 0x00);
    rig.Commands.WriteLockBits(0x07);
    rig.Chip.SetEraseTime(Forever);
    rig.Link.Wait(rig.Settings.WriteDelay);
    rig.Commands.ChipErase();
    EXPECT_TRUE(rig.Chip.Busy());
    EXPECT_EQ(rig.Chip.Contents().LockBits, 0);
    for (const std::uint8_t b : rig.Chip.Contents().Code)
        ASSERT_EQ(b, 0xFF);
    for (const std::uint8_t b : rig.Chip.Contents().Data)
        ASSERT_EQ(b, 0xFF);
    EXPECT_EQ(rig.Commands.ReadCodeByte(0x1FFF), 0x00) << "a read during the erase is lost";
    EXPECT_EQ(rig.Chip.Counters().Lost, 1u);
}

TEST(VirtualChipLock, LockBit1BlocksWritesAndLockBit2AlsoBlocksReads)
{
    TSimRig rig;
    rig.Enter();
    rig.Commands.WriteCodeByte(5, 0x42);
    rig.Commands.WriteDataByte(5, 0x43);
    rig.Commands.WriteLockBits(0x67); // Lock Bit 1
    rig.Link.Wait(rig.Settings.WriteDelay);
    EXPECT_EQ(rig.Chip.Contents().LockBits, 0x01);
    rig.Commands.WriteCodeByte(5, 0x00);
    rig.Commands.WriteDataByte(5, 0x00);
    EXPECT_EQ(rig.Commands.ReadCodeByte(5), 0x42);
    EXPECT_EQ(rig.Commands.ReadDataByte(5), 0x43);

    rig.Commands.WriteLockBits(0xA7); // Lock Bit 2 on top; Lock Bit 1 stays
    rig.Link.Wait(rig.Settings.WriteDelay);
    EXPECT_EQ(rig.Chip.Contents().LockBits, 0x03);
    EXPECT_EQ(rig.Commands.ReadCodeByte(5), 0xFF);
    EXPECT_EQ(rig.Commands.ReadDataByte(5), 0xFF);
    EXPECT_FALSE(rig.Commands.DetectDevice());

    rig.Commands.WriteLockBits(0xE7); // nothing to program: cannot unprogram
    rig.Link.Wait(rig.Settings.WriteDelay);
    EXPECT_EQ(rig.Chip.Contents().LockBits, 0x03);
    rig.Commands.WriteLockBits(0xC7); // Lock Bit 3
    rig.Link.Wait(rig.Settings.WriteDelay);
    EXPECT_EQ(rig.Chip.Contents().LockBits, 0x07);
}

TEST(VirtualChipDecoding, At89s53UsesA13AndAt89s8252AliasesAt8KiB)
{
    TSimRig s53(TChipKind::AT89S53, 1);
    s53.Enter();
    s53.Commands.WriteCodeByte(0x2345, 0xAB);
    s53.Commands.WriteCodeByte(0x0345, 0xCD);
    EXPECT_EQ(s53.Chip.Contents().Code[0x2345], 0xAB);
    EXPECT_EQ(s53.Chip.Contents().Code[0x0345], 0xCD);
    EXPECT_EQ(s53.Commands.ReadCodeByte(0x2FFF), 0xFF);
    s53.Commands.WriteCodeByte(0x2FFF, 0x01);
    EXPECT_EQ(s53.Commands.ReadCodeByte(0x2FFF), 0x01);
    EXPECT_EQ(s53.Read(0xFD, 0x00), 0xFF) << "0x3F00 lies beyond the 12 KiB";

    TSimRig s8252;
    s8252.Enter();
    s8252.Commands.WriteCodeByte(0x2345, 0xAB); // A13 is not sent
    EXPECT_EQ(s8252.Chip.Contents().Code[0x0345], 0xAB);
    EXPECT_EQ(s8252.Commands.ReadCodeByte(0x0345), 0xAB);
    EXPECT_EQ(s8252.Commands.ReadCodeByte(0x1FFF), 0xFF);
}

TEST(VirtualChipDecoding, TheOtherChipKindDecodesByItsOwnTable)
{
    // The program set for an AT89S53 talks to an AT89S8252: A13 lands in the EEPROM select bit.
    TSimRig rig(TChipKind::AT89S8252, 1);
    rig.Enter();
    rig.Commands.WriteCodeByte(0x2010, 0x77);
    EXPECT_EQ(rig.Chip.Contents().Code[0x0010], 0xFF);
    EXPECT_EQ(rig.Chip.Contents().Data[0x0010], 0x77);

    // The program set for an AT89S8252 talks to an AT89S53: EEPROM instructions reach code at A13.
    TSimRig other(TChipKind::AT89S53, 0);
    other.Enter();
    other.Commands.WriteDataByte(0x0010, 0x66);
    EXPECT_EQ(other.Chip.Contents().Code[0x2010], 0x66);
    EXPECT_EQ(other.Commands.ReadDataByte(0x0010), 0x66);
}

TEST(VirtualChipEeprom, ReadsAndWritesTwoKiBThatWrap)
{
    TSimRig rig;
    rig.Enter();
    rig.Commands.WriteDataByte(0x7FF, 0x9E);
    rig.Commands.WriteDataByte(0x000, 0x10);
    EXPECT_EQ(rig.Chip.Contents().Data[0x7FF], 0x9E);
    EXPECT_EQ(rig.Commands.ReadDataByte(0x7FF), 0x9E);
    EXPECT_EQ(rig.Commands.ReadDataByte(0x800), 0x10);
    EXPECT_EQ(rig.Read(0xFD, 0xFF), 0x9E) << "bits 7..6 of byte 1 are ignored";
    EXPECT_EQ(rig.Chip.Contents().Code[0x7FF], 0xFF);
    EXPECT_EQ(rig.Chip.Counters().DecodedOf(TInstruction::WriteData), 2u);
    EXPECT_EQ(rig.Chip.Counters().DecodedOf(TInstruction::ReadData), 3u);
}

TEST(VirtualChipFaults, NoChipNeverDrivesMisoAndDecodesNothing)
{
    TSimRig rig;
    rig.Chip.SetFault(TChipFault::NoChip);
    rig.Chip.SetFiller(0xFF);
    rig.Enter();
    EXPECT_FALSE(rig.Commands.DetectDevice());
    EXPECT_EQ(rig.Commands.ReadCodeByte(0), 0x00);
    EXPECT_FALSE(rig.Chip.ProgrammingEnabled());
    EXPECT_EQ(Decoded(rig.Chip, TInstruction::ReadCode), 0u);
    EXPECT_GT(rig.Chip.Counters().LineRequests, 0u);
}

TEST(VirtualChipFaults, StuckMisoHidesAWorkingChip)
{
    for (const TChipFault fault : {TChipFault::MisoStuckLow, TChipFault::MisoStuckHigh}) {
        TSimRig rig;
        rig.Chip.SetFault(fault);
        rig.Enter();
        const std::uint8_t expected = fault == TChipFault::MisoStuckHigh ? 0xFF : 0x00;
        EXPECT_EQ(rig.Commands.ReadCodeByte(0), expected);
        rig.Commands.WriteCodeByte(1, 0x3A);
        EXPECT_EQ(rig.Chip.Contents().Code[1], 0x3A) << "the chip itself still works";
        EXPECT_FALSE(rig.Commands.DetectDevice());
        EXPECT_EQ(rig.Chip.Miso(), fault == TChipFault::MisoStuckHigh);
    }
}

TEST(VirtualChipFaults, StopsAnsweringAfterNBytes)
{
    TSimRig rig;
    rig.Chip.StopAnsweringAfter(3 + 3 + 3 + 2);
    rig.Enter();                              // 3 bytes
    rig.Commands.WriteCodeByte(0, 0x11);      // 6
    EXPECT_EQ(rig.Commands.ReadCodeByte(0), 0x11); // 9
    rig.Commands.WriteCodeByte(1, 0x22);      // byte 11 ends the chip's life mid-instruction
    rig.Commands.WriteCodeByte(2, 0x33);
    EXPECT_EQ(rig.Commands.ReadCodeByte(0), 0x00);
    EXPECT_EQ(rig.Chip.Contents().Code[1], 0xFF);
    EXPECT_EQ(rig.Chip.Contents().Code[2], 0xFF);
    EXPECT_FALSE(rig.Chip.Miso().has_value());
    EXPECT_EQ(Decoded(rig.Chip, TInstruction::WriteCode), 1u);
}

// ---- the four-byte chips ----

// A page read of the page holding `address`, all 256 bytes.
std::vector<std::uint8_t> ReadPage(TSimRig &rig, std::uint16_t address)
{
    const TPendingByte page = rig.Commands.QueueReadCodePage(address);
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < rig.Commands.PageBytes(); ++i)
        bytes.push_back(rig.Commands.TakeByte(page));
    return bytes;
}

TEST(VirtualFourByteChip, EchoSignatureAndAddressBitsPerKind)
{
    TSimRig s51(TChipKind::AT89S51, 2);
    TSimRig s52(TChipKind::AT89S52, 3);
    for (TSimRig *rig : {&s51, &s52}) {
        rig->Link.StartProgramming();
        EXPECT_EQ(rig->Commands.ProgrammingEnable(), 0x69);
        EXPECT_EQ(rig->Commands.ReadSignature(), ChipInfo(rig->Chip.Kind()).Signature);
        rig->Commands.WriteCodeByte(0x1234, 0xA5);
    }
    // The AT89S51 has 4 KiB and no A12: 0x1234 is 0x0234 there.
    EXPECT_EQ(s51.Chip.Contents().Code[0x0234], 0xA5);
    EXPECT_EQ(s52.Chip.Contents().Code[0x1234], 0xA5);
    EXPECT_EQ(s52.Chip.Contents().Code[0x0234], 0xFF);
    EXPECT_EQ(s51.Commands.ReadCodeByte(0x0234), 0xA5);
    EXPECT_EQ(s52.Commands.ReadCodeByte(0x1FFF), 0xFF);
}

TEST(VirtualFourByteChip, APageReadSendsThePageFromItsFirstByteAndTheNextInstructionStillFits)
{
    TSimRig rig(TChipKind::AT89S52, 3);
    TSimImage image = TSimImage::Erased(TChipKind::AT89S52);
    for (std::size_t i = 0; i < image.Code.size(); ++i)
        image.Code[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    rig.Chip.SetContents(image);
    rig.Enter();
    const std::vector<std::uint8_t> page = ReadPage(rig, 0x1F80);
    EXPECT_EQ(page, std::vector<std::uint8_t>(image.Code.begin() + 0x1F00, image.Code.begin() + 0x2000));
    EXPECT_EQ(rig.Commands.ReadCodeByte(0x0102), image.Code[0x0102]);
    EXPECT_EQ(rig.Chip.Counters().DecodedOf(TInstruction::ReadPage), 1u);
    EXPECT_EQ(rig.Chip.Counters().DecodedOf(TInstruction::Unknown), 0u);
}

TEST(VirtualFourByteChip, AWriteOnlyClearsBitsUntilAnEraseWhoseReadsAnswer00)
{
    TSimRig rig(TChipKind::AT89S52, 3);
    rig.Enter();
    rig.Commands.WriteCodeByte(0x10, 0xF0);
    rig.Commands.WriteCodeByte(0x10, 0x3C);
    EXPECT_EQ(rig.Chip.Contents().Code[0x10], 0x30) << "old AND new";
    rig.Chip.SetWriteCycle(Forever);
    rig.Commands.WriteCodeByte(0x11, 0x81);
    EXPECT_EQ(rig.Commands.ReadCodeByte(0x11), 0x81 ^ 0x80) << "DATA polling";
    rig.Commands.WriteCodeByte(0x12, 0x00);
    EXPECT_EQ(rig.Chip.Contents().Code[0x12], 0xFF) << "lost while the write runs";

    TSimRig erasing(TChipKind::AT89S52, 3);
    erasing.Enter();
    erasing.Commands.WriteCodeByte(0x10, 0x00);
    erasing.Chip.SetEraseTime(Forever);
    erasing.Link.Wait(erasing.Settings.WriteDelay);
    erasing.Commands.ChipErase();
    EXPECT_TRUE(erasing.Chip.Busy());
    EXPECT_EQ(erasing.Chip.Contents().Code[0x10], 0xFF);
    EXPECT_EQ(erasing.Commands.ReadCodeByte(0x10), 0x00);
    EXPECT_EQ(ReadPage(erasing, 0), std::vector<std::uint8_t>(256, 0x00));
    EXPECT_EQ(erasing.Commands.ReadSignature(), (TSignature{0, 0, 0}));
    erasing.Commands.WriteCodeByte(0x13, 0x00);
    EXPECT_EQ(erasing.Chip.Contents().Code[0x13], 0xFF) << "a write during the erase is lost";
}

TEST(VirtualFourByteChip, LockModesOnlyInOrderAndModeThreeHidesReadsAndBeforeTheRevisionOf2008TheSignature)
{
    TSimRig rig(TChipKind::AT89S51, 2);
    rig.Chip.SetWriteCycle(std::chrono::microseconds(0));
    rig.Enter();
    rig.Commands.WriteCodeByte(5, 0x42);
    rig.Write(0xAC, 0xE2, 0x00);
    rig.Link.SendByte(0x00); // mode 3 before mode 2
    EXPECT_EQ(rig.Chip.Contents().LockBits, 0);
    rig.Commands.WriteLockBits(0x67); // lock bit 1: mode 2
    EXPECT_EQ(rig.Chip.Contents().LockBits, 0x01);
    rig.Commands.WriteCodeByte(6, 0x00);
    EXPECT_EQ(rig.Chip.Contents().Code[6], 0xFF) << "mode 2 takes no writes";
    EXPECT_EQ(rig.Commands.ReadCodeByte(5), 0x42);
    EXPECT_EQ(LockModeOf(rig.Commands.ReadLockBits()), 2);

    rig.Commands.WriteLockBits(0xA7); // lock bit 2: mode 3, after mode 2 again
    EXPECT_EQ(rig.Chip.Contents().LockBits, 0x03);
    for (const std::uint8_t hidden : {std::uint8_t{0xFF}, std::uint8_t{0x00}}) {
        rig.Chip.SetLockedAnswer(hidden);
        EXPECT_EQ(rig.Commands.ReadCodeByte(5), hidden);
        EXPECT_EQ(rig.Commands.ReadSignature(), (TSignature{hidden, hidden, hidden}));
    }
    EXPECT_EQ(rig.Commands.ReadLockBits(), 0x0C);
    EXPECT_EQ(LockModeOf(rig.Commands.ReadLockBits()), 3);
    rig.Chip.SetRevision(TFourByteRevision::Of2008);
    EXPECT_EQ(rig.Commands.ReadSignature(), ChipInfo(TChipKind::AT89S51).Signature);
    EXPECT_EQ(rig.Commands.ReadCodeByte(5), 0x00) << "the memory stays hidden";
}

} // namespace
