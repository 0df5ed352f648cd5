#pragma once

#include <QString>

// An INI-style configuration document: named sections of key/value parameters.
//
// The document is seen only through this interface and ended only by Release():
// it is never deleted through a CConfigFile pointer, which is why the destructor
// is protected and not virtual. Look-ups never fail; every miss (no section, no
// key, a key without value, a text that is no number) yields the caller's default.
class CConfigFile {
public:
    virtual QString GetString(const QString &section, const QString &key,
                              const QString &defaultValue) = 0;
    virtual int GetNumber(const QString &section, const QString &key, int base,
                          int defaultValue) = 0;
    virtual int SetString(const QString &section, const QString &key, const QString &value) = 0;
    virtual int SetNumber(const QString &section, const QString &key, int value, int base) = 0;
    // Writes the document as text; -1 when the file can't be opened or the
    // document has no section, else the last section's write count.
    virtual int Write(const QString &fileName) = 0;
    // Replaces the document with the file's content: 1 on success, -1 when the
    // file can't be read, -2 when it is larger than kMaxConfigFileSize. The
    // document is untouched on failure.
    virtual int Read(const QString &fileName) = 0;
    virtual void Release() = 0;
    virtual int GetSectionCount() = 0;

protected:
    CConfigFile() = default;
    CConfigFile(const CConfigFile &) = default;
    CConfigFile &operator=(const CConfigFile &) = default;
    ~CConfigFile() = default;
};

// A new, empty document owned by the caller, who ends it with Release().
CConfigFile *CreateConfigFile();
