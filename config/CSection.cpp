#include "CSection.h"

#include <QIODevice>

CSection::CSection(const QString &name_) : name(name_) {}

int CSection::AddParameter(const QString &key, const QString &value) {
    parameters.push_back(std::make_unique<CParameter>(key, value));
    return static_cast<int>(parameters.size());
}

QString CSection::GetValue(const QString &key) const {
    for (const auto &parameter : parameters) {
        if (parameter->key == key) {
            return parameter->value;
        }
    }
    return QString();
}

int CSection::SetValue(const QString &key, const QString &value) {
    CParameter *last = nullptr;
    for (const auto &parameter : parameters) {
        if (parameter->key == key) {
            last = parameter.get();
        }
    }
    if (last != nullptr) {
        return last->SetValue(value);
    }
    return AddParameter(key, value);
}

int CSection::Write(QIODevice &device) const {
    // The header goes straight to the device, then each parameter writes its
    // own line to it (CParameter::Write).
    const QByteArray header = QStringLiteral("[%1]\n").arg(name).toUtf8();
    auto result = static_cast<int>(device.write(header));
    for (const auto &parameter : parameters) {
        result += parameter->Write(device);
    }
    return result;
}
