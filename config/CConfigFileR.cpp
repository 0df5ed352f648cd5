#include "CConfigFileR.h"

#include <QStringConverter>
#include <QStringView>
#include <algorithm>
#include <optional>

namespace {

// Reads at most limit + 1 bytes, so that an oversized file shows itself even
// where QFile::size() knows nothing (devices, FIFOs, /proc): -c /dev/zero must
// not read without bound. Empty optional: the read itself failed.
std::optional<QByteArray> readBounded(QFile &file, qint64 limit) {
    QByteArray bytes;
    char chunk[4096];
    while (bytes.size() <= limit) {
        const qint64 want = std::min<qint64>(sizeof chunk, limit + 1 - bytes.size());
        const qint64 got = file.read(chunk, want);
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        // got is at most sizeof chunk, so it fits a 32-bit qsizetype.
        bytes.append(chunk, static_cast<qsizetype>(got));
    }
    return bytes;
}

// Calls visit(line) for each line of text, split at LF, CR LF and a lone CR
// alike. The lines are views into text, and the line ends are found with
// Qt's own search: a document of thousands of lines is parsed without a copy
// or a comparison of ours per character.
template <typename Visit> void forEachLine(QStringView text, Visit visit) {
    qsizetype start = 0;
    qsizetype lf = text.indexOf(u'\n');
    qsizetype cr = text.indexOf(u'\r');
    while (lf >= 0 || cr >= 0) {
        const qsizetype end = cr < 0 || (lf >= 0 && lf < cr) ? lf : cr;
        visit(text.sliced(start, end - start));
        start = end == cr && lf == cr + 1 ? lf + 1 : end + 1;
        if (lf >= 0 && lf < start) {
            lf = text.indexOf(u'\n', start);
        }
        if (cr >= 0 && cr < start) {
            cr = text.indexOf(u'\r', start);
        }
    }
    if (start < text.size()) {
        visit(text.sliced(start));
    }
}

} // namespace

CConfigFile *CreateConfigFile() {
    return new CConfigFileR(QString());
}

CConfigFileR::CConfigFileR(const QString &fileName) : file(fileName) {
    if (!fileName.isEmpty()) {
        // During construction only this class's Read can run; say so.
        CConfigFileR::Read(fileName);
    }
}

CConfigFileR::~CConfigFileR() {
    if (file.isOpen()) {
        file.close();
    }
    sections.clear();
}

void CConfigFileR::Release() {
    delete this;
}

int CConfigFileR::GetSectionCount() {
    return static_cast<int>(sections.size());
}

CSection *CConfigFileR::FindSection(const QString &name) const {
    // The last section of a name wins, also when an earlier one has the key.
    CSection *found = nullptr;
    for (const auto &section : sections) {
        if (section->name == name) {
            found = section.get();
        }
    }
    return found;
}

QString CConfigFileR::GetString(const QString &section, const QString &key,
                                const QString &defaultValue) {
    QString result;
    if (const CSection *found = FindSection(section)) {
        result = found->GetValue(key);
    }
    return result.isNull() ? defaultValue : result;
}

int CConfigFileR::GetNumber(const QString &section, const QString &key, int base,
                            int defaultValue) {
    const QString text = GetString(section, key, QString());
    if (text.isNull()) {
        return defaultValue;
    }
    // Qt 6's toInt() skips only ASCII blanks; trim every Unicode space first.
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, base);
    return ok ? value : defaultValue;
}

int CConfigFileR::SetString(const QString &section, const QString &key, const QString &value) {
    CSection *found = FindSection(section);
    if (found == nullptr) {
        sections.push_back(std::make_unique<CSection>(section));
        found = sections.back().get();
    }
    return found->SetValue(key, value);
}

int CConfigFileR::SetNumber(const QString &section, const QString &key, int value, int base) {
    return SetString(section, key, QString::number(value, base));
}

int CConfigFileR::Read(const QString &fileName) {
    file.setFileName(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    if (file.size() > kMaxConfigFileSize) {
        file.close();
        return -2;
    }
    const std::optional<QByteArray> bytes = readBounded(file, kMaxConfigFileSize);
    file.close();
    if (!bytes) {
        return -1;
    }
    if (bytes->size() > kMaxConfigFileSize) {
        return -2;
    }
    return Parse(*bytes);
}

int CConfigFileR::Parse(const QByteArray &bytes) {
    sections.clear();
    auto decoder = QStringDecoder(QStringConverter::Utf8);
    const QString text = decoder.decode(bytes);
    CSection *current = nullptr;
    forEachLine(text, [this, &current](QStringView raw) {
        const QStringView line = raw.trimmed();
        if (line.startsWith(u'#')) {
            return;
        }
        if (line.startsWith(u'[')) {
            // The name is whatever stands between the first and the last
            // character; the closing bracket is not looked for.
            const QStringView name =
                line.size() >= 2 ? line.sliced(1, line.size() - 2) : QStringView();
            sections.push_back(std::make_unique<CSection>(name.toString()));
            current = sections.back().get();
            return;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0 || current == nullptr) {
            return;
        }
        // "key=" has no value: null, not an empty text.
        const QStringView value = line.sliced(eq + 1).trimmed();
        current->AddParameter(line.first(eq).trimmed().toString(),
                              value.isEmpty() ? QString() : value.toString());
    });
    return 1;
}

int CConfigFileR::Write(const QString &fileName) {
    file.setFileName(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return -1;
    }
    const int result = WriteTo(file);
    file.close();
    return result;
}

int CConfigFileR::WriteTo(QIODevice &device) const {
    int result = -1;
    for (const auto &section : sections) {
        result = section->Write(device);
    }
    return result;
}
