"""Broken media files made from good ones, deterministically.

Each fixture (a good file of a known kind) gives a list of named mutations: truncations at many
points, byte flips in its headers and index, zeroed and huge sizes and counts, swapped FourCCs
and codes. A mutation's bytes depend only on the fixture's bytes and the mutation's name (its
random numbers are seeded by the name), so a file is made again from its name alone.
"""

import random
import struct

HUGE = {"ffffffff": 0xFFFFFFFF, "7fffffff": 0x7FFFFFFF}
SIZES = {"zero": 0, **HUGE}


def rng(fixture, mutation):
    return random.Random(f"{fixture}:{mutation}")


def put32(data, offset, value, big=False):
    if offset + 4 > len(data):
        return None
    out = bytearray(data)
    out[offset : offset + 4] = struct.pack(">I" if big else "<I", value)
    return bytes(out)


def put16(data, offset, value, big=False):
    if offset + 2 > len(data):
        return None
    out = bytearray(data)
    out[offset : offset + 2] = struct.pack(">H" if big else "<H", value)
    return bytes(out)


def put(data, offset, raw):
    if offset + len(raw) > len(data):
        return None
    out = bytearray(data)
    out[offset : offset + len(raw)] = raw
    return bytes(out)


def flips(data, start, end, seed, count=3):
    """count bytes in [start, end) XORed with a non-zero value."""
    end = min(end, len(data))
    if end <= start:
        return None
    out = bytearray(data)
    for _ in range(count):
        pos = seed.randrange(start, end)
        out[pos] ^= seed.randrange(1, 256)
    return bytes(out)


# --- Generic mutations, for every kind ---------------------------------------------------------


