// Unattended runs of the tool (the demo without a display, start-up measurements),
// switched on by the environment:
//   KVTOOL_SCREENSHOT=FILE     once the first search has filled the table, save the window
//                              as a PNG and end (exit code 0 when the file was written)
//   KVTOOL_EXIT_AFTER_SHOW=1   end as soon as the main window has been shown (with
//                              KVTOOL_T0_MS, the starter's monotonic clock in ms, it
//                              reports the time from there to the shown window)
//   KVTOOL_CLOSE_AFTER_MS=N    close the main window N ms after start (shutdown tests)
//   KVTOOL_TOUR=DIR            once the first search has filled the table, visit every
//                              page, start on each what it offers with the devices found
//                              (version query, login, restore defaults), save each page as
//                              DIR/kvtool-PAGE-TAG.png (TAG from KVTOOL_TOUR_TAG, default
//                              en) and end
#pragma once

#include <QString>

class MainFrame;

namespace DemoCapture {
void installFromEnvironment(MainFrame* frame);
// Saves the window once its search page has loaded a search; then quits the application.
void captureAfterSearch(MainFrame* frame, const QString& path, int settleMs);
// The tour of every page after the first search (see KVTOOL_TOUR).
void tourAfterSearch(MainFrame* frame, const QString& dir, const QString& tag);
}
