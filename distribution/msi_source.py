"""Writes the WiX source of the per-user MSI: the template with its registry
entries filled in. The entries are the keys that per-user registration
("regsvr32 /n /i:user") writes under HKCU\\Software\\Classes, derived from the
control's own registry scripts and interface description, so the package
cannot drift from what the DLL registers itself.

usage: msi_source.py TEMPLATE OUTPUT --rgs FILE... --idl FILE --appid-source FILE
(the AppID replacement of the scripts is read from the registration source).
"""

import argparse
import re
import sys
from pathlib import Path
from xml.sax.saxutils import quoteattr

CLASSES = "Software\\Classes"
MODULE = "[#TovralDll]"  # the installed file's full path, formatted by msiexec
# Its folder without the trailing backslash that [INSTALLDIR] would carry, as
# registration writes HELPDIR.
MODULE_FOLDER = "[ZelmorFolder]Tovral"
PLACEHOLDER = "<!-- REGISTRY KEYS -->"
# Type libraries register their interfaces with the automation marshaller.
AUTOMATION_MARSHALER = "{00020424-0000-0000-C000-000000000046}"
# Library flags: restricted, control, hidden; a library loaded from a file
# also has its disk image flag, which registration records.
LIBRARY_FLAGS = {"restricted": 1, "control": 2, "hidden": 4}
HAS_DISK_IMAGE = 8


class RgsError(ValueError):
    pass


def rgs_tokens(text):
    for match in re.finditer(r"'((?:[^']|'')*)'|(\S+)", text):
        if match.group(1) is not None:
            yield match.group(1).replace("''", "'"), True
        else:
            yield match.group(2), False


def parse_rgs(text, replacements):
    """The script's keys as nested dicts: name, flag, default, values, subkeys.
    %NAME% replacements are made before parsing, as the registrar does."""
    def replace(match):
        name = match.group(1)
        if name == "":
            return "%"
        if name not in replacements:
            raise RgsError(f"unknown replacement %{name}%")
        return replacements[name].replace("'", "''")
    tokens = list(rgs_tokens(re.sub(r"%(\w*)%", replace, text)))
    pos = 0

    def take():
        nonlocal pos
        if pos >= len(tokens):
            raise RgsError("unexpected end of script")
        pos += 1
        return tokens[pos - 1]

    def value():
        kind, _ = take()
        data, _ = take()
        if kind.lower() not in ("s", "d"):
            raise RgsError(f"value type {kind}")
        return kind.lower(), data

    def body(key):
        keys = []
        while True:
            token, quoted = take()
            if not quoted and token == "}":
                return keys
            if not quoted and token.lower() == "val":
                if key is None:
                    raise RgsError("named value outside a key")
                name, _ = take()
                if take() != ("=", False):
                    raise RgsError(f"'=' expected after val {name}")
                key["values"].append((name, value()))
                continue
            flag = None
            if not quoted and token.lower() in ("noremove", "forceremove", "delete"):
                flag, (token, quoted) = token.lower(), take()
            sub = {"name": token, "flag": flag, "default": None, "values": [], "subkeys": []}
            if pos < len(tokens) and tokens[pos] == ("=", False):
                take()
                sub["default"] = value()
            if pos < len(tokens) and tokens[pos] == ("{", False):
                take()
                sub["subkeys"] = body(sub)
            keys.append(sub)

    roots = []
    while pos < len(tokens):
        root, _ = take()
        if root.upper() not in ("HKCR", "HKEY_CLASSES_ROOT"):
            raise RgsError(f"only the classes root is packaged, not {root}")
        if take() != ("{", False):
            raise RgsError("'{' expected")
        roots.extend(body(None))
    return roots


def rgs_entries(keys, parent=CLASSES):
    """(key, name, type, value) rows; name "*" with no value creates a key on
    install and removes it whole on uninstall (the script's ForceRemove, and
    keys that hold nothing)."""
    rows = []
    for key in keys:
        path = f"{parent}\\{key['name']}"
        if key["flag"] == "delete":
            # Removed at registration: a table-driven package has no such step.
            raise RgsError(f"{path}: Delete keys cannot be packaged")
        if key["flag"] == "forceremove" or (
                key["flag"] != "noremove" and key["default"] is None and not key["values"]
                and not key["subkeys"]):
            rows.append((path, "*", None, None))
        if key["default"] is not None:
            rows.append((path, None, *key["default"]))
        for name, (kind, data) in key["values"]:
            rows.append((path, name, kind, data))
        rows.extend(rgs_entries(key["subkeys"], path))
    return rows