def truncations(data):
    size = len(data)
    points = {p for p in (0, 4, 12, 32, 64, 200, 512, 2048) if p < size}
    points |= {size * k // 12 for k in range(1, 12)}
    points |= {size - 1}
    return [(f"trunc-{p}", (lambda p: lambda d, s: d[:p])(p)) for p in sorted(points) if p >= 0]


def head_flips(region_end=512, count=6):
    return [(f"flip-head-{i}", lambda d, s: flips(d, 0, min(region_end, len(d)), s))
            for i in range(count)]


# --- RIFF: AVI and WAV -----------------------------------------------------------------------


def riff_chunks(data, start=0, end=None, depth=0, limit=8):
    """(id, header offset, size, data offset, list type) of the chunks in [start, end); the
    children of RIFF and LIST too, but at most `limit` children of a movi list."""
    end = len(data) if end is None else end
    out = []
    pos = start
    while pos + 8 <= end:
        cid = data[pos : pos + 4]
        size = struct.unpack_from("<I", data, pos + 4)[0]
        entry = {"id": cid.decode("latin1"), "off": pos, "size": size, "data": pos + 8, "type": ""}
        out.append(entry)
        if cid in (b"RIFF", b"LIST") and pos + 12 <= end:
            entry["type"] = data[pos + 8 : pos + 12].decode("latin1")
            children = riff_chunks(data, pos + 12, min(end, pos + 8 + size), depth + 1, limit)
            if entry["type"] == "movi":
                children = children[:limit]
            out.extend(children)
        pos += 8 + size + (size & 1)
    return out


def chunk_label(c, seen):
    name = (c["type"] or c["id"]).strip().replace(" ", "_") or "x"
    n = seen.get(name, 0)
    seen[name] = n + 1
    return f"{name}{n}"


def riff_sizes(chunks):
    """Zeroed and huge sizes of every chunk header."""
    muts = []
    seen = {}
    for c in chunks:
        label = chunk_label(c, seen)
        for vname, v in SIZES.items():
            muts.append((f"size-{label}-{vname}", (lambda o, v: lambda d, s: put32(d, o, v))(c["off"] + 4, v)))
    return muts


def fields(label, base, table, values=None):
    """The named 32-bit (or 16-bit) fields of a structure at base, each set to each value."""
    muts = []
    for fname, off, width in table:
        vals = values or ({"zero": 0, "ffff": 0xFFFF} if width == 2 else SIZES)
        for vname, v in vals.items():
            setter = put16 if width == 2 else put32
            muts.append((f"{label}-{fname}-{vname}",
                         (lambda o, v, f: lambda d, s: f(d, o, v))(base + off, v, setter)))
    return muts


AVIH = [("MicroSecPerFrame", 0, 4), ("TotalFrames", 16, 4), ("Streams", 24, 4),
        ("SuggestedBufferSize", 28, 4), ("Width", 32, 4), ("Height", 36, 4)]
STRH = [("Scale", 20, 4), ("Rate", 24, 4), ("Start", 28, 4), ("Length", 32, 4),
        ("SuggestedBufferSize", 36, 4), ("SampleSize", 44, 4)]
BIH = [("biSize", 0, 4), ("biWidth", 4, 4), ("biHeight", 8, 4), ("biBitCount", 14, 2),
       ("biSizeImage", 20, 4), ("biClrUsed", 32, 4)]
WFX = [("nChannels", 2, 2), ("nSamplesPerSec", 4, 4), ("nAvgBytesPerSec", 8, 4),
       ("nBlockAlign", 12, 2), ("wBitsPerSample", 14, 2), ("wFormatTag", 0, 2)]


def avi_mutations(data):
    chunks = riff_chunks(data)
    muts = riff_sizes([c for c in chunks if c["id"] != "JUNK"])
    kinds = []
    for c in chunks:
        cid, base = c["id"], c["data"]
        if cid == "avih":
            muts += fields("avih", base, AVIH)
            muts += [(f"flip-avih-{i}", (lambda b, n: lambda d, s: flips(d, b, b + n, s))(base, c["size"]))
                     for i in range(6)]
        elif cid == "strh":
            n = len(kinds)
            kinds.append(data[base : base + 4])
            muts += fields(f"strh{n}", base, STRH)
            muts += [(f"flip-strh{n}-{i}", (lambda b, k: lambda d, s: flips(d, b, b + k, s))(base, c["size"]))
                     for i in range(8)]
            other = b"auds" if kinds[-1] == b"vids" else b"vids"
            muts.append((f"swap-strh{n}-type-{other.decode()}", (lambda o, r: lambda d, s: put(d, o, r))(base, other)))
            for fcc in (b"H264", b"MJPG", b"\0\0\0\0"):
                muts.append((f"swap-strh{n}-handler-{fcc.decode().strip(chr(0)) or 'null'}",
                             (lambda o, r: lambda d, s: put(d, o, r))(base + 4, fcc)))
        elif cid == "strf" and kinds:
            n = len(kinds) - 1
            table = BIH if kinds[-1] == b"vids" else WFX
            muts += fields(f"strf{n}", base, table)
            muts += [(f"flip-strf{n}-{i}", (lambda b, k: lambda d, s: flips(d, b, b + k, s))(base, c["size"]))
                     for i in range(8)]
            if kinds[-1] == b"vids":
                for fcc in (b"H264", b"MSVC", b"\0\0\0\0", b"\xff\xff\xff\xff"):
                    muts.append((f"swap-strf{n}-compression-{fcc.hex()}",
                                 (lambda o, r: lambda d, s: put(d, o, r))(base + 16, fcc)))
            else:
                for tag in (0x0001, 0x0055, 0xFFFE, 0x0000):
                    muts.append((f"swap-strf{n}-tag-{tag:04x}", (lambda o, v: lambda d, s: put16(d, o, v))(base, tag)))
        elif cid == "idx1":
            muts += [(f"flip-idx1-{i}", (lambda b, k: lambda d, s: flips(d, b, b + k, s, 6))(base, c["size"]))
                     for i in range(10)]
            for entry in (0, 1):
                e = base + 16 * entry
                muts += fields(f"idx1e{entry}", e, [("offset", 8, 4), ("size", 12, 4)])
                muts.append((f"swap-idx1e{entry}-id", (lambda o: lambda d, s: put(d, o, b"99zz"))(e)))
            muts.append(("swap-idx1-junk", (lambda o: lambda d, s: put(d, o, b"JUNK"))(c["off"])))
    for c in chunks:
        if c["type"] in ("hdrl", "movi", "strl", "odml"):
            other = {"hdrl": b"movi", "movi": b"hdrl", "strl": b"INFO", "odml": b"strl"}[c["type"]]
            muts.append((f"swap-list-{c['type']}", (lambda o, r: lambda d, s: put(d, o, r))(c["off"] + 8, other)))
        if c["type"] == "AVI ":
            for other in (b"AVIX", b"WAVE"):
                muts.append((f"swap-riff-{other.decode()}", (lambda o, r: lambda d, s: put(d, o, r))(c["off"] + 8, other)))
    movi = [c for c in chunks if len(c["id"]) == 4 and c["id"][:2].isdigit()]
    for c in movi[:3]:
        swapped = (c["id"][:2] + ("wb" if c["id"][2:] in ("dc", "db") else "dc")).encode()
        muts.append((f"swap-{c['id']}-at{c['off']}", (lambda o, r: lambda d, s: put(d, o, r))(c["off"], swapped)))
    return muts


def wav_mutations(data):
    chunks = riff_chunks(data)
    muts = riff_sizes(chunks)
    for c in chunks:
        if c["id"] == "fmt ":
            muts += fields("fmt", c["data"], WFX)
            muts += [(f"flip-fmt-{i}", (lambda b, k: lambda d, s: flips(d, b, b + k, s))(c["data"], c["size"]))
                     for i in range(8)]
            for tag in (0x0055, 0xFFFE, 0x0000, 0x0002):
                muts.append((f"swap-fmt-tag-{tag:04x}", (lambda o, v: lambda d, s: put16(d, o, v))(c["data"], tag)))
        if c["id"] in ("fmt ", "data"):
            for other in (b"JUNK", b"fmt " if c["id"] == "data" else b"data"):
                muts.append((f"swap-{c['id'].strip()}-{other.decode().strip()}",
                             (lambda o, r: lambda d, s: put(d, o, r))(c["off"], other)))
    for other in (b"AVI ", b"RMP3"):
        muts.append((f"swap-riff-{other.decode().strip()}", (lambda r: lambda d, s: put(d, 8, r))(other)))
    return muts


# --- Pictures --------------------------------------------------------------------------------

BMP_HEADER = [("bfSize", 2, 4), ("bfOffBits", 10, 4), ("biSize", 14, 4), ("biWidth", 18, 4),
              ("biHeight", 22, 4), ("biPlanes", 26, 2), ("biBitCount", 28, 2),
              ("biCompression", 30, 4), ("biSizeImage", 34, 4), ("biClrUsed", 46, 4),
              ("biClrImportant", 50, 4)]


def bmp_mutations(data):
    muts = fields("bmp", 0, BMP_HEADER)
    muts += fields("bmp", 0, [("biHeight", 22, 4), ("biWidth", 18, 4)], {"negative": 0x80000000, "minus1": 0xFFFFFFFF})
    muts += fields("bmp", 0, [("biBitCount", 28, 2)], {"b1": 1, "b4": 4, "b16": 16, "b32": 32, "b7": 7})
    muts += fields("bmp", 0, [("biCompression", 30, 4)], {"rle8": 1, "rle4": 2, "bitfields": 3, "jpeg": 4})
    for other in (b"BA", b"MB", b"\0\0"):
        muts.append((f"swap-magic-{other.hex()}", (lambda r: lambda d, s: put(d, 0, r))(other)))
    offbits = struct.unpack_from("<I", data, 10)[0]
    muts += [(f"flip-header-{i}", lambda d, s: flips(d, 0, 54, s)) for i in range(10)]
    if offbits > 54:
        muts += [(f"flip-palette-{i}", (lambda e: lambda d, s: flips(d, 54, e, s, 8))(offbits)) for i in range(6)]
    return muts


def png_chunks(data):
    out, pos = [], 8
    while pos + 12 <= len(data):
        length = struct.unpack_from(">I", data, pos)[0]
        out.append({"id": data[pos + 4 : pos + 8].decode("latin1"), "off": pos, "size": length,
                    "type": ""})
        pos += 12 + length
    return out


def png_mutations(data):
    muts = []
    seen = {}
    for c in png_chunks(data)[:8]:
        label = chunk_label(c, seen)
        for vname, v in SIZES.items():
            muts.append((f"size-{label}-{vname}", (lambda o, v: lambda d, s: put32(d, o, v, True))(c["off"], v)))
        muts += [(f"flip-{label}-{i}", (lambda b, k: lambda d, s: flips(d, b, b + k, s))(c["off"] + 8, min(c["size"], 256)))
                 for i in range(4)]
        other = {"IHDR": b"IDAT", "IDAT": b"IEND", "IEND": b"IDAT", "PLTE": b"tRNS"}.get(c["id"], b"IHDR")
        muts.append((f"swap-{label}-{other.decode()}", (lambda o, r: lambda d, s: put(d, o, r))(c["off"] + 4, other)))
    ihdr = 16
    muts += fields("ihdr", ihdr, [("width", 0, 4), ("height", 4, 4)], {"zero": 0, "ffffffff": 0xFFFFFFFF, "7fffffff": 0x7FFFFFFF, "big": 0x00010000})
    for fname, off, vals in (("depth", 8, (0, 3, 16, 255)), ("colour", 9, (1, 3, 7, 255)),
                             ("compression", 10, (1,)), ("interlace", 12, (1, 2))):
        for v in vals:
            muts.append((f"ihdr-{fname}-{v}", (lambda o, v: lambda d, s: put(d, o, bytes([v])))(ihdr + off, v)))
    muts.append(("swap-magic", lambda d, s: put(d, 1, b"PNH")))
    return muts


def jpeg_segments(data):
    out, pos = [], 2
    while pos + 4 <= len(data) and data[pos] == 0xFF:
        marker = data[pos + 1]
        length = struct.unpack_from(">H", data, pos + 2)[0]
        out.append({"marker": marker, "off": pos, "size": length, "type": ""})
        if marker == 0xDA:
            break
        pos += 2 + length
    return out


def jpeg_mutations(data):
    muts = []
    names = {0xC0: "SOF0", 0xC4: "DHT", 0xDB: "DQT", 0xDA: "SOS", 0xE0: "APP0", 0xFE: "COM", 0xDD: "DRI"}
    seen = {}
    for seg in jpeg_segments(data):
        label = chunk_label({"id": names.get(seg["marker"], f"M{seg['marker']:02X}"), "type": ""}, seen)
        for vname, v in {"zero": 0, "two": 2, "ffff": 0xFFFF}.items():
            muts.append((f"len-{label}-{vname}", (lambda o, v: lambda d, s: put16(d, o, v, True))(seg["off"] + 2, v)))
        muts += [(f"flip-{label}-{i}", (lambda b, k: lambda d, s: flips(d, b, b + k, s))(seg["off"] + 4, seg["size"] - 2))
                 for i in range(4)]
        if seg["marker"] == 0xC0:
            b = seg["off"] + 4
            for vname, v in {"zero": 0, "ffff": 0xFFFF}.items():
                muts.append((f"sof-height-{vname}", (lambda o, v: lambda d, s: put16(d, o, v, True))(b + 1, v)))
                muts.append((f"sof-width-{vname}", (lambda o, v: lambda d, s: put16(d, o, v, True))(b + 3, v)))
            for v in (0, 4, 255):
                muts.append((f"sof-components-{v}", (lambda o, v: lambda d, s: put(d, o, bytes([v])))(b + 5, v)))
            muts.append(("sof-precision-12", (lambda o: lambda d, s: put(d, o, b"\x0c"))(b)))
        other = {0xC0: 0xC2, 0xC4: 0xDB, 0xDB: 0xC4, 0xDA: 0xD9}.get(seg["marker"])
        if other:
            muts.append((f"swap-{label}-{other:02X}", (lambda o, r: lambda d, s: put(d, o, bytes([r])))(seg["off"] + 1, other)))
    muts.append(("swap-soi", lambda d, s: put(d, 0, b"\xff\xd9")))
    return muts


# --- MP4 -------------------------------------------------------------------------------------

MP4_CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"edts", b"dinf", b"udta"}


