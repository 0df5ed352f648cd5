#include "CParameter.h"

#include <QIODevice>
#include <QTextStream>

CParameter::CParameter(const QString &key_, const QString &value_) : key(key_), value(value_) {}

int CParameter::SetValue(const QString &value_) {
    value = value_;
    return 1;
}

int CParameter::Write(QIODevice &device) const {
    // Key and value are streamed as they are; a "%1" inside them stays text.
    QTextStream stream(&device);
    stream.setEncoding(QStringConverter::Utf8);
    stream << key << '=' << value << '\n';
    return 1;
}