def idl_attributes(block):
    return {m.group(1): m.group(2) or "" for m in
            re.finditer(r"(\w+)\s*(?:\(\s*(\"[^\"]*\"|[^)]*?)\s*\))?\s*(?:,|$)", block)}


def parse_idl(text):
    """The library's id, version, locale and help text, and its interfaces
    that registration lists under Interface (dual or oleautomation ones)."""
    text = re.sub(r"//[^\n]*|/\*.*?\*/", "", text, flags=re.S)
    library, interfaces = None, []
    for match in re.finditer(r"\[([^\[\]]*)\]\s*(library|interface|dispinterface)\s+(\w+)",
                             text):
        attributes, kind, name = idl_attributes(match.group(1)), match.group(2), match.group(3)
        if kind == "library":
            library = {"name": name,
                       "uuid": attributes["uuid"].upper(),
                       "version": attributes.get("version", "0.0"),
                       "lcid": int(attributes.get("lcid", "0"), 0),
                       "help": attributes.get("helpstring", "").strip('"'),
                       "flags": HAS_DISK_IMAGE | sum(bit for flag, bit in LIBRARY_FLAGS.items()
                                                     if flag in attributes)}
        elif kind == "dispinterface" or "dual" in attributes or "oleautomation" in attributes:
            interfaces.append((name, attributes["uuid"].upper()))
    if library is None:
        raise ValueError("no library in the interface description")
    return library, interfaces


def typelib_entries(library, interfaces):
    """What RegisterTypeLib writes for the library and its interfaces."""
    lib = f"{CLASSES}\\TypeLib\\{{{library['uuid']}}}\\{library['version']}"
    rows = [(lib, None, "s", library["help"]),
            (f"{lib}\\{library['lcid']:x}\\win32", None, "s", MODULE),
            (f"{lib}\\FLAGS", None, "s", str(library["flags"])),
            (f"{lib}\\HELPDIR", None, "s", MODULE_FOLDER)]
    for name, uuid in interfaces:
        key = f"{CLASSES}\\Interface\\{{{uuid}}}"
        rows += [(key, None, "s", name),
                 (f"{key}\\ProxyStubClsid", None, "s", AUTOMATION_MARSHALER),
                 (f"{key}\\ProxyStubClsid32", None, "s", AUTOMATION_MARSHALER),
                 (f"{key}\\TypeLib", None, "s", f"{{{library['uuid']}}}"),
                 (f"{key}\\TypeLib", "Version", "s", library["version"])]
    return rows


def wix_elements(rows, indent):
    """RegistryValue elements; the server path is the component's key path
    (a per-user component is kept by a registry value, not by its file)."""
    lines = []
    for key, name, kind, data in rows:
        attrs = ['Root="HKCU"', f"Key={quoteattr(key)}"]
        if name is not None:
            attrs.append(f"Name={quoteattr(name)}")
        attrs.append('Type="integer"' if kind == "d" else 'Type="string"')
        # An empty value is a null one in the package (what "*" needs), and
        # wixl warns about a missing attribute.
        attrs.append(f"Value={quoteattr(data or '')}")
        if key.endswith("\\InprocServer32") and name is None:
            attrs.append('KeyPath="yes"')
        lines.append(f"{indent}<RegistryValue {' '.join(attrs)}/>")
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("template", type=Path)
    parser.add_argument("output", type=Path)
    parser.add_argument("--rgs", type=Path, nargs="+", required=True)
    parser.add_argument("--idl", type=Path, required=True)
    parser.add_argument("--appid-source", type=Path, required=True)
    args = parser.parse_args(argv)
    appid = re.search(r'kAppId\[\]\s*=\s*L"(\{[0-9A-Fa-f-]{36}\})"',
                      args.appid_source.read_text(encoding="utf-8"))
    if appid is None:
        raise SystemExit(f"{args.appid_source}: no kAppId")

    rows = []
    for script in args.rgs:
        rows += rgs_entries(parse_rgs(script.read_text(encoding="utf-8"),
                                      {"MODULE": MODULE, "APPID": appid.group(1)}))
    rows += typelib_entries(*parse_idl(args.idl.read_text(encoding="utf-8")))

    template = args.template.read_text(encoding="utf-8")
    line = next((l for l in template.splitlines() if l.strip() == PLACEHOLDER), None)
    if line is None:
        raise SystemExit(f"{args.template}: no {PLACEHOLDER} line")
    indent = line[:len(line) - len(line.lstrip())]
    text = template.replace(line, wix_elements(rows, indent))
    args.output.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main(sys.argv[1:])