def mp4_boxes(data, start=0, end=None):
    end = len(data) if end is None else end
    out, pos = [], start
    while pos + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, pos)
        out.append({"id": kind.decode("latin1"), "off": pos, "size": size, "type": ""})
        if size < 8:
            break
        if kind in MP4_CONTAINERS:
            out.extend(mp4_boxes(data, pos + 8, min(end, pos + size)))
        elif kind == b"stsd":
            out.extend(mp4_boxes(data, pos + 16, min(end, pos + size)))
        pos += size
    return out


# (box, field, offset from the box's start) of counts and sizes worth breaking.
MP4_FIELDS = {"mvhd": [("timescale", 20), ("duration", 24)], "mdhd": [("timescale", 20), ("duration", 24)],
              "tkhd": [("width", 84), ("height", 88)], "stsz": [("samplesize", 12), ("count", 16)],
              "stco": [("count", 12), ("first", 16)], "stts": [("count", 12), ("delta", 20)],
              "stsc": [("count", 12), ("first", 16)], "stss": [("count", 12)], "stsd": [("count", 12)],
              "ctts": [("count", 12)], "elst": [("count", 12)]}


def mp4_mutations(data):
    boxes = mp4_boxes(data)
    muts = []
    seen = {}
    for b in boxes:
        label = chunk_label(b, seen)
        values = dict(SIZES)
        values["one"] = 1
        for vname, v in values.items():
            muts.append((f"size-{label}-{vname}", (lambda o, v: lambda d, s: put32(d, o, v, True))(b["off"], v)))
        for fname, off in MP4_FIELDS.get(b["id"], []):
            for vname, v in SIZES.items():
                muts.append((f"{label}-{fname}-{vname}", (lambda o, v: lambda d, s: put32(d, o, v, True))(b["off"] + off, v)))
        if b["id"] in ("stsd", "stsz", "stco", "avcC", "esds", "mp4a", "avc1", "mp4v"):
            muts += [(f"flip-{label}-{i}", (lambda o, k: lambda d, s: flips(d, o + 8, o + k, s))(b["off"], min(b["size"], 256)))
                     for i in range(3)]
        other = {"moov": b"free", "mdat": b"free", "trak": b"skip", "stsd": b"stts", "stco": b"co64",
                 "avc1": b"XVID", "mp4a": b"lpcm", "hdlr": b"free", "stsz": b"stz2"}.get(b["id"])
        if other:
            muts.append((f"swap-{label}-{other.decode()}", (lambda o, r: lambda d, s: put(d, o, r))(b["off"] + 4, other)))
    return muts


