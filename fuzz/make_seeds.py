#!/usr/bin/env python3
"""Writes the seed corpora fuzz/corpus/<target>/ in the input formats the targets read.

Run it again after changing a target's input format: python3 fuzz/make_seeds.py
"""
import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

NAME0 = b"\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD"
NAME1 = b"\xBA\xA3\xBF\xB5\xBF\xA8\xCA\xBD" b"DVR"
NAME2 = b"\xD6\xDA\xC4\xDC\xB4\xEF" b"DVS"


def field(text, length=None):
    """A length-prefixed 256-byte field; length may differ from the text's."""
    length = len(text) if length is None else length
    return bytes([length]) + text.ljust(255, b"\0")[:255]


def int32(value):
    """The targets read integers most significant byte first."""
    return struct.pack(">i", value)


def word(value=0):
    return struct.pack(">q", value)


def init_params():
    return {
        "registry": field(b"") + field(b"registry"),
        "types-with-path": field(b"C:\\Velmora\\plugins") + field(b"types"),
        "stress-trailing-separator": field(b"P") + field(b"stress/"),
        "length-beyond-zero": field(b"path\0hidden", 11) + field(b"registry\0types", 14),
        "length-shorter-than-text": field(b"pathtext", 4) + field(b"typesXYZ", 5),
        "full-length": field(b"A" * 255) + field(b"B" * 255),
        "empty": bytes(512),
        "short": field(b"")[:10],
    }


def type_name():
    return {
        "type0": NAME0,
        "type1": NAME1,
        "type2": NAME2,
        "empty": b"",
        "null": b"\xFF",
        "prefix": NAME1[:-3],
        "longer": NAME2 + b"X",
    }


def login_record(rewrite, result, server, type_id, record):
    return bytes([rewrite]) + int32(result) + int32(server) + int32(type_id) + record


def record(server, type_id, tail=b""):
    return struct.pack("<ii", server, type_id) + tail


def login_records():
    return {
        "type0": login_record(0, 1, 0, 0, record(5, 0)),
        "type1-rewritten": login_record(1, 3, 9, 1, record(5, 1, b"hosttail")),
        "refused": login_record(0, 0, 0, 0, record(6, 1)),
        "bare-type": login_record(0, 1, 0, 0, record(7, 2)),
        "unknown-type": login_record(0, 1, 0, 0, record(8, 3)),
        "rewritten-to-bare": login_record(1, 1, 10, 2, record(9, 0)),
        "short-record": login_record(0, 1, 0, 0, b"\x05"),
    }


# export_sequence: one byte picks the operation (its value modulo 12), then its arguments;
# a callback reads its answer, then how many operations its host code runs, then those.
INIT, DEINIT, ADD, DEL, LOGIN, SELECT, WALK, FIND, MSG, TELL, FORWARD = 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10
REGISTRY, TYPES, NOPLUGIN = 0, 1, 2
PTZ_CONTROL, CHANGE_SERVER = 10, 1


def init(folder):
    return bytes([INIT, folder]) + word(0x1234)


def sequences():
    select = bytes([SELECT, 1])  # install the selection callback
    # AddServer(server), then the callback's answer (index + 1) and no host code.
    add_and_call = (init(REGISTRY) + select + bytes([ADD, 1]) + bytes([1, 0]) +
                    bytes([FORWARD, PTZ_CONTROL, 1]) + word(2) * 4 + bytes([DEL, 1]))
    login_and_walk = (init(TYPES) + bytes([LOGIN, 1, 3, 1]) +
                      bytes([WALK, 0, 1, 1]) + init(REGISTRY) + bytes([FIND, 1]))
    reinit_in_choice = (init(TYPES) + select + bytes([ADD, 2]) + bytes([1, 1]) + init(REGISTRY) +
                        bytes([FORWARD, CHANGE_SERVER, 2]))
    told_recorder = (init(REGISTRY) + select + bytes([TELL, 0, 0, 1, 0, 2]) +
                     bytes([ADD, 3, 1, 0]) + bytes([DEL, 3]) + bytes([DEINIT]))
    return {
        "add-call-delete": add_and_call,
        "login-and-reentering-walk": login_and_walk,
        "reinitialise-inside-choice": reinit_in_choice,
        "recorder-told-to-refuse": told_recorder,
        "empty-table": init(NOPLUGIN) + select + bytes([ADD, 4, 1, 0, MSG]) + word(1) + word(2),
    }


# report_channel: the key the target marks with, and the marks as the library makes them.
KEY = bytes([0x56, 0x4C, 0x4D]) + bytes(13)


def fnv1a(data, value=0xCBF29CE484222325):
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


def marked(text, number):
    """A line of the helper's report: its text and the mark of its number."""
    mark = fnv1a(KEY + struct.pack("<I", number) + text)
    return text + b" " + b"%016x" % mark + b"\n"


def reports():
    def pieces(lines):
        # Each line as a piece the harness marks itself.
        return b"".join(bytes([0x80 | 63, len(line)]) + line for line in lines)
    good = [b"H", b"B 0", b"S 0", b"S 1", b"V 0", b"E"]
    return {
        "good-report-cut": bytes([0x80 | 2]) + bytes([3, 0, 1, 2, 5, 9, 1, 2, 3]),
        "marked-lines": bytes([1]) + pieces(good),
        "last-words": bytes([1]) + pieces([b"H", b"B 0", b"S 3", b"D 1 3"]),
        "misdeed": bytes([1]) + pieces([b"H", b"B 0", b"S 0", b"F 0 2"]),
        "raw-good-line": bytes([1, 127, 40]) + marked(b"H", 0) + b"B 0 0000000000000000\n",
        "request": (b"velmora-scan-request 1\nK " + KEY.hex().encode() + b"\nD x2f746d70\nP x\n"
                    b"N x515844565261\nG\n"),
    }


