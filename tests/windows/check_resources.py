#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""check_resources.py EXE VERSION

Reads the version information and the application manifest back out of a
built Corvane.exe, walking its PE resource table itself, and fails unless
both say what a Windows user and Windows itself must see: the project version
(in the fixed binary fields, the strings and the manifest's identity), the
names, the licence, and a well-formed manifest that asks for no elevation and
names Windows 7, 8, 8.1 and 10/11."""

import struct
import sys
import xml.etree.ElementTree as ET

RT_VERSION = 16
RT_MANIFEST = 24

# Windows' compatibility identifiers for the supportedOS entries.
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}


class Bad(Exception):
    pass


def resources(image):
    """Returns {(type id, name id): data} of every resource with numeric ids."""
    if image[:2] != b"MZ":
        raise Bad("not an MZ executable")
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    if image[pe : pe + 4] != b"PE\0\0":
        raise Bad("no PE signature")
    section_count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    (magic,) = struct.unpack_from("<H", image, optional)
    if magic != 0x20B:
        raise Bad(f"not a PE32+ image (optional header magic {magic:#x})")
    # Data directory 2 of a PE32+ optional header: the resource table.
    rsrc_rva, rsrc_size = struct.unpack_from("<II", image, optional + 112 + 2 * 8)
    if rsrc_rva == 0 or rsrc_size == 0:
        raise Bad("no resource table")
    sections = []
    for i in range(section_count):
        at = optional + optional_size + 40 * i
        virtual_size, rva, raw_size, raw_at = struct.unpack_from("<IIII", image, at + 8)
        sections.append((rva, max(virtual_size, raw_size), raw_at))

    def offset(address):
        for rva, size, raw_at in sections:
            if rva <= address < rva + size:
                return raw_at + address - rva
        raise Bad(f"RVA {address:#x} is in no section")

    base = offset(rsrc_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, base + directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, base + directory + 16 + 8 * i)
            yield (None if name & 0x80000000 else name), target

    found = {}
    for type_id, type_dir in entries(0):
        for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
            for _language, leaf in entries(name_dir & 0x7FFFFFFF):
                if leaf & 0x80000000:
                    raise Bad("a language entry points to a directory")
                data_rva, size = struct.unpack_from("<II", image, base + leaf)
                at = offset(data_rva)
                if type_id is not None and name_id is not None:
                    found[(type_id, name_id)] = image[at : at + size]
    return found


def version_blocks(data, at=0):
    """Parses one VS_VERSIONINFO-style block: (key, value bytes, value type, children)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_at = at + 6
    key_end = key_at
    while data[key_end : key_end + 2] != b"\0\0":
        key_end += 2
    key = data[key_at:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    # A text value's length counts UTF-16 units, a binary value's counts bytes.
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = data[value_at : value_at + value_bytes]
    children = []
    child = (value_at + value_bytes + 3) & ~3
    while child < end:
        block = version_blocks(data, child)
        children.append(block)
        (child_length,) = struct.unpack_from("<H", data, child)
        if child_length == 0:
            raise Bad("a version block of length 0")
        child = (child + child_length + 3) & ~3
    return key, value, value_type, children


def version_parts(version):
    """The project version in Windows' four parts: "0.1.0" is "0.1.0.0"."""
    parts = version.split(".")
    return ".".join(parts + ["0"] * (4 - len(parts)))


def check_version(data, version, failures):
    key, fixed, _type, children = version_blocks(data)
    if key != "VS_VERSION_INFO":
        failures.append(f"version resource key is {key!r}")
        return
    signature, _struct_version, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != 0xFEEF04BD:
        failures.append(f"fixed file info signature is {signature:#x}")
    parts = [int(p) for p in version_parts(version).split(".")]
    want = ((parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3])
    dotted = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    for name, got in (("FILEVERSION", (file_ms, file_ls)), ("PRODUCTVERSION", (product_ms, product_ls))):
        if got != want:
            failures.append(f"{name} is {dotted(*got)}, expected {dotted(*want)}")

    strings = {}
    for child_key, _value, _type, tables in children:
        if child_key == "StringFileInfo":
            for _table, _v, _t, values in tables:
                for name, value, _vt, _c in values:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    for name, got in sorted(strings.items()):
        print(f"  {name} = {got}")
    expected = {
        "FileVersion": version,
        "ProductVersion": version,
        "ProductName": "Corvane",
        "OriginalFilename": "Corvane.exe",
        "InternalName": "Corvane",
    }
    for name, want_text in expected.items():
        if strings.get(name) != want_text:
            failures.append(f"{name} is {strings.get(name)!r}, expected {want_text!r}")
    if not strings.get("FileDescription"):
        failures.append("no FileDescription")
    if "Apache License, Version 2.0" not in strings.get("LegalCopyright", ""):
        failures.append(f"LegalCopyright {strings.get('LegalCopyright')!r} does not name the licence")


def check_manifest(data, version, failures):
    try:
        root = ET.fromstring(data)
    except ET.ParseError as error:
        failures.append(f"the manifest is not well-formed XML: {error}")
        return
    identities = [e.attrib for e in root.findall("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")]
    want = {"type": "win32", "name": "Corvane", "version": version_parts(version), "processorArchitecture": "amd64"}
    if len(identities) != 1 or {k: identities[0].get(k) for k in want} != want:
        failures.append(f"assemblyIdentity entries {identities}, expected one with {want}")
    levels = root.findall(".//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
    if [(e.get("level"), e.get("uiAccess")) for e in levels] != [("asInvoker", "false")]:
        failures.append(f"requestedExecutionLevel entries {[e.attrib for e in levels]}, expected one asInvoker, uiAccess false")
    ids = [e.get("Id") for e in root.findall(".//{urn:schemas-microsoft-com:compatibility.v1}supportedOS")]
    for guid, system in SUPPORTED_OS.items():
        if guid not in ids:
            failures.append(f"no supportedOS entry for {system} {guid}")
    for guid in ids:
        if guid not in SUPPORTED_OS:
            failures.append(f"unexpected supportedOS entry {guid}")
    print(f"  manifest: assemblyIdentity {identities}, execution level {[e.attrib for e in levels]}, supportedOS {ids}")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    exe, version = sys.argv[1], sys.argv[2]
    with open(exe, "rb") as f:
        image = f.read()
    failures = []
    try:
        found = resources(image)
        print(f"{exe}: resources {sorted(found)}")
        if (RT_VERSION, 1) in found:
            check_version(found[(RT_VERSION, 1)], version, failures)
        else:
            failures.append("no version resource 1")
        if (RT_MANIFEST, 1) in found:
            check_manifest(found[(RT_MANIFEST, 1)], version, failures)
        else:
            failures.append("no manifest resource 1")
    except (Bad, struct.error, UnicodeDecodeError) as error:
        failures.append(f"unreadable resources: {error}")
    for failure in failures:
        print(f"{exe}: {failure}", file=sys.stderr)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