# --- Matroska --------------------------------------------------------------------------------

MKV_IDS = {"Segment": b"\x18\x53\x80\x67", "SeekHead": b"\x11\x4d\x9b\x74", "Info": b"\x15\x49\xa9\x66",
           "Tracks": b"\x16\x54\xae\x6b", "TrackEntry": b"\xae", "Video": b"\xe0", "Audio": b"\xe1",
           "Cluster": b"\x1f\x43\xb6\x75", "Cues": b"\x1c\x53\xbb\x6b", "CodecPrivate": b"\x63\xa2"}


def vint_length(first):
    for n in range(8):
        if first & (0x80 >> n):
            return n + 1
    return 0


def mkv_mutations(data):
    muts = []
    tracks = data.find(MKV_IDS["Tracks"])
    for name, eid in MKV_IDS.items():
        start = tracks if len(eid) == 1 and tracks > 0 else 0
        pos = data.find(eid, start)
        if pos < 0:
            continue
        spos = pos + len(eid)
        n = vint_length(data[spos]) if spos < len(data) else 0
        if not n:
            continue
        marker = 0x80 >> (n - 1)
        ones = bytes([marker | (marker - 1)]) + b"\xff" * (n - 1)
        values = {"zero": bytes([marker]) + b"\0" * (n - 1), "unknown": ones,
                  "huge": ones[:-1] + bytes([ones[-1] - 1])}
        for vname, raw in values.items():
            muts.append((f"size-{name}-{vname}", (lambda o, r: lambda d, s: put(d, o, r))(spos, raw)))
        muts.append((f"vint-{name}-invalid", (lambda o: lambda d, s: put(d, o, b"\x00"))(spos)))
        muts += [(f"flip-{name}-{i}", (lambda o: lambda d, s: flips(d, o, o + 64, s))(spos)) for i in range(3)]
    for old, new in ((b"V_VP8", b"V_XYZ"), (b"A_VORBIS", b"A_PCM/IN"), (b"webm", b"xebm"), (b"matroska", b"natroska")):
        pos = data.find(old)
        if pos >= 0:
            muts.append((f"swap-{old.decode().replace('/', '_')}", (lambda o, r: lambda d, s: put(d, o, r))(pos, new)))
    return muts


