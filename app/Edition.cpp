#include "Edition.h"

#include <algorithm>
#include <initializer_list>

namespace {

struct SwitchRow {
    EditionSwitch what;
    std::initializer_list<int> editions;
};

const SwitchRow kSwitches[] = {
    {EditionSwitch::NoMainLogo, {20}},
    {EditionSwitch::UpperLogo, {2}},
    {EditionSwitch::BarLogo, {3, 17, 20, 27}},
    {EditionSwitch::NoStretchAfterBarLogo, {27}},
    {EditionSwitch::TallTitleBar, {2}},
    {EditionSwitch::OwnAboutText, {10, 16, 27}},
    {EditionSwitch::AboutTitle126, {16}},
    {EditionSwitch::WideDialogTitle, {16}},
    {EditionSwitch::ToolBarObjectNames, {10}},
    {EditionSwitch::DeviceInfoPage, {13, 22}},
    {EditionSwitch::ImportExportPage, {16}},
    {EditionSwitch::ProtocolSelector, {13, 20, 26}},
    {EditionSwitch::MessageLeftAligned, {27}},
    {EditionSwitch::FileDialogLabels, {19}},
    {EditionSwitch::SearchColumn5Other, {7}},
    {EditionSwitch::ImportExportTypeCheck, {16}},
    {EditionSwitch::HideBottomOnOnvifRow, {20}},
    {EditionSwitch::VersionQueryMatch, {13}},
    {EditionSwitch::DeviceInfoSecondPage, {22}},
    {EditionSwitch::FactoryBoardPrefixes, {8}},
    {EditionSwitch::KeepRestoreOptions, {12}},
    {EditionSwitch::SecondLogin, {8}},
};

struct ByteRow {
    int edition;
    int value;
};

const ByteRow kSearchVariants[] = {{1, 3}, {8, 2}, {9, 4}, {11, 6}, {20, 7}, {21, 4}, {24, 1}, {28, 8}};
const ByteRow kLoginOnlyVariants[] = {{25, 5}};

struct LanguageRow {
    int edition;
    std::initializer_list<const char*> files;
    const char* password;  // nullptr: the common default
};

const LanguageRow kLanguages[] = {
    {1, {"CHT.xml"}, nullptr},
    {2, {"GER.xml"}, nullptr},
    {4, {"RUS_E4.xml", "ENU.xml"}, "90517236"},
    {5, {"RUS_E5.xml", "ENU.xml"}, nullptr},
    {6, {"RUS_E6.xml"}, nullptr},
    {7, {"ENU_E7.xml"}, nullptr},
    {8, {"ENU_E8.xml"}, "480296"},
    {10, {"ENU_E10.xml"}, nullptr},
    {11, {"RUS_E11.xml", "ENU.xml"}, nullptr},
    {12, {"ENU_E12.xml"}, nullptr},
    {13, {"CHS.xml", "ENU.xml"}, nullptr},
    {14, {"ENU_E14.xml"}, nullptr},
    {15, {"RUS_E15.xml"}, nullptr},
    {16, {"ENU_E16.xml"}, nullptr},
    {17, {"ENU_E17.xml"}, nullptr},
    {18, {"KOR_E18.xml", "ENU.xml"}, nullptr},
    {19, {"KR_E19.xml"}, nullptr},
    {20, {"KOR_E20.xml", "ENU.xml"}, nullptr},
    {22, {"CHS.xml", "ENU.xml"}, nullptr},
    {23, {"TUR_E23.xml"}, nullptr},
    {29, {"RUS_E29.xml", "ENU.xml"}, nullptr},
};

// The company lines of the editions with an About text of their own. %1..%4: label before
// the program name, the name, label before the version, the version.
struct AboutRow {
    int edition;
    const char* text;
};

const AboutRow kAbout[] = {
    {10, "Harbourline Security Systems Ltd.\n\n%1 %2\n\n%3 %4"},
    {16, "%1%2\n\n%3%4\n\n2026 Northfield Vision GmbH"},
    {27, "%1 %2\n%3 %4\nKestrel Optics B.V.\nHavenstraat 12\n3011 AB Rotterdam\n"
         "E-mail: support@kestrel-optics.example"},
};

int lookup(const ByteRow* begin, const ByteRow* end, int edition, int dflt)
{
    auto it = std::find_if(begin, end, [edition](const ByteRow& r) { return r.edition == edition; });
    return it == end ? dflt : it->value;
}

}  // namespace

namespace Edition {

bool Has(EditionSwitch what, int edition)
{
    for (const SwitchRow& row : kSwitches)
        if (row.what == what)
            return std::find(row.editions.begin(), row.editions.end(), edition) != row.editions.end();
    return false;
}

int SearchVariant(int edition)
{
    return lookup(std::begin(kSearchVariants), std::end(kSearchVariants), edition, 0);
}

int LoginVariant(int edition)
{
    int v = lookup(std::begin(kLoginOnlyVariants), std::end(kLoginOnlyVariants), edition, -1);
    return v >= 0 ? v : SearchVariant(edition);
}

QStringList LanguageFiles(int edition)
{
    for (const LanguageRow& row : kLanguages)
        if (row.edition == edition) {
            QStringList files;
            for (const char* f : row.files)
                files << QString::fromLatin1(f);
            return files;
        }
    return QStringList{QStringLiteral("ENU.xml")};
}

QString DefaultPassword(int edition)
{
    for (const LanguageRow& row : kLanguages)
        if (row.edition == edition && row.password)
            return QString::fromLatin1(row.password);
    return QString();
}

QString AboutTemplate(int edition)
{
    for (const AboutRow& row : kAbout)
        if (row.edition == edition)
            return QString::fromUtf8(row.text);
    return QString();
}

}  // namespace Edition
