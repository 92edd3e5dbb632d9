// What the Edit Buffer window's Ok writes back.
#include "buffer/memory_buffer.h"
#include "editor/edit_form_rules.h"

#include <gtest/gtest.h>

#include <vector>

TEST(EditFormRules, OkStoresOnlyDifferingBytesAndSetsWholeDeviceOnlyForAChange)
{
    TMemoryBuffer memory;
    memory.Buffer.fill(0x5A);
    std::vector<std::uint8_t> edited(8192, 0x5A);
    EXPECT_EQ(WriteBackEdits(memory, edited), 0);
    EXPECT_FALSE(memory.WholeDevice) << "an unchanged buffer keeps the file's write range";

    edited[8191] = 0xFF;
    EXPECT_EQ(WriteBackEdits(memory, edited), 1);
    EXPECT_TRUE(memory.WholeDevice);
    EXPECT_EQ(memory.Buffer[8191], 0xFF);
    EXPECT_EQ(memory.Buffer[8192], 0x5A) << "bytes above the edited count stay";

    EXPECT_EQ(WriteBackEdits(memory, edited), 0);
    EXPECT_TRUE(memory.WholeDevice) << "Ok never clears it";
}
