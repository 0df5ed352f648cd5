// The text format: what Read makes of lines, what Write produces, and the
// file conditions that leave the document untouched.
#include "CConfigFile.h"
#include "CConfigFileR.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Doc {
    CConfigFileR *doc = static_cast<CConfigFileR *>(CreateConfigFile());
    ~Doc() { doc->Release(); }
    CConfigFileR *operator->() const { return doc; }
};

class ConfigText : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::string path(const char *name = "conf") const {
        return (dir.path() + "/" + name).toStdString();
    }
    std::string write(const std::string &bytes, const char *name = "conf") const {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }
    static std::string slurp(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // "name|key=value|key=value" per section, null values shown as key=(null).
    static std::string dump(const CConfigFileR &doc) {
        std::string out;
        for (const auto &s : doc.sections) {
            out += "[" + s->name.toStdString() + "]";
            for (const auto &p : s->parameters) {
                out += "|" + p->key.toStdString() + "=" +
                       (p->value.isNull() ? "(null)" : p->value.toStdString());
            }
            out += "\n";
        }
        return out;
    }
};

TEST_F(ConfigText, LinesAndWhatTheyBecome) {
    struct Case {
        const char *what;
        std::string text;
        std::string document;
    };
    const Case cases[] = {
        {"empty file", "", ""},
        {"header and keys", "[vnic0]\nDHCP=1\nScope start = 10.0.0.1\n",
         "[vnic0]|DHCP=1|Scope start=10.0.0.1\n"},
        {"text after the bracket stays", "[abc]x\n", "[abc]]\n"},
        {"missing bracket cuts the name", "[abc\n", "[ab]\n"},
        {"lone bracket", "[\n", "[]\n"},
        {"empty brackets", "[]\n", "[]\n"},
        {"blanks inside the brackets", "[ a b ]\n", "[ a b ]\n"},
        {"comment behind a header", "[abc] # note\n", "[abc] # not]\n"},
        {"key without value", "[s]\nk=\nj=   \n", "[s]|k=(null)|j=(null)\n"},
        {"split at the first =", "[s]\nk = a=b=c\n", "[s]|k=a=b=c\n"},
        {"lines that add nothing", "[s]\n\nno equals\n=value\n# k=v\n", "[s]\n"},
        {"parameters before any header", "k=v\n[s]\n", "[s]\n"},
        {"hash inside a value", "[s]\nk=a#b\n", "[s]|k=a#b\n"},
        {"indented comment and header", "   # c\n\t[s]\t\n  k=v\n", "[s]|k=v\n"},
        {"repeated headers and keys", "[s]\nk=1\nk=2\n[s]\n", "[s]|k=1|k=2\n[s]\n"},
        {"CR LF", "[s]\r\nk=v\r\nj=w\r\n", "[s]|k=v|j=w\n"},
        {"lone CR", "[s]\rk=v\rj=w", "[s]|k=v|j=w\n"},
        {"mixed ends", "[s]\r\r\nk=v\n\rj=w\r\n\nx=y\r", "[s]|k=v|j=w|x=y\n"},
        {"last line without end", "[s]\nk=v", "[s]|k=v\n"},
        {"byte order mark", "\xEF\xBB\xBF[s]\nk=v\n", "[s]|k=v\n"},
        {"non-ASCII", "[n\xC3\xA4me]\nk\xC3\xBC=v\xE2\x82\xAC\n",
         "[n\xC3\xA4me]|k\xC3\xBC=v\xE2\x82\xAC\n"},
        {"Unicode spaces trimmed", "[s]\n\xC2\xA0k\xE2\x80\x83=\xC2\xA0v\n", "[s]|k=v\n"},
    };
    for (const Case &c : cases) {
        Doc d;
        EXPECT_EQ(d->Read(QString::fromStdString(write(c.text))), 1) << c.what;
        EXPECT_EQ(dump(*d.doc), c.document) << c.what;
    }
}

TEST_F(ConfigText, SizeLimitCountsTheBytesRead) {
    const std::string header = "[s]\nk=v\n";
    const std::string exact = header + std::string(20480 - header.size(), '#');
    {
        Doc d;
        EXPECT_EQ(d->Read(QString::fromStdString(write(exact))), 1);
        EXPECT_EQ(dump(*d.doc), "[s]|k=v\n");
    }
    {
        Doc d;
        d->SetString("keep", "me", "1");
        EXPECT_EQ(d->Read(QString::fromStdString(write(exact + "#"))), -2);
        EXPECT_EQ(dump(*d.doc), "[keep]|me=1\n");
    }
}

