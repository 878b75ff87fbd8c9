#!/usr/bin/env python3
"""Writes every language file of the tool from the one table below.

A text is found by the position of its <string> element, so all files must
hold the same IDs in the same order; generating them from one table keeps
them aligned.  Edit the table, run this script, commit the table and the
XML together.  Standard library only.

    python3 make_languages.py [output-dir]     (default: this script's folder)
"""
import os
import sys
from xml.sax.saxutils import escape

# Role of every text ID the tool shows.  IDs missing here are unused and
# hold PLACEHOLDER so that the positions of the later IDs stay put.
ROLES = {
    0: "program name: main window title, second value of the About text",
    2: "About text: label before the program name",
    3: "About text: label before the version",
    4: "message box button OK",
    5: "message box button Cancel",
    6: "dialog title of the upgrade and import/export pages and of the type check",
    7: "title-bar menu entry About; About box title",
    8: "tool tip of the minimise button",
    9: "tool tip of the close button",
    10: "tool bar search page button (text and tool tip); Search buttons of the device information page",
    11: "tool bar upgrade page button (text and tool tip); Upgrade button",
    12: "label: user name",
    13: "label: password",
    14: "tool bar: label of the filter edit",
    15: "device status: logged in",
    16: "device status: login failed",
    17: "device status: login failed, no such user",
    18: "device status: login failed, wrong password",
    19: "device status: working (also the login panel before it sends a change)",
    20: "device status: done",
    21: "device status: failed",
    22: "upgrade status: connection closed",
    23: "upgrade status: succeeded",
    24: "upgrade status: ended with another code",
    25: "upgrade status: firmware file could not be read",
    26: "upgrade status: invalid firmware file",
    27: "upgrade status: in progress; the percentage follows directly",
    28: "upgrade status: version error",
    29: "upgrade status: the device is already upgrading",
    30: "upgrade status: writing the flash",
    31: "table header: row number",
    32: "table header, label and filter entry: IP address",
    33: "table header, label and filter entry: media port",
    34: "table header and filter entry: channel count",
    35: "search table header: the device's name text",
    36: "table header: firmware version",
    37: "table header and label: subnet mask",
    38: "table header and label: gateway",
    39: "table header: MAC address",
    42: "table header and label: web port",
    43: "search table header: network mode",
    44: "table header: status",
    45: "label: first address of a batch address change",
    46: "search page: title of the user group",
    47: "search page: title of the device group",
    48: "upgrade page: label of the firmware path",
    49: "upgrade page: button that opens the file dialog",
    50: "message: the firmware file does not exist",
    51: "message: no device is checked",
    52: "file dialog filter name of firmware files (the patterns follow directly)",
    53: "file dialog caption: choose the firmware file",
    54: "label of the network mode selector",
    55: "network mode: unknown value",
    56: "network mode 0: DHCP",
    57: "network mode 1",
    58: "network mode 2: fixed address",
    59: "button: change the network settings",
    60: "table header: device type",
    61: "configuration panel: Reboot page button and reboot button",
    62: "configuration panel: password page button",
    63: "configuration panel and device information page: restore defaults",
    64: "button: apply (configuration panel, factory information)",
    66: "restore defaults category: advanced",
    67: "restore defaults category: alarm",
    68: "restore defaults category: device",
    69: "restore defaults category: display",
    70: "restore defaults category: network",
    71: "restore defaults category: record",
    72: "restore defaults category: system",
    73: "label: new password",
    74: "label: confirm the new password",
    75: "configuration panel: the reboot command was sent",
    76: "configuration panel: the reboot command was not sent",
    77: "configuration panel: the change succeeded",
    78: "configuration panel: the change failed",
    79: "input complete (internal marker, never shown)",
    80: "configuration panel: the new password is empty",
    81: "configuration panel: the passwords differ",
    82: "configuration panel: no category of defaults chosen",
    83: "tool bar login page button (text and tool tip)",
    84: "login page: Login button",
    85: "restore defaults category: intelligent functions",
    86: "restore defaults, network choice 2 (first radio button)",
    87: "restore defaults, network choice 1 (second radio button)",
    88: "title-bar menu entry Language",
    89: "language menu: English",
    90: "language menu: German",
    91: "language menu: Russian",
    92: "language menu: traditional Chinese",
    93: "language menu: simplified Chinese",
    94: "language menu: Korean",
    95: "tool bar device information page button (text and tool tip)",
    96: "factory information label: key ID",
    97: "factory information label: board ID",
    98: "factory information label: main-board name",
    99: "factory information label: product type",
    100: "factory information label: device type",
    101: "factory information label: device name",
    102: "factory information label: function code",
    103: "factory information label: custom type",
    104: "message: a required field is empty or the port is not valid",
    105: "message: main-board name must start with KV-DM- or KV-CM- and end with a capital letter",
    106: "message: main-board name must start with VOQ-DM- or VOQ-CM- and end with a capital letter",
    107: "message: the function code is not a decimal number",
    108: "message: the board ID is longer than 16 characters",
    109: "message: the key ID is not 0x followed by hexadecimal digits",
    110: "dialog title of the device information page and the version query and match",
    111: "device information page: restore PTZ defaults",
    112: "tool bar import/export page button (text and tool tip)",
    113: "button: export the configuration",
    114: "button: import a configuration",
    115: "save dialog caption: export the configuration",
    117: "open dialog caption: import a configuration",
    119: "message: the file name does not match a checked device's type",
    120: "message: export works on one device at a time",
    121: "device status: configuration exported",
    122: "device status: export failed",
    123: "device status: configuration imported",
    124: "device status: import failed",
    125: "message: only devices of one device type can be checked together",
    126: "About box title in edition 16",
    127: "search table header: P2P ID",
    128: "file dialog label: folder",
    129: "file dialog label: file name",
    130: "file dialog label: file type",
    131: "file dialog button: accept",
    132: "file dialog button: reject",
    134: "device information page: switch NTP on",
    135: "language menu: Turkish",
    136: "tool bar: label of the protocol selector",
    137: "protocol selector: the maker's own protocol",
    138: "protocol selector: ONVIF",
    139: "button: query (ONVIF address query, version query)",
    140: "device status: query done",
    141: "device status: query failed",
    142: "upgrade table header: queried version",
    143: "upgrade page: label of the wanted version",
    144: "upgrade page: Match button",
    145: "upgrade table header: version comparison",
    146: "version comparison: equal",
    147: "version comparison: different",
    148: "message: no version entered for the match",
    149: "message: a batch address change refused (network or broadcast address of the mask, or outside the subnet); nothing was changed",
}

