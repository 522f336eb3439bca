"""Sets the package code and the dates of an MSI's summary information in place.

wixl stamps every package with a random package code and the build time; a reproducible release
needs both fixed. The summary information is a property set stream inside the MSI's compound
file. The values replaced have fixed sizes (a 38-character code, 8-byte file times), so the
stream is patched where it lies and nothing else in the file moves.
"""

import struct

SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
SUMMARY_STREAM = "\x05SummaryInformation"
END_OF_CHAIN = 0xFFFFFFFE
LAST_REGULAR_SECTOR = 0xFFFFFFFA

PID_REVNUMBER = 9          # the package code, "{XXXXXXXX-...}"
PID_CREATE_DTM = 12
PID_LASTSAVE_DTM = 13
VT_LPSTR = 30
VT_FILETIME = 64

FILETIME_UNIX_OFFSET = 11644473600  # seconds from 1601-01-01 to 1970-01-01


class MsiFormatError(ValueError):
    pass


def unix_to_filetime(seconds):
    return (seconds + FILETIME_UNIX_OFFSET) * 10_000_000


class CompoundFile:
    """Just enough of the compound file format to find one stream's bytes in the file."""

    def __init__(self, data):
        if len(data) < 512 or data[:8] != SIGNATURE:
            raise MsiFormatError("not a compound file")
        self.data = data
        self.sector_size = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini_sector_size = 1 << struct.unpack_from("<H", data, 0x20)[0]
        self.mini_cutoff = struct.unpack_from("<I", data, 0x38)[0]
        self.fat = self._read_fat()
        self.directory = self._read_chain_bytes(struct.unpack_from("<I", data, 0x30)[0])
        first_mini_fat, mini_fat_count = struct.unpack_from("<II", data, 0x3C)
        mini_fat_bytes = self._read_chain_bytes(first_mini_fat) if mini_fat_count else b""
        self.mini_fat = list(struct.unpack_from("<%dI" % (len(mini_fat_bytes) // 4), mini_fat_bytes))
        root = self._entry(0)
        self.mini_stream_sectors = self._chain(self.fat, root["start"])

    def _sector_offset(self, sector):
        offset = (sector + 1) * self.sector_size
        if sector > LAST_REGULAR_SECTOR or offset + self.sector_size > len(self.data):
            raise MsiFormatError("sector %d outside the file" % sector)
        return offset

    def _read_fat(self):
        count = struct.unpack_from("<I", self.data, 0x2C)[0]
        locations = list(struct.unpack_from("<109I", self.data, 0x4C))
        difat_sector, difat_count = struct.unpack_from("<II", self.data, 0x44)
        per_sector = self.sector_size // 4
        for _ in range(difat_count):
            entries = struct.unpack_from("<%dI" % per_sector, self.data, self._sector_offset(difat_sector))
            locations.extend(entries[:-1])
            difat_sector = entries[-1]
        fat = []
        for sector in locations[:count]:
            fat.extend(struct.unpack_from("<%dI" % per_sector, self.data, self._sector_offset(sector)))
        return fat

    @staticmethod
    def _chain(table, start):
        chain = []
        seen = set()
        sector = start
        while sector != END_OF_CHAIN:
            if sector >= len(table) or sector in seen:
                raise MsiFormatError("broken sector chain")
            seen.add(sector)
            chain.append(sector)
            sector = table[sector]
        return chain

    def _read_chain_bytes(self, start):
        return b"".join(
            self.data[self._sector_offset(s):self._sector_offset(s) + self.sector_size]
            for s in self._chain(self.fat, start))

    def _entry(self, index):
        raw = self.directory[index * 128:(index + 1) * 128]
        if len(raw) < 128:
            raise MsiFormatError("directory entry %d missing" % index)
        name_length = struct.unpack_from("<H", raw, 0x40)[0]
        name = raw[:max(name_length - 2, 0)].decode("utf-16-le", errors="replace")
        start, size = struct.unpack_from("<IQ", raw, 0x74)
        if self.sector_size == 512:
            size &= 0xFFFFFFFF  # version 3 files may leave the high half undefined
        return {"name": name, "type": raw[0x42], "start": start, "size": size}

    def stream_offsets(self, name):
        """File offsets of every byte of the named stream, in stream order."""
        for index in range(len(self.directory) // 128):
            entry = self._entry(index)
            if entry["type"] == 2 and entry["name"] == name:
                return self._offsets_of(entry)
        raise MsiFormatError("no stream %r" % name)

    def _offsets_of(self, entry):
        offsets = []
        if entry["size"] < self.mini_cutoff:
            per_sector = self.sector_size // self.mini_sector_size
            for mini in self._chain(self.mini_fat, entry["start"]):
                container = self.mini_stream_sectors[mini // per_sector]
                base = self._sector_offset(container) + (mini % per_sector) * self.mini_sector_size
                offsets.extend(range(base, base + self.mini_sector_size))
        else:
            for sector in self._chain(self.fat, entry["start"]):
                base = self._sector_offset(sector)
                offsets.extend(range(base, base + self.sector_size))
        if len(offsets) < entry["size"]:
            raise MsiFormatError("stream %r shorter than its size" % entry["name"])
        return offsets[:entry["size"]]


def property_locations(stream):
    """Maps property id -> (type, offset of its value) in a one-section property set stream."""
    if len(stream) < 48 or struct.unpack_from("<H", stream, 0)[0] != 0xFFFE:
        raise MsiFormatError("not a property set")
    section = struct.unpack_from("<I", stream, 44)[0]
    if section + 8 > len(stream):
        raise MsiFormatError("section outside the stream")
    count = struct.unpack_from("<I", stream, section + 4)[0]
    if section + 8 + count * 8 > len(stream):
        raise MsiFormatError("property table outside the stream")
    found = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + i * 8)
        at = section + offset
        if at + 4 > len(stream):
            raise MsiFormatError("property %d outside the stream" % pid)
        found[pid] = (struct.unpack_from("<I", stream, at)[0] & 0xFFFF, at + 4)
    return found


def patched_summary(stream, package_code, unix_time):
    """The summary stream with the package code and the creation and save dates replaced."""
    out = bytearray(stream)
    where = property_locations(stream)
    code = ("{%s}" % package_code.upper()).encode("ascii") + b"\0"
    kind, at = where.get(PID_REVNUMBER, (None, 0))
    if kind != VT_LPSTR:
        raise MsiFormatError("no package code in the summary")
    length = struct.unpack_from("<I", stream, at)[0]
    if length != len(code) or at + 4 + length > len(stream):
        raise MsiFormatError("package code of unexpected length %d" % length)
    out[at + 4:at + 4 + length] = code
    filetime = unix_to_filetime(unix_time)
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        kind, at = where.get(pid, (None, 0))
        if kind != VT_FILETIME or at + 8 > len(stream):
            raise MsiFormatError("no date %d in the summary" % pid)
        struct.pack_into("<Q", out, at, filetime)
    return bytes(out)


def fix_summary(path, package_code, unix_time):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    offsets = CompoundFile(bytes(data)).stream_offsets(SUMMARY_STREAM)
    stream = bytes(data[o] for o in offsets)
    for o, byte in zip(offsets, patched_summary(stream, package_code, unix_time)):
        data[o] = byte
    with open(path, "wb") as f:
        f.write(data)
