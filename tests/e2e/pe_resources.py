"""Helpers for the tests of the resource writer: reading PE images and windres
output with readers that share no code with it (pefile, icoutils, a few lines
here), and making small inputs: synthetic PE32/PE32+ stubs, icons, bitmaps."""

import os
import struct
import subprocess
import zlib

import pefile

MARK = ("MIRELK", 1, 0)
MARK_TEXT = b"Mirelk launcher"


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def run_attach(pack, stub, out, *options):
    """Runs `mirelk-pack attach` with a stub and an output; returns the
    completed process."""
    return subprocess.run([pack, "attach", "--stub", stub, "-o", out, *options], capture_output=True)


def read_resources(image):
    """{(type, name, language): bytes} as pefile reads them; types and names
    are numbers or strings."""
    pe = pefile.PE(data=image) if isinstance(image, bytes) else pefile.PE(image)
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                key = (str(kind.name) if kind.name else kind.id, str(name.name) if name.name else name.id,
                       language.id)
                found[key] = pe.get_data(entry.OffsetToData, entry.Size)
    return found


def read_res_file(path):
    """The resources of a .res file as windres writes it, keyed like
    read_resources."""
    with open(path, "rb") as f:
        data = f.read()
    found = {}
    at = 0
    while at < len(data):
        size, header_size = struct.unpack_from("<II", data, at)
        header = data[at + 8:at + header_size]
        keys = []
        offset = 0
        for _ in range(2):
            if struct.unpack_from("<H", header, offset)[0] == 0xFFFF:
                keys.append(struct.unpack_from("<H", header, offset + 2)[0])
                offset += 4
            else:
                end = offset
                while struct.unpack_from("<H", header, end)[0]:
                    end += 2
                keys.append(header[offset:end].decode("utf-16-le"))
                offset = end + 2
        offset = align(offset, 4)
        language = struct.unpack_from("<H", header, offset + 6)[0]
        if size or keys != [0, 0]:
            found[(keys[0], keys[1], language)] = data[at + header_size:at + header_size + size]
        at = align(at + header_size + size, 4)
    return found


