#!/usr/bin/env python3
"""Puts the type descriptions of a compiled type library in a given order.

widl numbers a type where it first meets it: an enumeration or interface
that a method uses is numbered when that method is compiled, ahead of types
declared before it. The order of the descriptions in Vornhall's library is
part of what callers see (ITypeLib::GetTypeInfo by index), so the build
compiles the IDL with widl and then runs this tool on the result.

The library is in the MSFT format (the one widl writes). Its descriptions
are fixed-size records (0x64 bytes) in one table, and the index of a
description is the position of its record in that table. A reference from
one of the library's own types to another is the byte offset of the target's
record in the table (a multiple of 0x64); a reference to an imported type
has one of its two low bits set instead. Moving records therefore means
rewriting every internal reference, and those are:

  - the list of record offsets that follows the file header;
  - in each record, its own index (high 16 bits of the kind field) and, for
    an interface, the reference to its base interface;
  - the implemented-interface lists of classes (references segment);
  - user-defined types (VT_USERDEFINED) in the type description segment;
  - the GUID table, where each GUID names the record it identifies;
  - the name table, where each name names the first record that uses it,
    as its own name or as a member's;
  - the header's reference to IDispatch (normally an imported one).

Everything else (member records, strings, custom data, import tables) holds
no record offsets and is left as it is.

Usage: order_type_library.py INPUT OUTPUT NAME...
Every description of INPUT must be named exactly once; otherwise the tool
says which name is missing or unplaced, fails and writes nothing.
"""
import os
import struct
import sys

RECORD_SIZE = 0x64
HEADER_SIZE = 0x54
SEGMENT_COUNT = 15
VT_USERDEFINED = 0x1D
TKIND_INTERFACE = 3
TKIND_DISPATCH = 4

# Segment numbers in the segment directory.
SEG_TYPEINFO, SEG_REFERENCES, SEG_GUID, SEG_NAME, SEG_TYPEDESC = 0, 3, 5, 7, 9

# Field numbers (32-bit words) of a description record.
F_KIND, F_MEMOFFSET, F_ELEMENTS, F_POSGUID, F_NAME, F_IMPLTYPES, F_DATATYPE1 = 0, 1, 6, 11, 13, 19, 21


class FormatError(Exception):
    pass


def word(data, offset):
    return struct.unpack_from("<i", data, offset)[0]


def put_word(data, offset, value):
    struct.pack_into("<i", data, offset, value)


def is_internal(reference):
    """Whether a reference names a record of this library (not an import)."""
    return reference >= 0 and reference & 3 == 0


class Library:
    """The parts of an MSFT file that hold or name description records."""

    def __init__(self, data):
        self.data = data
        if data[:4] != b"MSFT":
            raise FormatError("not an MSFT type library")
        self.count = word(data, 0x20)
        varflags = word(data, 0x14)
        self.offsets_at = HEADER_SIZE + (4 if varflags & 0x100 else 0)
        directory = self.offsets_at + 4 * self.count
        self.segments = [struct.unpack_from("<ii", data, directory + 16 * i) for i in range(SEGMENT_COUNT)]
        self.records_at, length = self.segments[SEG_TYPEINFO]
        if length != self.count * RECORD_SIZE:
            raise FormatError("the record table does not hold %d records" % self.count)
        for i in range(self.count):
            if word(data, self.offsets_at + 4 * i) != i * RECORD_SIZE:
                raise FormatError("the record offsets are not in table order")

    def field(self, index, number):
        return word(self.data, self.records_at + index * RECORD_SIZE + 4 * number)

    def entries(self, segment, size):
        """File offsets of the fixed-size entries of a segment."""
        start, length = self.segments[segment]
        return range(start, start + length, size) if start >= 0 else range(0)

    def name_at(self, offset):
        """The text of the name-table entry at offset (within the segment)."""
        at = self.segments[SEG_NAME][0] + offset
        length = self.data[at + 8]
        return self.data[at + 12 : at + 12 + length].decode("latin-1")

    def names(self):
        return [self.name_at(self.field(i, F_NAME)) for i in range(self.count)]

    def name_entries(self):
        """File offsets of the entries of the name table, which vary in size."""
        start, length = self.segments[SEG_NAME]
        at = start
        while start >= 0 and at < start + length:
            yield at
            at += 12 + ((self.data[at + 8] + 3) & ~3)

    def member_names(self, index):
        """Name-table offsets of the members (functions, then variables) of a record."""
        elements = self.field(index, F_ELEMENTS)
        members = (elements & 0xFFFF) + (elements >> 16)
        if members == 0:
            return []
        at = self.field(index, F_MEMOFFSET)
        # The member data: its size, the member records, their identifiers,
        # then their names.
        names_at = at + 4 + word(self.data, at) + 4 * members
        return [word(self.data, names_at + 4 * i) for i in range(members)]


