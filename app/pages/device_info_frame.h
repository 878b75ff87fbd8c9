// Placeholder of the page: the member functions the main window and the search page call.
#pragma once

#include "placeholder_page.h"

class DeviceInfo;

class DeviceInfoFrame : public PlaceholderPage {
    Q_OBJECT
public:
    explicit DeviceInfoFrame(QWidget* parent = nullptr) : PlaceholderPage(QStringLiteral("DeviceInfoFrame"), parent) {}
    // A search has ended: reload the table from the device list manager.
    void OnSearchDeviceDone() { noteReload(); }
};
