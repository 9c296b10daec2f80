#!/usr/bin/env python3
"""Writes the fuzzer's seeds (tests/fuzz/seeds/<target>/) from the sample bank's
plain files (tools/bankserver/sample/) and small hand-written inputs. The
encrypted ones are made with the packer and the test key, so this needs a
build and a Wine prefix:

    ./tovral build && WINEPREFIX=$PWD/.wine python3 tests/fuzz/make_seeds.py

Seeds are committed; run this only to remake them (the encrypted ones then
change: their file keys are random). Files named regress-* are inputs of
findings and are left alone."""

import os
import re
import struct
import subprocess
import sys
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
SEEDS = SOURCE_DIR / "tests" / "fuzz" / "seeds"
SAMPLE = SOURCE_DIR / "tools" / "bankserver" / "sample"
BUILD = Path(os.environ.get("TOVRAL_BUILD_DIR", SOURCE_DIR / "build"))
TEST_KEY = SOURCE_DIR / "tests" / "fixtures" / "keys" / "test.key"

# A made-up certificate: the real sample is built at test time, and the blob
# decoder only reads its text.
FAKE_DER = bytes.fromhex("3082012830820110a003020102020101300d06092a864886f70d01010b0500"
                         "3012311030")


def blob_text(der):
    blob = struct.pack("<III", 32, 1, len(der)) + der
    pieces = [format(b, "02X") for b in blob]
    return ",\n".join(",".join(pieces[i:i + 32]) for i in range(0, len(pieces), 32))


def render(text):
    values = {"server": "http://127.0.0.1:8080/bank", "version": "7", "mac": "9F8E7D6C5B4A3921",
              "clsid": "{8C3A2B1D-0E4F-4A5B-9C6D-7E8F90A1B2C3}",
              "certthumb": "A1B2C3D4E5F60718293A4B5C6D7E8F9012345678",
              "certblob": blob_text(FAKE_DER)}
    return re.sub(r"\$\{([^}:]+)(:[^}]*)?\}", lambda m: values[m.group(1)], text)


def sample(name):
    return render((SAMPLE / name).read_text(encoding="utf-8"))


def inf_text():
    text = (SOURCE_DIR / "tools" / "samples" / "SampleCab.inf.in").read_text(encoding="utf-8")
    return text.replace("@SAMPLE_CLSID_CAB_DLL@", "{8C3A2B1D-0E4F-4A5B-9C6D-7E8F90A1B2C3}") \
               .replace("@SAMPLE_CONTROL_VERSION_COMMAS@", "1,0,0,1").replace("\n", "\r\n")


def write(target, name, data):
    folder = SEEDS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data.encode("utf-8") if isinstance(data, str) else data)


def encrypt(name, text, encoding):
    plain = BUILD / "fuzz" / "seed-plain.txt"
    plain.parent.mkdir(parents=True, exist_ok=True)
    plain.write_text(text, encoding="utf-8")
    target = SEEDS / "crypto_file" / name
    target.parent.mkdir(parents=True, exist_ok=True)
    win = lambda p: "Z:" + str(Path(p).resolve()).replace("/", "\\")
    subprocess.run(["wine", str(BUILD / "TovralPack.exe"), "encrypt", "--key", win(TEST_KEY),
                    "--encoding", encoding, win(plain), win(target)], check=True,
                   env=dict(os.environ, WINEDEBUG="-all"))
    plain.unlink()


