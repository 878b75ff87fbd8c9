// The settings and a text catalogue for the device record and table tests: edition as
// given, texts "T<id>" so each shown text names its ID.
#pragma once

#include "apptest.h"

namespace devtest {

inline apptest::AppFolder& appFolder(int edition = 0)
{
    static apptest::AppFolder folder;
    folder.setConfig(apptest::configXml({"ENU.xml", "ENU_E16.xml"}, edition, "0"));
    folder.addLanguage("ENU.xml", apptest::languageXml("T", 200));
    folder.addLanguage("ENU_E16.xml", apptest::languageXml("T", 200));
    folder.load();
    return folder;
}

} // namespace devtest