def reorder(data, wanted):
    library = Library(data)
    names = library.names()
    missing = [name for name in wanted if name not in names]
    unplaced = [name for name in names if name not in wanted]
    if missing or unplaced or len(set(wanted)) != len(wanted):
        problems = []
        if missing:
            problems.append("not in the library: " + ", ".join(missing))
        if unplaced:
            problems.append("not given a place: " + ", ".join(unplaced))
        if len(set(wanted)) != len(wanted):
            problems.append("a name is given twice")
        raise FormatError("; ".join(problems))

    order = [names.index(name) for name in wanted]  # new index -> old index
    new_index = {old: new for new, old in enumerate(order)}

    def moved(reference):
        if not is_internal(reference):
            return reference
        if reference % RECORD_SIZE or reference // RECORD_SIZE >= library.count:
            raise FormatError("reference 0x%x names no record" % reference)
        return new_index[reference // RECORD_SIZE] * RECORD_SIZE

    # Which records use each name: for every name, the new offset of the
    # first record that has it as its own name, else of the first record
    # that has it as a member's name.
    own_user = {}
    member_user = {}
    for old in range(library.count):
        offset = new_index[old] * RECORD_SIZE
        own_user[library.field(old, F_NAME)] = offset
        for name in library.member_names(old):
            member_user[name] = min(offset, member_user.get(name, offset))

    out = bytearray(data)

    # The records themselves, each with its new index and base interface.
    for new, old in enumerate(order):
        source = library.records_at + old * RECORD_SIZE
        target = library.records_at + new * RECORD_SIZE
        out[target : target + RECORD_SIZE] = data[source : source + RECORD_SIZE]
        kind = word(out, target)
        put_word(out, target, (kind & 0xFFFF) | (new << 16))
        impl_types = library.field(old, F_IMPLTYPES) & 0xFFFF
        if kind & 0xF in (TKIND_INTERFACE, TKIND_DISPATCH) and impl_types:
            put_word(out, target + 4 * F_DATATYPE1, moved(library.field(old, F_DATATYPE1)))

    for at in library.entries(SEG_REFERENCES, 16):
        put_word(out, at, moved(word(out, at)))
    for at in library.entries(SEG_TYPEDESC, 8):
        if word(out, at) & 0xFFFF == VT_USERDEFINED:
            put_word(out, at + 4, moved(word(out, at + 4)))
    for at in library.entries(SEG_GUID, 24):
        put_word(out, at + 16, moved(word(out, at + 16)))
    name_table = library.segments[SEG_NAME][0]
    for at in library.name_entries():
        if is_internal(word(out, at)):
            offset = at - name_table
            if offset in own_user:
                put_word(out, at, own_user[offset])
            elif offset in member_user:
                put_word(out, at, member_user[offset])
            else:
                raise FormatError("the name %r names a record but no record uses it" % library.name_at(offset))
    put_word(out, 0x4C, moved(word(out, 0x4C)))
    return bytes(out)


def check(data, wanted):
    """Reads the result back: the order asked for, and every GUID of a record
    naming that record."""
    library = Library(data)
    if library.names() != list(wanted):
        raise FormatError("the result is in the order %s" % " ".join(library.names()))
    guids_at = library.segments[SEG_GUID][0]
    for index in range(library.count):
        guid = library.field(index, F_POSGUID)
        if guid >= 0 and word(data, guids_at + guid + 16) != index * RECORD_SIZE:
            raise FormatError("the GUID of %s names another record" % wanted[index])
        if library.field(index, F_KIND) >> 16 != index:
            raise FormatError("%s does not carry its index" % wanted[index])


def main(argv):
    if len(argv) < 4:
        sys.stderr.write(__doc__)
        return 2
    source, target, wanted = argv[1], argv[2], argv[3:]
    try:
        with open(source, "rb") as f:
            result = reorder(f.read(), wanted)
        check(result, wanted)
    except (FormatError, struct.error, IndexError) as e:
        sys.stderr.write("%s: %s: %s\n" % (os.path.basename(argv[0]), source, e))
        return 1
    # Written aside and renamed, so a failed run never leaves a library behind.
    partial = target + ".partial"
    with open(partial, "wb") as f:
        f.write(result)
    os.replace(partial, target)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
