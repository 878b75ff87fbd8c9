#!/usr/bin/env python3
"""Checks the data files the tool reads: language files, settings file,
resource collection and icons.  Standard library only; independent of the
C++ reader on purpose.

    python3 check_languages.py [-v]

The checks run on the tree this script lives in; the CatchesFaults cases
copy that tree, break one thing at a time and make sure the check notices.
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib

sys.dont_write_bytecode = True

HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.normpath(os.path.join(HERE, "..", ".."))

# Every language file a settings file may name, as the edition table names them.
LANGUAGE_FILES = [
    "CHT.xml", "CHS.xml", "GER.xml",
    "ENU.xml", "ENU_E7.xml", "ENU_E8.xml", "ENU_E10.xml", "ENU_E12.xml",
    "ENU_E14.xml", "ENU_E16.xml", "ENU_E17.xml",
    "RUS_E4.xml", "RUS_E5.xml", "RUS_E6.xml", "RUS_E11.xml", "RUS_E15.xml", "RUS_E29.xml",
    "KOR_E18.xml", "KOR_E20.xml", "KR_E19.xml", "TUR_E23.xml",
]

# Offered languages by edition; codes not listed offer ENU.xml alone.
EDITION_LANGUAGES = {
    1: ["CHT.xml"], 2: ["GER.xml"], 4: ["RUS_E4.xml", "ENU.xml"],
    5: ["RUS_E5.xml", "ENU.xml"], 6: ["RUS_E6.xml"], 7: ["ENU_E7.xml"],
    8: ["ENU_E8.xml"], 10: ["ENU_E10.xml"], 11: ["RUS_E11.xml", "ENU.xml"],
    12: ["ENU_E12.xml"], 13: ["CHS.xml", "ENU.xml"], 14: ["ENU_E14.xml"],
    15: ["RUS_E15.xml"], 16: ["ENU_E16.xml"], 17: ["ENU_E17.xml"],
    18: ["KOR_E18.xml", "ENU.xml"], 19: ["KR_E19.xml"], 20: ["KOR_E20.xml", "ENU.xml"],
    22: ["CHS.xml", "ENU.xml"], 23: ["TUR_E23.xml"], 29: ["RUS_E29.xml", "ENU.xml"],
    0: ["ENU.xml"],
}

# Resource paths the windows open, and the fixed sizes of the buttons
# whose images fill them exactly.
STYLE_SHEET = ":/qss/Resource/Varnook.qss"
ICON_SIZES = {
    "logo.png": None, "logo_sub.png": None,
    "information.png": (48, 48), "about-logo.png": (48, 48), "warning.png": (48, 48),
    "toolbar.png": None, "down.png": None,
}
for _state in ("normal", "hover", "pressed", "disabled"):
    for _kind in ("close", "about", "min"):
        ICON_SIZES["%s-%s.png" % (_kind, _state)] = (17, 16)
for _state in ("normal", "hover", "pressed", "disable"):
    ICON_SIZES["page-tab-%s.png" % _state] = (120, 38)
REQUIRED_PATHS = [STYLE_SHEET] + [":/icons/Resource/" + n for n in sorted(ICON_SIZES)]


# ---------------------------------------------------------------- checks
# Each check returns a list of error texts; empty means sound.

def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_strings(path):
    """Texts of every <string> element in document order, as the tool counts
    them.  Raises ValueError for a document the tool could not read whole."""
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as e:
        raise ValueError("parse error: %s" % e)
    texts = []
    for el in root.iter("string"):
        if len(el):
            raise ValueError("string %d has a child element" % len(texts))
        texts.append(el.text or "")
    return texts


def check_language_dir(lang_dir, role_ids=(), placeholder="-"):
    errors = []
    counts = {}
    for name in LANGUAGE_FILES:
        path = os.path.join(lang_dir, name)
        if not os.path.isfile(path):
            errors.append("%s: missing" % name)
            continue
        try:
            texts = read_strings(path)
        except ValueError as e:
            errors.append("%s: %s" % (name, e))
            continue
        counts[name] = len(texts)
        for i, t in enumerate(texts):
            if not t.strip():
                errors.append("%s: text %d empty" % (name, i))
        for i in role_ids:
            if i < len(texts) and texts[i] == placeholder:
                errors.append("%s: text %d is used but holds the placeholder" % (name, i))
    if len(set(counts.values())) > 1:
        errors.append("string counts differ: %s" % sorted(counts.items(), key=lambda kv: kv[1]))
    if role_ids and counts and min(counts.values()) <= max(role_ids):
        errors.append("string count %d does not reach text %d" % (min(counts.values()), max(role_ids)))
    return errors


def check_config(config_path, lang_dir):
    errors = []
    try:
        with open(config_path, "rb") as f:
            raw = f.read()
        root = ET.fromstring(raw)
    except (OSError, ET.ParseError) as e:
        return ["config.xml: %s" % e]
    cursel, names, company, version = None, [], None, None
    for el in root.iter():
        if "cursel" in el.attrib:
            cursel = el.attrib["cursel"]
        elif "name" in el.attrib:
            names.append(el.attrib["name"])
        if el.tag == "Company":
            company = (el.text or "").strip()
        elif el.tag == "Version":
            version = (el.text or "").strip()
    if cursel is None or not re.fullmatch(r"\d+", cursel):
        errors.append("config.xml: no decimal cursel")
    elif int(cursel) >= len(names):
        errors.append("config.xml: cursel %s beyond the %d language files" % (cursel, len(names)))
    # A writer that patches the first "cursel" bytes must land in the attribute.
    first = raw.find(b"cursel")
    if first < 0 or not re.match(rb'cursel\s*=\s*"', raw[first:]):
        errors.append("config.xml: the first cursel is not the attribute")
    if company is None or not re.fullmatch(r"-?\d+", company):
        errors.append("config.xml: no decimal Company")
    if not version:
        errors.append("config.xml: no Version")
    for n in names:
        if not os.path.isfile(os.path.join(lang_dir, n)):
            errors.append("config.xml: names missing file %s" % n)
    if len(set(names)) != len(names):
        errors.append("config.xml: a language file is named twice")
    for edition, offered in sorted(EDITION_LANGUAGES.items()):
        for n in offered:
            if n not in names:
                errors.append("config.xml: edition %d offers %s, which is not named" % (edition, n))
    return errors


def qrc_paths(qrc_path):
    """Resource path -> file on disk, for every entry of a .qrc file."""
    root = ET.parse(qrc_path).getroot()
    base = os.path.dirname(qrc_path)
    out = {}
    for res in root.iter("qresource"):
        prefix = "/" + res.attrib.get("prefix", "/").strip("/")
        for f in res.iter("file"):
            name = f.attrib.get("alias", f.text.strip())
            rpath = ":" + (prefix.rstrip("/") + "/" + name)
            out[rpath] = os.path.join(base, f.text.strip())
    return out


def check_qrc(qrc_path):
    errors = []
    try:
        paths = qrc_paths(qrc_path)
    except (OSError, ET.ParseError) as e:
        return ["qrc: %s" % e]
    for rpath, disk in sorted(paths.items()):
        if not os.path.isfile(disk):
            errors.append("qrc: %s points to missing file %s" % (rpath, disk))
    for rpath in REQUIRED_PATHS:
        if rpath not in paths:
            errors.append("qrc: required path %s absent" % rpath)
    return errors


def png_size(path):
    """(width, height) of a PNG after checking its chunks, CRCs and pixels."""
    data = read_bytes(path)
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("no PNG signature")
    pos, idat, ihdr, ended = 8, b"", None, False
    while pos < len(data):
        if pos + 8 > len(data):
            raise ValueError("truncated chunk head")
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if pos + 12 + length > len(data):
            raise ValueError("truncated chunk %r" % kind)
        body = data[pos + 8:pos + 8 + length]
        crc, = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            raise ValueError("crc mismatch in %r" % kind)
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            ended = True
            break
        pos += 12 + length
    if not ihdr or not ended:
        raise ValueError("IHDR or IEND missing")
    w, h, depth, ctype = ihdr[:4]
    if (depth, ctype) != (8, 6):
        raise ValueError("not 8-bit RGBA")
    if len(zlib.decompress(idat)) != h * (1 + 4 * w):
        raise ValueError("pixel data of the wrong length")
    return w, h


def check_icons(icon_dir):
    errors = []
    for name, size in sorted(ICON_SIZES.items()):
        path = os.path.join(icon_dir, name)
        try:
            got = png_size(path)
        except (OSError, ValueError) as e:
            errors.append("%s: %s" % (name, e))
            continue
        if size and got != size:
            errors.append("%s: %dx%d, expected %dx%d" % ((name,) + got + size))
    return errors


def check_generated(script, files, extra_args=()):
    """Runs a generator into a scratch folder; the committed files must equal
    its output, so nobody edits generated files by hand."""
    errors = []
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([sys.executable, script, tmp] + list(extra_args), check=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        for disk in files:
            fresh = os.path.join(tmp, os.path.basename(disk))
            if not os.path.exists(fresh):
                errors.append("%s: not produced by %s" % (disk, os.path.basename(script)))
            elif read_bytes(fresh) != read_bytes(disk):
                errors.append("%s: differs from %s output" % (disk, os.path.basename(script)))
    return errors


def load_roles(lang_dir):
    sys.path.insert(0, lang_dir)
    try:
        import make_languages
    finally:
        sys.path.pop(0)
    return make_languages


class Tree:
    def __init__(self, app):
        self.app = app
        self.lang = os.path.join(app, "dist", "Language")
        self.config = os.path.join(app, "dist", "config.xml")
        self.qrc = os.path.join(app, "resources", "kvtool.qrc")
        self.icons = os.path.join(app, "resources", "Resource")


# ---------------------------------------------------------------- tests

class RealTree(unittest.TestCase):
    tree = Tree(APP)

    def test_language_files_parse_aligned_and_full(self):
        gen = load_roles(self.tree.lang)
        errs = check_language_dir(self.tree.lang, sorted(gen.ROLES), gen.PLACEHOLDER)
        self.assertEqual(errs, [])
        self.assertEqual(len(read_strings(os.path.join(self.tree.lang, "ENU.xml"))), gen.LAST_ID + 1)

    def test_no_stray_language_file(self):
        present = sorted(f for f in os.listdir(self.tree.lang) if f.endswith(".xml"))
        self.assertEqual(present, sorted(LANGUAGE_FILES))

    def test_config_names_existing_files(self):
        self.assertEqual(check_config(self.tree.config, self.tree.lang), [])

    def test_config_lists_every_language_file_once(self):
        names = [el.attrib["name"] for el in ET.parse(self.tree.config).getroot().iter()
                 if "name" in el.attrib and "cursel" not in el.attrib]
        self.assertEqual(sorted(names), sorted(LANGUAGE_FILES))

    def test_config_starts_in_english(self):
        root = ET.parse(self.tree.config).getroot()
        names = [el.attrib["name"] for el in root.iter() if "name" in el.attrib]
        cursel = [el.attrib["cursel"] for el in root.iter() if "cursel" in el.attrib][-1]
        self.assertEqual(names[int(cursel)], "ENU.xml")

    def test_qrc_paths_exist(self):
        self.assertEqual(check_qrc(self.tree.qrc), [])

    def test_icons_are_sound_pngs_of_their_sizes(self):
        self.assertEqual(check_icons(self.tree.icons), [])

    def test_language_files_match_their_generator(self):
        lang = self.tree.lang
        files = [os.path.join(lang, f) for f in LANGUAGE_FILES + ["README.md"]]
        self.assertEqual(check_generated(os.path.join(lang, "make_languages.py"), files), [])

    def test_icons_match_their_generator(self):
        files = [os.path.join(self.tree.icons, f) for f in ICON_SIZES]
        script = os.path.join(self.tree.app, "resources", "make_icons.py")
        self.assertEqual(check_generated(script, files), [])

    def test_texts_that_carry_a_value_keep_their_trailing_space(self):
        # The tool appends a value directly (the progress, the file patterns,
        # the About values); Western wording needs the separating space.
        for name in ("ENU.xml", "GER.xml", "RUS_E4.xml", "KOR_E18.xml", "TUR_E23.xml"):
            texts = read_strings(os.path.join(self.tree.lang, name))
            for i in (2, 3, 27, 52):
                self.assertTrue(texts[i].endswith(" "), "%s text %d" % (name, i))

    def test_each_language_is_really_translated(self):
        # A base file that equals English in most places was not translated.
        english = read_strings(os.path.join(self.tree.lang, "ENU.xml"))
        gen = load_roles(self.tree.lang)
        used = [i for i in gen.ROLES if i not in gen.LANGUAGE_NAMES]
        for name in ("CHT.xml", "CHS.xml", "GER.xml", "RUS_E4.xml", "KOR_E18.xml", "TUR_E23.xml"):
            texts = read_strings(os.path.join(self.tree.lang, name))
            same = [i for i in used if texts[i] == english[i]]
            self.assertLess(len(same), len(used) // 5, "%s equals English at %s" % (name, same))

    def test_edition_variants(self):
        def texts(n):
            return read_strings(os.path.join(self.tree.lang, n))
        base = {"ENU": texts("ENU.xml"), "RUS": texts("RUS_E4.xml"), "KOR": texts("KOR_E18.xml")}
        for name in LANGUAGE_FILES:
            stem = name.split("_")[0].replace("KR", "KOR")
            if stem not in base:
                continue
            diff = [i for i, (a, b) in enumerate(zip(texts(name), base[stem])) if a != b]
            expected = {"ENU_E16.xml": [126], "ENU_E10.xml": [2, 3]}.get(name, [])
            self.assertEqual(diff, expected, name)


class CatchesFaults(unittest.TestCase):
    """Each case copies the tree, breaks one thing and expects one error."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.app = os.path.join(self.tmp, "app")
        for sub in ("dist", "resources"):
            shutil.copytree(os.path.join(APP, sub), os.path.join(self.app, sub))
        self.tree = Tree(self.app)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def edit(self, path, old, new, count=1):
        with open(path, "rb") as f:
            data = f.read()
        self.assertIn(old, data)
        with open(path, "wb") as f:
            f.write(data.replace(old, new, count))

    def lang(self, name):
        return os.path.join(self.tree.lang, name)

    def run_all(self):
        return (check_language_dir(self.tree.lang, [0, 4, 149]) + check_config(self.tree.config, self.tree.lang)
                + check_qrc(self.tree.qrc) + check_icons(self.tree.icons))

    def test_broken_trees(self):
        cases = [
            ("a string dropped", lambda: self.edit(self.lang("GER.xml"), b'<string id="40">-</string>', b""),
             "string counts differ"),
            ("an empty text", lambda: self.edit(self.lang("CHT.xml"), "關於".encode(), b""), "CHT.xml: text 7 empty"),
            ("a blank text", lambda: self.edit(self.lang("KR_E19.xml"), "확인".encode(), b"  "), "empty"),
            ("a child element", lambda: self.edit(self.lang("ENU_E8.xml"), b">Search<", b"><b>Search</b><"),
             "child element"),
            ("malformed XML", lambda: self.edit(self.lang("TUR_E23.xml"), b"</language>", b""), "parse error"),
            ("a missing file", lambda: os.remove(self.lang("RUS_E29.xml")), "RUS_E29.xml: missing"),
            ("config names a missing file",
             lambda: self.edit(self.tree.config, b'name="KR_E19.xml"', b'name="KR_E91.xml"'),
             "names missing file KR_E91.xml"),
            ("config drops a file an edition offers",
             lambda: self.edit(self.tree.config, b'<LanguageFile name="CHS.xml"/>', b""),
             "edition 13 offers CHS.xml"),
            ("cursel beyond the list", lambda: self.edit(self.tree.config, b'cursel="3"', b'cursel="21"'),
             "cursel 21 beyond"),
            ("cursel not a number", lambda: self.edit(self.tree.config, b'cursel="3"', b'cursel="x"'),
             "no decimal cursel"),
            ("cursel in a comment first",
             lambda: self.edit(self.tree.config, b"<config>", b"<config><!-- cursel: see below -->"),
             "first cursel is not the attribute"),
            ("no Company", lambda: self.edit(self.tree.config, b"<Company>0</Company>", b""), "no decimal Company"),
            ("qrc file missing", lambda: os.remove(os.path.join(self.tree.icons, "down.png")),
             "points to missing file"),
            ("qrc path absent",
             lambda: self.edit(self.tree.qrc, b"<file>Resource/warning.png</file>", b""),
             "required path :/icons/Resource/warning.png absent"),
            ("qrc prefix wrong", lambda: self.edit(self.tree.qrc, b'prefix="/qss"', b'prefix="/css"'),
             "required path :/qss/Resource/Varnook.qss absent"),
            ("icon of the wrong size", lambda: shutil.copy(os.path.join(self.tree.icons, "down.png"),
                                                           os.path.join(self.tree.icons, "min-hover.png")),
             "min-hover.png: 10x6, expected 17x16"),
        ]
        self.assertEqual(self.run_all(), [], "the copied tree itself must pass")
        for what, breaker, expected in cases:
            with self.subTest(what):
                self.tearDown()
                self.setUp()
                breaker()
                errs = self.run_all()
                self.assertTrue(any(expected in e for e in errs), "%s: %s" % (what, errs))

    def test_damaged_pngs(self):
        path = os.path.join(self.tree.icons, "logo.png")
        good = read_bytes(path)
        cases = [
            ("bad crc", good[:40] + bytes([good[40] ^ 1]) + good[41:], "crc mismatch"),
            ("truncated", good[:len(good) // 2], "truncated"),
            ("no signature", b"GIF89a" + good[6:], "no PNG signature"),
            ("empty", b"", "no PNG signature"),
        ]
        for what, data, expected in cases:
            with self.subTest(what):
                with open(path, "wb") as f:
                    f.write(data)
                errs = check_icons(self.tree.icons)
                self.assertTrue(any(expected in e for e in errs), "%s: %s" % (what, errs))

    def test_placeholder_at_a_used_id(self):
        self.edit(self.lang("CHS.xml"), '<string id="10">搜索</string>'.encode(), b'<string id="10">-</string>')
        errs = check_language_dir(self.tree.lang, [10])
        self.assertEqual(errs, ["CHS.xml: text 10 is used but holds the placeholder"])

    def test_hand_edit_of_generated_file(self):
        self.edit(self.lang("GER.xml"), "Schließen".encode(), "Schliessen".encode())
        lang = self.tree.lang
        errs = check_generated(os.path.join(lang, "make_languages.py"),
                               [os.path.join(lang, f) for f in LANGUAGE_FILES])
        self.assertEqual(errs, ["%s: differs from make_languages.py output" % self.lang("GER.xml")])

    def test_nested_strings_count_in_document_order(self):
        path = os.path.join(self.tmp, "nested.xml")
        with open(path, "w", encoding="utf-8") as f:
            f.write("<l><string>a</string><g><string>b</string></g><string>c</string></l>")
        self.assertEqual(read_strings(path), ["a", "b", "c"])


if __name__ == "__main__":
    unittest.main()
