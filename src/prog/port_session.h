// Opens the port the settings name and hands out the line interface the programming thread drives:
// the serial port itself (a real device, or the virtual target behind the name "sim"), wrapped in a
// trace recorder when the settings ask for one.
#pragma once
#include <memory>
#include <string>

class T_QCCom32;
class TLineInterface;
class TLineTrace;
class TVirtualTarget;
struct TSettings;

enum class TOpenResult { Ok, PortError, FileError };

// "cannot open serial port DEVICE: REASON", with the way into the group dialout for EACCES.
std::string PortOpenError(const std::string &device, int reason);

class TPortSession {
public:
    TPortSession(T_QCCom32 &port, const TSettings &settings);
    ~TPortSession();
    TPortSession(const TPortSession &) = delete;
    TPortSession &operator=(const TPortSession &) = delete;

    // simImage: where the virtual chip keeps its memory (used for the name "sim"; empty: nowhere).
    // On failure, error says what could not be opened and why. Opening again applies changed settings
    // and keeps the virtual chip and the trace recorder while the settings still name them.
    TOpenResult Open(const std::string &simImage, std::string &error);

    // Writes out what the session keeps in files (the trace, the virtual chip's image) and says what
    // could not be written; empty when everything was kept.
    std::string Flush();

    TLineInterface &Lines();
    // Reads and discards what the port has received.
    void Drain();
    TVirtualTarget *Virtual() { return Target.get(); }

private:
    TOpenResult OpenTarget(const std::string &simImage, std::string &error);
    TOpenResult OpenTrace(std::string &error);
    void DropTarget();

    T_QCCom32 &Port;
    const TSettings &Settings;
    std::unique_ptr<TVirtualTarget> Target;
    std::unique_ptr<TLineTrace> Trace;
    std::string TargetImage;
    std::string TracePath;
};