def main():
    catalogue = sample("UtilityChs.xml")
    resource = sample("Resource.xml")
    patches = sample("EnvPatch.xml")
    update = sample("Update.xml")

    version_list = '<?xml version="1.0"?><List><FileVersion value="12"/></List>'
    encrypt("update-utf8.cfg", update, "utf8")
    encrypt("version-utf16.cfg", version_list, "utf16")
    encrypt("version-ansi.cfg", '<List><FileVersion value="3"/><n>网银</n></List>', "ansi")
    encrypt("version-utf32.cfg", version_list, "utf32marker")

    write("text_decoding", "utf8.bin", b"\xEF\xBB\xBF" + version_list.encode())
    write("text_decoding", "utf16.bin", b"\xFF\xFE" + "<a>网银</a>".encode("utf-16-le") + b"\0\0x")
    write("text_decoding", "gbk.bin", "<a>网银客户端</a>".encode("gbk") + b"\0tail")
    write("text_decoding", "utf32.bin", b"\0\0\xFF\xFE" + "<a/>".encode("utf-32-le"))

    write("xml_node", "version-list.xml", version_list)
    write("xml_node", "update.xml", update)
    write("xml_node", "nested.xml", "<a><b x='1'>t<c><d>deep</d></c>tail</b><b/>"
                                    "<![CDATA[<x>]]><!-- c --><?pi?></a>")
    write("xml_node", "entities.xml", '<!DOCTYPE r [<!ENTITY e "&#60;i/&#62;">]>'
                                      '<r a="&quot;&amp;&#10;">&e;&#x4E2D;</r>')
    write("xml_node", "gbk-declared.xml", '<?xml version="1.0" encoding="gbk"?><r n="网银"/>')

    write("download_list", "select.xml",
          "<list><item id='1001' falg='true'/><item id='1002' falg='false'/>"
          "<item id='2001' falg='TRUE'/><item id='3001' falg='true'/>"
          "<item id='4001' falg='true'/><item id='5001' falg='true'/>"
          "<item id='5051' falg='true'/></list>")
    write("download_list", "statuses.xml",
          "<Update><res id='4001' Type='必装' falg='f'/><res id='4002'/><res id='5000' falg='x'/>"
          "<res id='1002' Type='c&quot;'/><res id='5052' Type='o' falg='p'/>"
          "<res id='3001' Type='r' falg='s'/><res id='2002'/><res id='500'/></Update>")
    write("download_list", "bare-item.xml", "<item id='1003' falg='true'/>")

    write("batch_ids", "batch.xml", "<list><i id='1001'/><i id='4001'/><i id='x'/><i/></list>")
    write("batch_ids", "single.xml", "<i id='5051'/>")

    write("catalogue", "utility_chs.xml", catalogue)
    write("catalogue", "utility_en.xml", sample("UtilityEn.xml"))

    write("bank_links", "resource.xml", resource)
    write("diagnosis", "resource.xml", resource)
    write("diagnosis", "examine-root.xml",
          '<examine><eng><item id="a&quot;b" name="x&#13;&#10;y"/></eng></examine>')
    write("patch_list", "envpatch.xml", patches)

    write("inf", "samplecab.inf", inf_text())
    write("inf", "utf16.inf", b"\xFF\xFE" + inf_text().encode("utf-16-le"))
    write("inf", "hostile.inf", "[Add.Code]\r\na=..\\evil.dll\r\nb=ok.dll\r\nc\r\n"
                                "[ok.dll]\r\nRegisterServer=yes\r\ndestdir=10\r\n")

    write("cert_blob", "blob.txt", blob_text(FAKE_DER))
    write("cert_blob", "forms.txt", "0x30, 0X82 ,-1,+ff,,\t1ff\r\n,0x,-0x10,g7")

    write("version_text", "versions.txt", "1.0.0.9\n1.0.0.10")
    write("version_text", "browser.txt", "6.0.2800.1106\n6.0.2900")
    write("version_text", "service-pack.txt", "Service Pack 6\nWINNT")
    write("version_text", "length.txt", " 00012345 \nLANMANNT")

    write("safe_path", "name.txt", "SampleCab.dll")
    write("safe_path", "relative.txt", "controls/sub\\SampleCtl.ocx")
    write("safe_path", "folder.txt", "C:\\Program Files\\Zelmor\\Client")
    write("safe_path", "climb.txt", "..\\..\\windows\\system32\\evil.dll")
    write("safe_path", "device.txt", "COM1.txt")


if __name__ == "__main__":
    sys.exit(main())