def library_version():
    project = (CORPUS.parent.parent / "CMakeLists.txt").read_text()
    return project.split("project(Velmora VERSION ", 1)[1].split()[0].encode()


def verdict_caches():
    def cache(version, body_lines, forgotten=0):
        text = b"velmora-verdicts 2 %s linux-x86_64 %d\n" % (version, forgotten) + b"".join(body_lines)
        return text + b"end %d %016x\n" % (len(body_lines), fnv1a(text))
    entries = [b"x2f612f515844565261 4096 17 x74657874 examined x 1700000000000 0\n",
               b"x2f612f515844565262 8192 18 x condemned x61626f72746564 1700000000001 0\n",
               b"x2f612f515844565263 8192 19 x provisional x6e6f20616e73776572 1700000000002 2\n"]
    return {
        "three-verdicts": cache(library_version(), entries, 1690000000000),
        "empty": cache(library_version(), []),
        "another-version": cache(b"0.2.0", entries),
        "made-and-changed": bytes([1]) + bytes([0, 0, 1, 0, 2, 5]) + b"/a/QX" + bytes(8) + b"\0" + bytes(12),
    }


def elf_library():
    """A small 64-bit ELF shared object: two exported names, one needed library, a run path."""
    strings = b"\0GetServerTypeID\0_Z10PTZControlillll\0libc.so.6\0$ORIGIN\0"
    name = strings.index
    symbols = bytes(24) + b"".join(
        struct.pack("<IBBHQQ", name(text), 0x12, 0, 1, 0x1000, 16)
        for text in (b"GetServerTypeID", b"_Z10PTZControlillll"))
    dynamic = struct.pack("<qQqQqQ", 1, name(b"libc.so.6"), 29, name(b"$ORIGIN"), 0, 0)
    body = strings + symbols + dynamic
    start = 64
    sections = [(0, 0, 0, 0, 0, 0), (3, start, len(strings), 0, 0, 0),
                (11, start + len(strings), len(symbols), 1, 1, 24),
                (6, start + len(strings) + len(symbols), len(dynamic), 1, 0, 16)]
    table = b"".join(struct.pack("<IIQQQQIIQQ", 0, kind, 0, 0, offset, length, link, info, 8, entry)
                     for kind, offset, length, link, info, entry in sections)
    header = (b"\x7fELF\x02\x01\x01" + bytes(9) +
              struct.pack("<HHIQQQIHHHHHH", 3, 62, 1, 0, 0, start + len(body), 0, 64, 56, 0, 64,
                          len(sections), 0))
    return header + body + table


def pe_library(machine=0x14C, magic=0x10B):
    """A small PE DLL: two exported names (one decorated) and one imported library."""
    optional_size = 224 if magic == 0x10B else 240
    directories = 96 if magic == 0x10B else 112
    section_rva, section_at = 0x1000, 0x200
    names = [b"GetServerTypeID@0\0", b"PTZControl\0"]
    export = bytearray(40)
    name_table = section_rva + 40
    strings_rva = name_table + 4 * len(names)
    struct.pack_into("<II", export, 24, len(names), 0)
    struct.pack_into("<I", export, 32, name_table)
    offsets, rva = [], strings_rva
    for text in names:
        offsets.append(rva)
        rva += len(text)
    exports = bytes(export) + struct.pack("<%dI" % len(names), *offsets) + b"".join(names)
    import_rva = section_rva + len(exports)
    library = b"KERNEL32.dll\0"
    imports = struct.pack("<IIIII", 0, 0, 0, import_rva + 40, 0x2000) + bytes(20) + library
    data = exports + imports
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, magic)
    struct.pack_into("<I", optional, directories - 4, 16)
    struct.pack_into("<II", optional, directories, section_rva, len(exports))
    struct.pack_into("<II", optional, directories + 8, import_rva, len(imports))
    section = b".data\0\0\0" + struct.pack("<IIIIIIHHI", 0x1000, section_rva, 0x400, section_at, 0, 0, 0, 0,
                                              0xC0000040)
    headers = (b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0" +
               struct.pack("<HHIIIHH", machine, 1, 0, 0, 0, optional_size, 0x2102) + bytes(optional) + section)
    return headers.ljust(section_at, b"\0") + data.ljust(0x400, b"\0")


def binary_images():
    elf = elf_library()
    return {
        "elf-library": elf,
        "elf-truncated": elf[:100],
        "pe32-library": pe_library(),
        "pe64-library": pe_library(0x8664, 0x20B),
        "pe-truncated": pe_library()[:0x180],
        "text": b"not a library\n",
    }


def main():
    for target, seeds in {
        "init_params": init_params(),
        "type_name": type_name(),
        "login_record": login_records(),
        "export_sequence": sequences(),
        "report_channel": reports(),
        "verdict_cache": verdict_caches(),
        "binary_image": binary_images(),
    }.items():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
