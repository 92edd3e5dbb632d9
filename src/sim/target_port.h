// The port of a virtual target whose chip runs its program: the lines and the open state of another
// back end (the adapter's lines, or a simulated cable's chip), the program told when the port opens
// and closes and at which rate the terminal reads. The data path reaches the program directly unless
// a cable's chip carries it (a simulated FTDI cable hears the program on its UART pins, and loses
// what it sends while in bit-bang mode, as a real one does).
#pragma once
#include "link/forwarding_lines.h"
#include "link/port_back_end.h"
#include "link/virtual_serial.h"

class TTargetPort final : public TForwardingTo<TPortBackEnd> {
public:
    TTargetPort(TPortBackEnd &inner, TVirtualSerial &program, bool dataToProgram)
        : Inner(inner), Program(program), DataToProgram(dataToProgram)
    {
    }

    bool Open(const TLineParams &params) override;
    void Close() override;
    bool Opened() const override { return Inner.Opened(); }
    std::string OpenError() const override { return Inner.OpenError(); }
    void SetLineParams(const TLineParams &params) override;

    bool Write(const std::string &text) override;
    std::string ReadQueued() override { return DataToProgram ? Program.ReadQueued() : Inner.ReadQueued(); }
    int InCount() override { return DataToProgram ? Program.InCount() : Inner.InCount(); }
    int OutCount() override { return Inner.OutCount(); }
    std::vector<std::string> LineFailures() const override { return Inner.LineFailures(); }
    bool KeepsState() const override { return Inner.KeepsState(); }
    // A change of rate leaves the program running, as a chip runs on when the terminal changes its own.
    bool ParamsWhileOpen() const override { return true; }
    std::string TargetFailure() const override { return Program.Failure(); }
    std::string TargetProblem() const override { return Program.Problem(); }

private:
    TLineInterface &Next() const override { return Inner; }

    TPortBackEnd &Inner;
    TVirtualSerial &Program;
    bool DataToProgram;
};