LAST_ID = max(ROLES)
PLACEHOLDER = "-"

# Language names stand in their own language in every file, so a user can
# find theirs whatever the current language is.
LANGUAGE_NAMES = {
    89: "English", 90: "Deutsch", 91: "Русский", 92: "繁體中文",
    93: "简体中文", 94: "한국어", 135: "Türkçe",
}

TEXTS = {}

TEXTS["en"] = {
    0: "KV Device Tool",
    2: "Product: ",
    3: "Version: ",
    4: "OK",
    5: "Cancel",
    6: "Notice",
    7: "About",
    8: "Minimize",
    9: "Close",
    10: "Search",
    11: "Upgrade",
    12: "User",
    13: "Password",
    14: "Filter",
    15: "Logged in",
    16: "Login failed",
    17: "No such user",
    18: "Wrong password",
    19: "Working...",
    20: "Done",
    21: "Failed",
    22: "Connection closed",
    23: "Upgrade succeeded",
    24: "Upgrade failed",
    25: "Cannot read the file",
    26: "Invalid firmware file",
    27: "Upgrading ",
    28: "Version error",
    29: "Already upgrading",
    30: "Writing flash...",
    31: "No.",
    32: "IP Address",
    33: "Media Port",
    34: "Channels",
    35: "Device Name",
    36: "Firmware Version",
    37: "Subnet Mask",
    38: "Gateway",
    39: "MAC Address",
    42: "Web Port",
    43: "Network Mode",
    44: "Status",
    45: "Start IP",
    46: "User",
    47: "Device",
    48: "File",
    49: "Open",
    50: "The firmware file does not exist. Please choose a firmware file.",
    51: "Please check at least one device.",
    52: "Firmware files ",
    53: "Choose Firmware File",
    54: "Net Mode",
    55: "Unknown",
    56: "DHCP",
    57: "PPPoE",
    58: "Static",
    59: "Modify",
    60: "Device Type",
    61: "Reboot",
    62: "Password",
    63: "Restore Defaults",
    64: "Apply",
    66: "Advanced",
    67: "Alarm",
    68: "Device",
    69: "Display",
    70: "Network",
    71: "Record",
    72: "System",
    73: "New Password",
    74: "Confirm",
    75: "The reboot command was sent.",
    76: "The reboot command could not be sent.",
    77: "The change was applied.",
    78: "The change failed.",
    79: "OK",
    80: "The new password is empty.",
    81: "The passwords do not match.",
    82: "Choose at least one category.",
    83: "Login",
    84: "Login",
    85: "Intelligent",
    86: "All network settings",
    87: "Keep the IP address",
    88: "Language",
    95: "Device Info",
    96: "Key ID",
    97: "Board ID",
    98: "Board Name",
    99: "Product Type",
    100: "Device Type",
    101: "Device Name",
    102: "Function Code",
    103: "Custom Type",
    104: "Please fill in every required field.",
    105: "The main board name must begin with KV-DM- or KV-CM- and end with a capital letter.",
    106: "The main board name must begin with VOQ-DM- or VOQ-CM- and end with a capital letter.",
    107: "The function code must be a decimal number.",
    108: "The board ID may have at most 16 characters.",
    109: "The key ID must be 0x followed by hexadecimal digits.",
    110: "Warning",
    111: "Restore PTZ Defaults",
    112: "Import/Export",
    113: "Export",
    114: "Import",
    115: "Export Configuration",
    117: "Import Configuration",
    119: "The file name does not match the device type of every checked device. Nothing was imported.",
    120: "Please check only one device to export its configuration.",
    121: "Exported",
    122: "Export failed",
    123: "Imported",
    124: "Import failed",
    125: "Only devices of the same device type can be checked together.",
    126: "About",
    127: "P2P ID",
    128: "Look in:",
    129: "File name:",
    130: "Files of type:",
    131: "Open",
    132: "Cancel",
    134: "Enable NTP",
    136: "Protocol",
    137: "Private",
    138: "ONVIF",
    139: "Query",
    140: "Query done",
    141: "Query failed",
    142: "Queried Version",
    143: "Version",
    144: "Match",
    145: "Version Match",
    146: "Matched",
    147: "Not matched",
    148: "Please enter the version to match.",
    149: "The addresses would include the network or broadcast address of the subnet mask, "
         "or leave the subnet. Nothing was changed.",
}

