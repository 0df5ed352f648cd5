// Look-ups and stores of the configuration document: which section and which
// parameter answer when names repeat, null versus empty values, numbers.
#include "CConfigFile.h"
#include "CConfigFileR.h"

#include <gtest/gtest.h>

namespace {

// Owns a document through the interface, the way the daemon does.
struct Doc {
    CConfigFile *doc = CreateConfigFile();
    ~Doc() { doc->Release(); }
    CConfigFile *operator->() const { return doc; }
    CConfigFileR &impl() const { return *static_cast<CConfigFileR *>(doc); }
};

TEST(ConfigDocument, FreshDocumentIsEmptyAndAnswersDefaults) {
    Doc d;
    EXPECT_EQ(d->GetSectionCount(), 0);
    EXPECT_EQ(d->GetString("vnic0", "Scope start", "255.255.255.255"), "255.255.255.255");
    EXPECT_EQ(d->GetNumber("vnic0", "DHCP", 16, 1), 1);
    EXPECT_TRUE(d->GetString("vnic0", "x", QString()).isNull());
}

// The DHCP switch as the start-up code reads it: base 16, default 1.
TEST(ConfigDocument, DhcpSwitchInBase16) {
    struct Case {
        const char *stored; // nullptr: key without value
        int expected;
    };
    const Case cases[] = {
        {"1", 1},
        {"0", 0},
        {"10", 16},
        {"yes", 1},
        {nullptr, 1},
        {"ff", 255},
        {"FF", 255},
        {"-1", -1},
        {"+a", 10},
        {" 7 ", 7},
        {"\u00a07", 7}, // Qt 6 skips only ASCII blanks in toInt; every Unicode space counts here
        {"7fffffff", 0x7fffffff},
        {"80000000", 1},
        {"-80000000", INT32_MIN},
        {"", 1},
        {"1 0", 1},
        {"0x10", 16}, // the base marker is the conversion's own behaviour
    };
    for (const Case &c : cases) {
        Doc d;
        d->SetString("vnic0", "DHCP", c.stored ? QString::fromUtf8(c.stored) : QString());
        EXPECT_EQ(d->GetNumber("vnic0", "DHCP", 16, 1), c.expected)
            << "stored " << (c.stored ? c.stored : "(null)");
    }
}

TEST(ConfigDocument, MissingKeyOrSectionGivesDefault) {
    Doc d;
    d->SetString("vnic0", "Scope end", "10.0.0.254");
    EXPECT_EQ(d->GetNumber("vnic0", "DHCP", 16, 1), 1);
    EXPECT_EQ(d->GetNumber("vnic1", "DHCP", 16, 1), 1);
    EXPECT_EQ(d->GetString("vnic0", "Scope start", "255.255.255.255"), "255.255.255.255");
}

TEST(ConfigDocument, NamesAndKeysAreCaseSensitive) {
    Doc d;
    d->SetString("vnic0", "dhcp", "0");
    d->SetString("VNIC0", "DHCP", "0");
    EXPECT_EQ(d->GetNumber("vnic0", "DHCP", 16, 1), 1);
    EXPECT_EQ(d->GetNumber("vnic0", "dhcp", 16, 1), 0);
    EXPECT_EQ(d->GetSectionCount(), 2);
}

TEST(ConfigDocument, LastSectionOfANameIsTheOnlyOneSearched) {
    Doc d;
    auto &sections = d.impl().sections;
    sections.push_back(std::make_unique<CSection>("vnic0"));
    sections.back()->AddParameter("DHCP", "0");
    sections.push_back(std::make_unique<CSection>("vnic0"));
    sections.back()->AddParameter("Other", "1");
    EXPECT_EQ(d->GetSectionCount(), 2);
    EXPECT_EQ(d->GetNumber("vnic0", "DHCP", 16, 1), 1);
    // A store goes to the last section too.
    EXPECT_EQ(d->SetString("vnic0", "DHCP", "5"), 2);
    EXPECT_EQ(sections[0]->GetValue("DHCP"), "0");
    EXPECT_EQ(sections[1]->GetValue("DHCP"), "5");
}

TEST(ConfigDocument, RepeatedKeyReadsFirstAndStoresLast) {
    Doc d;
    d->SetString("s", "k", "first");
    auto &section = *d.impl().sections.at(0);
    EXPECT_EQ(section.AddParameter("k", "second"), 2);
    EXPECT_EQ(d->SetString("s", "k", "changed"), 1);
    EXPECT_EQ(d->GetString("s", "k", "def"), "first");
    EXPECT_EQ(section.parameters[1]->value, "changed");
}

TEST(ConfigDocument, SetStringResults) {
    Doc d;
    EXPECT_EQ(d->SetString("new", "a", "1"), 1); // new section, one parameter
    EXPECT_EQ(d->GetSectionCount(), 1);
    EXPECT_EQ(d->SetString("new", "b", "2"), 2);
    EXPECT_EQ(d->SetString("new", "a", "3"), 1); // existing key
    EXPECT_EQ(d->SetString("new", "c", "4"), 3); // new key among two
    EXPECT_EQ(d->SetString("later", "x", "y"), 1);
    EXPECT_EQ(d.impl().sections.back()->name, "later"); // appended at the end
}

TEST(ConfigDocument, NumbersRoundTripInTheirBase) {
    struct Case {
        int value;
        int base;
        const char *text;
    };
    const Case cases[] = {{255, 16, "ff"}, {-255, 16, "-ff"}, {0, 16, "0"},
                          {10, 10, "10"},  {5, 2, "101"},     {INT32_MIN, 16, "-80000000"},
                          {35, 36, "z"}};
    for (const Case &c : cases) {
        Doc d;
        d->SetNumber("s", "n", c.value, c.base);
        EXPECT_EQ(d->GetString("s", "n", QString()), c.text);
        EXPECT_EQ(d->GetNumber("s", "n", c.base, 12345), c.value);
    }
}

TEST(ConfigDocument, EmptyTextIsAValueButNotANumber) {
    Doc d;
    d->SetString("s", "k", QStringLiteral(""));
    const QString got = d->GetString("s", "k", "default");
    EXPECT_FALSE(got.isNull());
    EXPECT_TRUE(got.isEmpty());
    EXPECT_EQ(d->GetNumber("s", "k", 16, 7), 7);
}

// GetNumber reads through the interface, so an override of GetString is seen.
TEST(ConfigDocument, GetNumberGoesThroughGetString) {
    struct Override : CConfigFileR {
        Override() : CConfigFileR(QString()) {}
        QString GetString(const QString &, const QString &, const QString &) override {
            return "2a";
        }
    };
    Override o;
    EXPECT_EQ(o.GetNumber("a", "b", 16, 0), 42);
}

} // namespace
