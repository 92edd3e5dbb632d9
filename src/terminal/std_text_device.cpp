#include "terminal/std_text_device.h"

#include "terminal/console.h"

TConsoleOutputBuf::TConsoleOutputBuf(TConsole &console) : Console(console)
{
    setp(Block, Block + sizeof Block);
}

TConsoleOutputBuf::~TConsoleOutputBuf()
{
    sync();
}

TConsoleOutputBuf::int_type TConsoleOutputBuf::overflow(int_type ch)
{
    sync();
    if (!traits_type::eq_int_type(ch, traits_type::eof()))
        sputc(traits_type::to_char_type(ch));
    return traits_type::not_eof(ch);
}

int TConsoleOutputBuf::sync()
{
    if (pptr() > pbase())
        Console.PutBuffer(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(Block, Block + sizeof Block);
    return 0;
}

TConsoleInputBuf::int_type TConsoleInputBuf::underflow()
{
    const int count = Console.ReadBuf(Line, sizeof Line);
    const bool endOfFile = count == 1 && Line[0] == 26;
    if (count == 0 || endOfFile)
        return traits_type::eof();
    setg(Line, Line, Line + count);
    return traits_type::to_int_type(Line[0]);
}