# Every file the settings may name: (file, language, edition-specific texts).
# An edition's file equals its base language except where a text differs
# for that edition.
FILES = [
    ("ENU.xml", "en", {}),
]


def texts_for(lang, overrides):
    table = TEXTS[lang]
    out = []
    for i in range(LAST_ID + 1):
        if i in LANGUAGE_NAMES:
            text = LANGUAGE_NAMES[i]
        elif i not in ROLES:
            text = PLACEHOLDER
        elif i in overrides:
            text = overrides[i]
        elif i in table:
            text = table[i]
        else:
            raise SystemExit("%s: text %d missing" % (lang, i))
        if not text:
            raise SystemExit("%s: text %d empty" % (lang, i))
        out.append(text)
    extra = set(table) - set(ROLES)
    if extra:
        raise SystemExit("%s: texts for unused IDs %s" % (lang, sorted(extra)))
    return out


def render(name, lang, texts):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             "<!-- Generated by make_languages.py from its table; edit the table, not this file. -->",
             '<language file="%s" lang="%s">' % (name, lang)]
    for i, text in enumerate(texts):
        lines.append('  <string id="%d">%s</string>' % (i, escape(text)))
    lines.append("</language>")
    return "\n".join(lines) + "\n"


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, lang, overrides in FILES:
        data = render(name, lang, texts_for(lang, overrides))
        with open(os.path.join(outdir, name), "w", encoding="utf-8", newline="\n") as f:
            f.write(data)
    print("wrote %d files, IDs 0 to %d" % (len(FILES), LAST_ID))


if __name__ == "__main__":
    main()