def check_valid(case, image, stub=None):
    """Asserts what a loader and signing tools rely on: pefile reads the image
    without a warning, the checksum is right, sections follow each other at
    their alignments, the size of image covers the last section, and the
    resource and relocation directories match their sections. With the stub
    given, the initialised data size changed by what the sections' file sizes
    changed."""
    pe = pefile.PE(data=image)
    case.assertEqual(pe.get_warnings(), [])
    header = pe.OPTIONAL_HEADER
    case.assertEqual(header.CheckSum, pe.generate_checksum())
    sections = pe.sections
    for before, section in zip([None] + sections[:-1], sections):
        case.assertEqual(section.PointerToRawData % header.FileAlignment, 0)
        case.assertEqual(section.SizeOfRawData % header.FileAlignment, 0)
        case.assertLessEqual(section.PointerToRawData + section.SizeOfRawData, len(image))
        if before is not None:
            case.assertEqual(section.VirtualAddress,
                             align(before.VirtualAddress + before.Misc_VirtualSize, header.SectionAlignment))
    last = sections[-1]
    case.assertEqual(header.SizeOfImage, align(last.VirtualAddress + last.Misc_VirtualSize, header.SectionAlignment))
    directories = header.DATA_DIRECTORY
    resources = directories[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
    case.assertIn((resources.VirtualAddress, resources.Size),
                  [(s.VirtualAddress, s.Misc_VirtualSize) for s in sections])
    check_sorted(case, pe.DIRECTORY_ENTRY_RESOURCE)
    relocations = directories[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if relocations.Size:
        case.assertIn(relocations.VirtualAddress, [s.VirtualAddress for s in sections])
    if stub is not None:
        before = pefile.PE(data=stub)
        grown = sum(s.SizeOfRawData for s in sections) - sum(s.SizeOfRawData for s in before.sections)
        case.assertEqual(header.SizeOfInitializedData - before.OPTIONAL_HEADER.SizeOfInitializedData, grown)
    return pe


def check_sorted(case, directory):
    """Asserts the order lookups rely on (they search each table by halves):
    named entries first, as many as the table counts, by their UTF-16 units;
    then numbered ones, ascending; no key twice."""
    entries = directory.entries
    named = directory.struct.NumberOfNamedEntries
    case.assertEqual([e.name is not None for e in entries], [True] * named + [False] * (len(entries) - named))
    names = [str(e.name).encode("utf-16-be") for e in entries[:named]]
    numbers = [e.id for e in entries[named:]]
    case.assertEqual(names, sorted(set(names)))
    case.assertEqual(numbers, sorted(set(numbers)))
    for entry in entries:
        if hasattr(entry, "directory"):
            check_sorted(case, entry.directory)


def version_strings(image):
    """The version block's string table and its two version numbers, as pefile
    reads them: ({key: value}, (file MS, file LS), (product MS, product LS))."""
    pe = pefile.PE(data=image)
    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    fixed = pe.VS_FIXEDFILEINFO[0]
    return strings, (fixed.FileVersionMS, fixed.FileVersionLS), (fixed.ProductVersionMS, fixed.ProductVersionLS)


def dib(width, height, bits):
    """An icon image as a device-independent bitmap: header, palette, pixels, mask."""
    palette = b"\0\1\2\0" * (1 << bits) if bits <= 8 else b""
    pixels = align(width * bits, 32) // 8 * height
    mask = align(width, 32) // 8 * height
    header = struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, bits, 0, 0, 0, 0, 0, 0)
    return header + palette + bytes((k * 7 + bits) % 256 for k in range(pixels)) + b"\0" * mask


def png(size):
    """A square grey PNG picture, as icons of 256 pixels are stored."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = b"".join(b"\0" + bytes([k % 256]) * size for k in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 0, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def ico(images):
    """An .ico file of (width byte, height byte, colours, reserved, planes,
    bits, image bytes) entries, images in order after the directory."""
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = len(head) + 16 * len(images)
    body = b""
    for width, height, colors, reserved, planes, bits, data in images:
        head += struct.pack("<BBBBHHII", width, height, colors, reserved, planes, bits, len(data), offset + len(body))
        body += data
    return head + body


def bmp(width, height):
    row = align(width * 3, 4)
    pixels = bytes((k * 13) % 256 for k in range(row * height))
    return (b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0) + pixels)


def resource_section(resources, rva):
    """A resource section for {(type, name, language): bytes}: depth-first
    tables, then data entries, name strings and 4-aligned data."""
    tree = {}
    for (kind, name, language), data in resources.items():
        tree.setdefault(kind, {}).setdefault(name, {})[language] = data
    order = lambda item: (0, item[0]) if isinstance(item[0], str) else (1, item[0])  # noqa: E731
    tables = []

    def plan(node, depth):
        table = {"items": sorted(node.items(), key=order), "depth": depth}
        tables.append(table)
        if depth < 2:
            table["children"] = [plan(child, depth + 1) for _, child in table["items"]]
        return table

    plan(tree, 0)
    offset = 0
    for table in tables:
        table["at"] = offset
        offset += 16 + 8 * len(table["items"])
    leaves = [(table, k) for table in tables if table["depth"] == 2 for k in range(len(table["items"]))]
    leaf_number = {(id(table), k): n for n, (table, k) in enumerate(leaves)}
    entries_at = offset
    offset += 16 * len(leaves)
    names = sorted({key for table in tables if table["depth"] < 2 for key, _ in table["items"]
                    if isinstance(key, str)})
    strings_at = {}
    for name in names:
        strings_at[name] = offset
        offset += 2 + 2 * len(name)
    data_at = []
    for table, k in leaves:
        offset = align(offset, 4)
        data_at.append(offset)
        offset += len(table["items"][k][1])
    out = bytearray(offset)
    for table in tables:
        named = sum(isinstance(key, str) for key, _ in table["items"])
        struct.pack_into("<IIHHHH", out, table["at"], 0, 0, 0, 0, named, len(table["items"]) - named)
        for k, (key, _) in enumerate(table["items"]):
            field = (0x80000000 | strings_at[key]) if isinstance(key, str) else key
            if table["depth"] < 2:
                target = 0x80000000 | table["children"][k]["at"]
            else:
                target = entries_at + 16 * leaf_number[(id(table), k)]
            struct.pack_into("<II", out, table["at"] + 16 + 8 * k, field, target)
    for name, at in strings_at.items():
        out[at:at + 2 + 2 * len(name)] = struct.pack("<H", len(name)) + name.encode("utf-16-le")
    for n, (table, k) in enumerate(leaves):
        data = table["items"][k][1]
        struct.pack_into("<IIII", out, entries_at + 16 * n, rva + data_at[n], len(data), 0, 0)
        out[data_at[n]:data_at[n] + len(data)] = data
    return bytes(out)


def make_image(plus, resources, relocations=True, overlay=b"", data_after_resources=False, signed=False):
    """A small PE32 (or PE32+ with `plus`) GUI image: .text, .rsrc with
    `resources`, then a base relocation section and bytes after the last
    section, as asked. It runs nothing; it has the shape linkers give."""
    file_alignment, section_alignment = 0x200, 0x1000
    sections = [(b".text", bytes(range(256)) * 3, 0x60000020)]
    rva = section_alignment * 2
    sections.append((b".rsrc", resource_section(resources, rva), 0x40000040))
    if data_after_resources:
        sections.append((b".data", b"data" * 100, 0xC0000040))
    if relocations:
        kind = 10 if plus else 3
        sections.append((b".reloc", struct.pack("<IIHH", 0x1000, 12, (kind << 12) | 0x10, 0), 0x42000040))
    headers_size = 0x400
    table = []
    raw = headers_size
    va = section_alignment
    body = b""
    for name, data, flags in sections:
        size = align(len(data), file_alignment)
        table.append((name, len(data), va, size, raw, flags))
        body += data + bytes(size - len(data))
        raw += size
        va += align(len(data), section_alignment)
    directories = [(0, 0)] * 16
    directories[2] = (table[1][2], table[1][1])
    if relocations:
        directories[5] = (table[-1][2], table[-1][1])
    if signed:
        directories[4] = (raw + len(overlay), 16)
        overlay += struct.pack("<IHH", 16, 0x200, 2) + bytes(8)
    initialized = sum(entry[3] for entry in table[1:])
    if plus:
        optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", 0x20B, 2, 40, table[0][3], initialized, 0, 0x1000,
                               0x1000, 0x140000000, section_alignment, file_alignment, 4, 0, 0, 0, 5, 2, 0, va,
                               headers_size, 0, 2, 0x160, 0x200000, 0x1000, 0x100000, 0x1000, 0, 16)
    else:
        optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 2, 40, table[0][3], initialized, 0, 0x1000,
                               0x1000, 0x2000, 0x400000, section_alignment, file_alignment, 4, 0, 0, 0, 4, 0, 0, va,
                               headers_size, 0, 2, 0x140, 0x200000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    coff = struct.pack("<HHIIIHH", 0x8664 if plus else 0x14C, len(table), 0, 0, 0, len(optional),
                       0x22 if plus else 0x102)
    headers = b"MZ" + bytes(58) + struct.pack("<I", 0x80) + bytes(0x40) + b"PE\0\0" + coff + optional
    for name, virtual_size, address, size, pointer, flags in table:
        headers += struct.pack("<8sIIIIIIHHI", name, virtual_size, address, size, pointer, 0, 0, 0, 0, flags)
    image = bytearray(headers + bytes(headers_size - len(headers)) + body + overlay)
    pe = pefile.PE(data=bytes(image))
    struct.pack_into("<I", image, pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"), pe.generate_checksum())
    return bytes(image)


def tool_output(*command):
    return subprocess.run(command, capture_output=True, check=True).stdout


def ico_images(data):
    """The directory entries of an .ico file with each entry's image bytes."""
    count = struct.unpack_from("<H", data, 4)[0]
    images = []
    for k in range(count):
        entry = struct.unpack_from("<BBBBHHII", data, 6 + 16 * k)
        images.append((entry[:7], data[entry[7]:entry[7] + entry[6]]))
    return images


def icon_as_wrestool_extracts(image_path, scratch):
    """The icon group 101 of an image as wrestool rebuilds it into an .ico
    file (wrestool 0.32 writes some stray bytes after the last image), and
    icotool's listing of that file."""
    out = os.path.join(scratch, "extracted.ico")
    subprocess.run(["wrestool", "-x", "--type=14", "--name=101", "-o", out, image_path], check=True,
                   capture_output=True)
    with open(out, "rb") as f:
        return ico_images(f.read()), tool_output("icotool", "-l", out).decode()
