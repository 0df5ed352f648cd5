#pragma once

#include "CParameter.h"

#include <QString>
#include <memory>
#include <vector>

class QIODevice;

// A named section; owns its parameters, kept in document order. Keys may
// repeat: look-ups use the first parameter with a key, stores the last.
class CSection {
public:
    explicit CSection(const QString &name);
    virtual ~CSection() = default;

    CSection(const CSection &) = delete;
    CSection &operator=(const CSection &) = delete;

    // Appends a parameter, also when the key exists; the new parameter count.
    int AddParameter(const QString &key, const QString &value);
    // The first parameter's value for the key, or a null text.
    QString GetValue(const QString &key) const;
    // 1 when the last parameter with the key changed, else AddParameter's count.
    int SetValue(const QString &key, const QString &value);
    // Header bytes written plus the number of parameter lines.
    int Write(QIODevice &device) const;

    QString name;
    std::vector<std::unique_ptr<CParameter>> parameters;
};
