// An INI file held whole in memory: sections in file order, each with its lines kept verbatim (key=value
// lines, comments, blank lines, anything else, NUL bytes too) and each line with its own line end, so
// that writing it back changes only the lines of the keys that were set. Lines before the first
// section are kept too. New lines end in CR LF. Section names and keys compare case-insensitively
// (ASCII letters); the first match wins.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// A settings file that could not be read or written; the message names the path and the reason.
class EIniFileError : public std::runtime_error {
public:
    EIniFileError(const std::string &message, const std::string &path);
    const std::string &Path() const { return FPath; }

private:
    std::string FPath;
};

class EIniReadError : public EIniFileError {
public:
    EIniReadError(const std::string &path, const std::string &reason);
};

class EIniWriteError : public EIniFileError {
public:
    EIniWriteError(const std::string &path, const std::string &reason);
};

// A key the file cannot hold as one line (a line break or NUL in it); nothing of it was stored.
class EIniValueError : public EIniFileError {
public:
    EIniValueError(const std::string &path, const std::string &ident, const std::string &reason);
};

class TBigIniFile {
public:
    // Reads FileName when it exists; an empty name means a store without a file.
    // Throws EIniReadError when the file exists but cannot be read.
    explicit TBigIniFile(const std::string &FileName);
    // Writes pending changes; a failure here cannot be reported and is dropped.
    virtual ~TBigIniFile();
    TBigIniFile(const TBigIniFile &) = delete;
    TBigIniFile &operator=(const TBigIniFile &) = delete;

    // Saves pending changes of the current file, then reads FileName. On a read error the
    // store keeps the previous file and its content.
    void OpenFile(const std::string &FileName);

    virtual std::string ReadString(const std::string &Section, const std::string &Ident,
                                   const std::string &Default) const;
    // Throws EIniValueError for text that cannot be stored as one line (CR, LF, NUL) and keeps the
    // key as it was.
    virtual void WriteString(const std::string &Section, const std::string &Ident,
                             const std::string &Value);
    virtual char ReadChar(const std::string &Section, const std::string &Ident, char Default) const;
    virtual void WriteChar(const std::string &Section, const std::string &Ident, char Value);
    virtual std::int32_t ReadInteger(const std::string &Section, const std::string &Ident,
                                     std::int32_t Default) const;
    virtual void WriteInteger(const std::string &Section, const std::string &Ident,
                              std::int32_t Value);
    virtual double ReadFloat(const std::string &Section, const std::string &Ident,
                             double Default) const;
    virtual void WriteFloat(const std::string &Section, const std::string &Ident, double Value);
    virtual bool ReadBool(const std::string &Section, const std::string &Ident, bool Default) const;
    virtual void WriteBool(const std::string &Section, const std::string &Ident, bool Value);
    virtual void ReadSection(const std::string &Section, std::vector<std::string> &List) const;
    virtual void ReadSectionValues(const std::string &Section,
                                   std::vector<std::string> &List) const;
    virtual void EraseSection(const std::string &Section);
    virtual void GetStrings(std::vector<std::string> &List) const;
    // Throws EIniWriteError when the file cannot be written; Modified then stays set.
    virtual void UpdateFile();

    const std::string &FileName() const { return FFileName; }
    bool Modified() const { return FModified; }

    // The 23-character float form, e.g. " 2.00000000000000E+0002".
    static std::string FormatFloat(double Value);
    // The whole-text conversions of ReadInteger and ReadFloat; false when the text does not convert.
    static bool ParseInteger(std::string Text, std::int32_t &Value);
    static bool ParseFloat(const std::string &Text, double &Value);

private:
    struct TLine {
        std::string Text;
        std::string End; // CR LF, LF or CR; empty for a last line without one
    };
    struct TSection {
        std::string Name;
        TLine Header; // its text is empty for the lines before the first section, which have none
        std::vector<TLine> Lines;
        bool Erased = false; // not written, until a key is set in it again
    };

    const TSection *FindSection(const std::string &Section) const;
    TSection *FindSection(const std::string &Section);
    const std::string *FindLine(const std::string &Section, const std::string &Ident) const;
    void SetKey(const std::string &Section, const std::string &Ident, const std::string &Value);
    // The lines as the file holds them, in order: headers and section lines, erased sections left out.
    std::vector<const TLine *> WrittenLines() const;

    std::vector<TSection> FSections;
    std::string FFileName;
    bool FModified = false;

    static std::vector<TSection> ParseText(const std::string &Text);
};

class TBiggerIniFile : public TBigIniFile {
public:
    using TBigIniFile::TBigIniFile;
};