# --- MPEG program stream ---------------------------------------------------------------------


def mpeg_mutations(data):
    muts = []
    seen = {}
    pos, found = 0, []
    while len(found) < 24:
        pos = data.find(b"\x00\x00\x01", pos)
        if pos < 0 or pos + 6 > len(data):
            break
        found.append((data[pos + 3], pos))
        pos += 4
    for code, off in found:
        label = chunk_label({"id": f"sc{code:02X}", "type": ""}, seen)
        if label.endswith(("3", "4", "5")) and not label.startswith("scB3"):
            continue
        if code >= 0xBB and code != 0xB9:  # system header and PES packets carry a 16-bit length
            for vname, v in {"zero": 0, "ffff": 0xFFFF}.items():
                muts.append((f"len-{label}-{vname}", (lambda o, v: lambda d, s: put16(d, o, v, True))(off + 4, v)))
        if code == 0xB3:  # sequence header: 12-bit width and height
            muts.append((f"{label}-size-zero", (lambda o: lambda d, s: put(d, o, b"\0\0\0"))(off + 4)))
            muts.append((f"{label}-size-max", (lambda o: lambda d, s: put(d, o, b"\xff\xff\xff"))(off + 4)))
            muts.append((f"{label}-rate-bad", (lambda o: lambda d, s: put(d, o, bytes([d[o] | 0x0F])))(off + 7)))
        muts += [(f"flip-{label}-{i}", (lambda o: lambda d, s: flips(d, o + 4, o + 24, s))(off)) for i in range(2)]
        other = {0xBA: 0xB9, 0xE0: 0xC0, 0xC0: 0xE0, 0xB3: 0xB7, 0xBB: 0xBE}.get(code)
        if other:
            muts.append((f"swap-{label}-{other:02X}", (lambda o, r: lambda d, s: put(d, o, bytes([r])))(off + 3, other)))
    return muts