// Devices, FIFOs and /proc files report size 0: the limit must still hold.
TEST_F(ConfigText, UnsizedFilesAreBoundedToo) {
    Doc d;
    d->SetString("keep", "me", "1");
    EXPECT_EQ(d->Read("/dev/zero"), -2);
    EXPECT_EQ(dump(*d.doc), "[keep]|me=1\n");

    const std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        FILE *f = std::fopen(fifo.c_str(), "w");
        std::fputs("[f]\nk=v\n", f);
        std::fclose(f);
        _exit(0);
    }
    EXPECT_EQ(d->Read(QString::fromStdString(fifo)), 1);
    EXPECT_EQ(dump(*d.doc), "[f]|k=v\n");
    waitpid(writer, nullptr, 0);

    // A small /proc file reads whole although its size is 0.
    EXPECT_EQ(d->Read("/proc/self/stat"), 1);
}

TEST_F(ConfigText, UnreadableFilesLeaveTheDocumentAlone) {
    Doc d;
    d->SetString("keep", "me", "1");
    EXPECT_EQ(d->Read(QString::fromStdString(path("missing"))), -1);
    EXPECT_EQ(d->Read(dir.path()), -1); // a directory
    EXPECT_EQ(dump(*d.doc), "[keep]|me=1\n");
}

TEST_F(ConfigText, ReadReplacesTheWholeDocument) {
    Doc d;
    d->SetString("old", "k", "v");
    EXPECT_EQ(d->Read(QString::fromStdString(write("[new]\n"))), 1);
    EXPECT_EQ(dump(*d.doc), "[new]\n");
}

TEST_F(ConfigText, WriteFormAndResult) {
    Doc d;
    d->SetString("a", "k", "v");
    d->SetString("a", "empty", QString());
    d->SetString("b%1", "%1 key", "50% %2");
    // A line of more than a few hundred bytes, in characters of three.
    const QString euros(300, QChar(0x20AC));
    d->SetString("b%1", "long", euros);
    std::string longLine = "long=";
    for (int i = 0; i < 300; ++i) {
        longLine += "\xE2\x82\xAC";
    }
    const std::string file = path("out");
    // Last section's count: "[b%1]\n" is 6 bytes, plus two parameter lines.
    EXPECT_EQ(d->Write(QString::fromStdString(file)), 8);
    EXPECT_EQ(slurp(file), "[a]\nk=v\nempty=\n[b%1]\n%1 key=50% %2\n" + longLine + "\n");
}

TEST_F(ConfigText, WriteOfAnEmptyDocumentEmptiesTheFile) {
    Doc d;
    const std::string file = write("old content", "out");
    EXPECT_EQ(d->Write(QString::fromStdString(file)), -1);
    EXPECT_EQ(slurp(file), "");
    EXPECT_EQ(d->Write(QString::fromStdString(path("no/such/dir/out"))), -1);
}

TEST_F(ConfigText, WriteThenReadGivesTheDocumentBack) {
    Doc d;
    d->SetString("vnic0", "DHCP", "1");
    d->SetString("vnic0", "Scope start", "10.37.129.1");
    d->SetString("Ädapter ☃", "Schlüssel", "Wert € ✓");
    d->SetString("vnic0", "expr", "a=b");
    const QString file = QString::fromStdString(path("rt"));
    ASSERT_GT(d->Write(file), 0);
    Doc back;
    ASSERT_EQ(back->Read(file), 1);
    EXPECT_EQ(dump(*back.doc), dump(*d.doc));
}

TEST_F(ConfigText, RoundTripLossesAreThoseOfTheFormat) {
    Doc d;
    d->SetString("s", "empty", QStringLiteral("")); // comes back without value
    d->SetString("s", " padded ", " v ");           // comes back trimmed
    d->SetString("s", "a=b", "c");                  // split at the first "="
    d->SetString("s", "#k", "v");                   // becomes a comment
    d->SetString("s", "[k", "v");                   // becomes a header
    d->SetString("t", "", "v");                     // empty key is dropped
    const QString file = QString::fromStdString(path("rt"));
    ASSERT_GT(d->Write(file), 0);
    Doc back;
    ASSERT_EQ(back->Read(file), 1);
    EXPECT_EQ(dump(*back.doc), "[s]|empty=(null)|padded=v|a=b=c\n[k=]\n[t]\n");
}

TEST(ConfigConstructor, NamedFileIsReadAtOnce) {
    QTemporaryDir dir;
    const QString file = dir.path() + "/c";
    { std::ofstream(file.toStdString()) << "[s]\nk=v\n"; }
    CConfigFileR doc(file);
    EXPECT_EQ(doc.GetString("s", "k", "d"), "v");
    CConfigFileR missing(dir.path() + "/none");
    EXPECT_EQ(missing.GetSectionCount(), 0);
}

} // namespace
