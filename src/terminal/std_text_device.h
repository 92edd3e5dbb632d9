// Stream buffers that make a console the program's standard output (written in blocks of up to
// 128 characters) or standard input (served one line at a time by ReadBuf).
#pragma once
#include <streambuf>

class TConsole;

class TConsoleOutputBuf : public std::streambuf {
public:
    explicit TConsoleOutputBuf(TConsole &console);
    ~TConsoleOutputBuf() override;

protected:
    int_type overflow(int_type ch) override;
    int sync() override;

private:
    TConsole &Console;
    char Block[128];
};

class TConsoleInputBuf : public std::streambuf {
public:
    explicit TConsoleInputBuf(TConsole &console) : Console(console) {}

protected:
    int_type underflow() override;

private:
    TConsole &Console;
    char Line[128];
};
