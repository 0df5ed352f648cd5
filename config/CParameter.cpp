#include "CParameter.h"

#include <QByteArray>
#include <QIODevice>
#include <QStringEncoder>

CParameter::CParameter(const QString &key_, const QString &value_) : key(key_), value(value_) {}

int CParameter::SetValue(const QString &value_) {
    value = value_;
    return 1;
}

int CParameter::Write(QIODevice &device) const {
    // Key and value are written as they are; a "%1" inside them stays text.
    // The line is encoded into a buffer on the stack when it fits, and goes
    // out in one write: a document has thousands of lines, and a text stream
    // or a heap copy per line cost more than parsing it.
    QStringEncoder encoder(QStringConverter::Utf8);
    const qsizetype room = encoder.requiredSpace(key.size() + value.size() + 2);
    char small[512];
    QByteArray large;
    char *const line = room <= qsizetype{sizeof small} ? small : (large.resize(room), large.data());
    char *end = encoder.appendToBuffer(line, key);
    end = encoder.appendToBuffer(end, u"=");
    end = encoder.appendToBuffer(end, value);
    end = encoder.appendToBuffer(end, u"\n");
    device.write(line, end - line);
    return 1;
}
