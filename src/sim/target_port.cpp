#include "sim/target_port.h"

bool TTargetPort::Open(const TLineParams &params)
{
    if (!Inner.Open(params))
        return false;
    Program.SetBaud(params.Baud);
    Program.PortOpened(true);
    return true;
}

void TTargetPort::Close()
{
    if (Inner.Opened())
        Program.PortOpened(false);
    Inner.Close();
}

void TTargetPort::SetLineParams(const TLineParams &params)
{
    Program.SetBaud(params.Baud);
    Inner.SetLineParams(params);
}

bool TTargetPort::Write(const std::string &text)
{
    if (!DataToProgram)
        return Inner.Write(text);
    if (!Inner.Opened())
        return false;
    Program.Write(text);
    return true;
}
