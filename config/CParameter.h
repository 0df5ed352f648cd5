#pragma once

#include <QString>

class QIODevice;

// One key/value line of a section. A null value means "no value", which is
// not the same as an empty text.
class CParameter {
public:
    CParameter(const QString &key, const QString &value);
    virtual ~CParameter() = default;

    CParameter(const CParameter &) = delete;
    CParameter &operator=(const CParameter &) = delete;

    int SetValue(const QString &value);
    // Writes "key=value\n" to the open device; always 1.
    int Write(QIODevice &device) const;

    QString key;
    QString value;
};
