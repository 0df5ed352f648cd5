#pragma once

#include "CConfigFile.h"
#include "CSection.h"

#include <QFile>
#include <memory>
#include <vector>

// Files larger than this are refused whole by Read().
inline constexpr qint64 kMaxConfigFileSize = 20480;

// The one implementation of CConfigFile: sections in document order, each
// owning its parameters. Sections may repeat; look-ups and stores use the last.
class CConfigFileR : public CConfigFile {
public:
    // Reads fileName at once when it is not empty; the outcome is not reported.
    explicit CConfigFileR(const QString &fileName);

    QString GetString(const QString &section, const QString &key,
                      const QString &defaultValue) override;
    int GetNumber(const QString &section, const QString &key, int base, int defaultValue) override;
    int SetString(const QString &section, const QString &key, const QString &value) override;
    int SetNumber(const QString &section, const QString &key, int value, int base) override;
    int Write(const QString &fileName) override;
    int Read(const QString &fileName) override;
    void Release() override;
    int GetSectionCount() override;

    // Read and Write without the file: the text of a whole document (already
    // within the size limit) in place of the sections, and the document
    // written to an open device. Parse returns 1, WriteTo what Write returns
    // once the file is open.
    int Parse(const QByteArray &bytes);
    int WriteTo(QIODevice &device) const;

    virtual ~CConfigFileR();

    CConfigFileR(const CConfigFileR &) = delete;
    CConfigFileR &operator=(const CConfigFileR &) = delete;

    std::vector<std::unique_ptr<CSection>> sections;
    QFile file;

private:
    CSection *FindSection(const QString &name) const;
};
