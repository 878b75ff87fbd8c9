// What the edition code changes outside the settings themselves, as data.
#pragma once

#include <QString>
#include <QStringList>

enum class EditionSwitch {
    NoMainLogo,             // no logo in the main title bar
    UpperLogo,              // second logo in a row of its own above the main title bar
    BarLogo,                // second logo inside the main title bar
    NoStretchAfterBarLogo,  // the bar logo sits right before the About button
    TallTitleBar,           // main title bar 150 pixels high instead of 50
    OwnAboutText,           // an About text of the edition's own with its company lines
    AboutTitle126,          // About box titled with text 126 instead of 7
    WideDialogTitle,        // dialog title label at least 120 pixels wide
    ToolBarObjectNames,     // filter edit and column selector named for the style sheet
    DeviceInfoPage,         // device information page button shown
    ImportExportPage,       // import and export page button shown
    ProtocolSelector,       // protocol label and selector shown
    MessageLeftAligned,     // message text aligned left, 40 pixels after the icon
    FileDialogLabels,       // file dialog labels from texts 128 to 132
    SearchColumn5Other,     // search table column 5 of a one-channel device: other text
    ImportExportTypeCheck,  // import and export table: one device type only
    HideBottomOnOnvifRow,   // bottom frame hidden when an ONVIF table row is clicked
    VersionQueryMatch,      // version query and match on the upgrade page
    DeviceInfoSecondPage,   // device information page opens on its second inner page
    FactoryBoardPrefixes,   // factory-information check of the main-board name prefixes
    KeepRestoreOptions,     // restore-defaults options of device types '2' and '4' kept
    SecondLogin,            // login page logs in again after a code other than 101
};

namespace Edition {

bool Has(EditionSwitch what, int edition);
// Variant byte of the search request and of the login.
int SearchVariant(int edition);
int LoginVariant(int edition);
// The language files the edition offers, in menu order.
QStringList LanguageFiles(int edition);
// The default device password; empty when the edition keeps the common one.
QString DefaultPassword(int edition);
// The edition's own company lines for the About box; empty for the common template.
QString AboutTemplate(int edition);

}  // namespace Edition