# --- MP3 -------------------------------------------------------------------------------------


def mp3_mutations(data):
    muts = []
    first = 0
    if data[:3] == b"ID3":
        muts += [(f"id3-size-{n}", (lambda r: lambda d, s: put(d, 6, r))(r)) for n, r in
                 (("zero", b"\0\0\0\0"), ("max", b"\x7f\x7f\x7f\x7f"), ("bad", b"\xff\xff\xff\xff"))]
        muts.append(("swap-id3-TAG", lambda d, s: put(d, 0, b"TAG")))
        size = data[6] << 21 | data[7] << 14 | data[8] << 7 | data[9]
        first = 10 + size
    frames = []
    pos = first
    while len(frames) < 4:
        pos = data.find(b"\xff", pos)
        if pos < 0 or pos + 4 > len(data):
            break
        if data[pos + 1] & 0xE0 == 0xE0:
            frames.append(pos)
            pos += 100
        else:
            pos += 1
    for n, f in enumerate(frames):
        for vname, byte, mask, value in (("bitrate-bad", 2, 0xF0, 0xF0), ("bitrate-free", 2, 0xF0, 0x00),
                                         ("rate-reserved", 2, 0x0C, 0x0C), ("layer-reserved", 1, 0x06, 0x00),
                                         ("version-reserved", 1, 0x18, 0x08)):
            muts.append((f"frame{n}-{vname}", (lambda o, m, v: lambda d, s: put(d, o, bytes([(d[o] & ~m) | v])))(f + byte, mask, value)))
        muts += [(f"flip-frame{n}-{i}", (lambda o: lambda d, s: flips(d, o, o + 48, s))(f)) for i in range(3)]
    for tag in (b"Xing", b"Info", b"LAME"):
        pos = data.find(tag)
        if pos >= 0:
            muts += fields(f"{tag.decode()}", pos, [("flags", 4, 4), ("frames", 8, 4), ("bytes", 12, 4)])
            muts.append((f"swap-{tag.decode()}", (lambda o: lambda d, s: put(d, o, b"Junk"))(pos)))
    return muts


KINDS = {"avi": avi_mutations, "wav": wav_mutations, "bmp": bmp_mutations, "png": png_mutations,
         "jpg": jpeg_mutations, "mp4": mp4_mutations, "mkv": mkv_mutations, "mpg": mpeg_mutations,
         "mp3": mp3_mutations}


# The mutations of the structure kept per fixture, spread over its list: with the truncations
# and the flips of the head, about 80 files a fixture (more for AVI, the files we write and read
# most) and 1,100 in all.
STRUCTURED = 56
STRUCTURED_AVI = 90


def spread(items, n):
    if len(items) <= n:
        return items
    return [items[i * len(items) // n] for i in range(n)]


def mutations(data, kind):
    """The named mutations of a fixture of the given kind, in a fixed order, names unique."""
    muts = truncations(data) + head_flips() + spread(KINDS[kind](data), STRUCTURED_AVI if kind == "avi" else STRUCTURED)
    out, names = [], set()
    for name, fn in muts:
        if name not in names:
            names.add(name)
            out.append((name, fn))
    return out


def apply(fixture_id, data, name, fn):
    """The mutated bytes, or None when the mutation does not fit this file or changes nothing."""
    result = fn(data, rng(fixture_id, name))
    if result is None or result == data:
        return None
    return result
