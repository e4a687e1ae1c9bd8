#!/usr/bin/env python3
"""Turns parameter tables kept as tab-separated text into one C++ header.

Each input file describes one table:

    # free comment lines start with '#'
    #! table <RowType> <ArrayName>        the row struct and the constexpr array
    #! enum <EnumType>                    an enumeration (uint8_t), its values on
    #!   <Value>  <comment>                the following '#!' lines, one per line
    Col:type<TAB>Col:type<TAB>...         the column line: field name and type
    cell<TAB>cell<TAB>...                 one line per row

Column types: str, float, int8, int16, int32, uint8, uint16, uint32, or the
name of an enumeration declared in any of the input files.  A float cell is a
decimal number; an enumeration cell is the name of one of its values.

The header holds, in order: every enumeration (with a name table and an
EnumName overload), then per input file its row struct and its array, whose
rows are written with designated initialisers, so a column that has no field
of the same name in the same order is a compile error.

Usage: paramtable.py --out <header> <table.tsv>...
"""

import argparse
import os
import re
import sys

INT_TYPES = {
    'int8': ('std::int8_t', -2**7, 2**7 - 1),
    'int16': ('std::int16_t', -2**15, 2**15 - 1),
    'int32': ('std::int32_t', -2**31, 2**31 - 1),
    'uint8': ('std::uint8_t', 0, 2**8 - 1),
    'uint16': ('std::uint16_t', 0, 2**16 - 1),
    'uint32': ('std::uint32_t', 0, 2**32 - 1),
}
IDENT = re.compile(r'^[A-Za-z_][A-Za-z0-9_]*$')


class TableError(Exception):
    pass


class Enum:
    def __init__(self, name, where):
        self.name = name
        self.where = where
        self.values = []       # (value, comment)

    def index(self, value):
        for i, (v, _) in enumerate(self.values):
            if v == value:
                return i
        return -1


class Table:
    def __init__(self, path):
        self.path = path
        self.row_type = None
        self.array = None
        self.columns = []      # (name, type)
        self.rows = []         # (line number, [cells])


def parse_file(path, enums):
    table = Table(path)
    current_enum = None
    with open(path, encoding='utf-8') as f:
        lines = f.read().split('\n')
    if lines and lines[-1] == '':
        lines.pop()
    for number, line in enumerate(lines, 1):
        where = '%s:%d' % (path, number)
        if line.startswith('#!'):
            text = line[2:]
            if text.strip() == '':
                current_enum = None
            elif text.startswith('  '):
                # An indented line: one value of the enumeration above.
                if current_enum is None:
                    raise TableError('%s: enumeration value outside an enumeration' % where)
                words = text.split(None, 1)
                value = words[0]
                comment = words[1].strip() if len(words) > 1 else ''
                if not IDENT.match(value):
                    raise TableError('%s: bad enumeration value %r' % (where, value))
                if current_enum.index(value) >= 0:
                    raise TableError('%s: %s declared twice in %s' % (where, value, current_enum.name))
                current_enum.values.append((value, comment))
            else:
                words = text.split(None, 1)
                head = words[0]
                rest = words[1].strip() if len(words) > 1 else ''
                current_enum = None
                if head == 'table':
                    names = rest.split()
                    if len(names) != 2 or not all(IDENT.match(n) for n in names):
                        raise TableError('%s: expected "#! table <RowType> <ArrayName>"' % where)
                    if table.row_type:
                        raise TableError('%s: a second table line' % where)
                    table.row_type, table.array = names
                elif head == 'enum':
                    if not IDENT.match(rest):
                        raise TableError('%s: bad enumeration name %r' % (where, rest))
                    if rest in enums:
                        raise TableError('%s: enumeration %s declared twice (first at %s)'
                                         % (where, rest, enums[rest].where))
                    current_enum = Enum(rest, where)
                    enums[rest] = current_enum
                else:
                    raise TableError('%s: unknown directive %r' % (where, head))
            continue
        if line.startswith('#'):
            continue
        current_enum = None
        if line.strip() == '':
            raise TableError('%s: empty line' % where)
        cells = line.split('\t')
        if not table.columns:
            for cell in cells:
                if ':' not in cell:
                    raise TableError('%s: column %r has no type' % (where, cell))
                name, kind = cell.split(':', 1)
                if not IDENT.match(name):
                    raise TableError('%s: bad column name %r' % (where, name))
                table.columns.append((name, kind))
            continue
        if len(cells) != len(table.columns):
            raise TableError('%s: %d cells, %d columns' % (where, len(cells), len(table.columns)))
        table.rows.append((number, cells))
    if not table.row_type:
        raise TableError('%s: no "#! table" line' % path)
    if not table.columns:
        raise TableError('%s: no column line' % path)
    return table


def c_string(text):
    out = ['"']
    for ch in text:
        if ch in '"\\':
            out.append('\\' + ch)
        elif 32 <= ord(ch) < 127:
            out.append(ch)
        else:
            for byte in ch.encode('utf-8'):
                out.append('\\%03o' % byte)
    out.append('"')
    return ''.join(out)


def c_float(text, where):
    try:
        value = float(text)
    except ValueError:
        raise TableError('%s: %r is no number' % (where, text))
    if value != value or value in (float('inf'), float('-inf')):
        raise TableError('%s: %r is not finite' % (where, text))
    literal = repr(value)
    if 'e' not in literal and '.' not in literal:
        literal += '.0'
    return literal + 'f'


def c_cell(kind, text, enums, where):
    if kind == 'str':
        return c_string(text)
    if kind == 'float':
        return c_float(text, where)
    if kind in INT_TYPES:
        _, low, high = INT_TYPES[kind]
        if not re.match(r'^-?\d+$', text):
            raise TableError('%s: %r is no integer' % (where, text))
        value = int(text)
        if not low <= value <= high:
            raise TableError('%s: %d is outside %s' % (where, value, kind))
        return str(value)
    enum = enums[kind]
    if enum.index(text) < 0:
        raise TableError('%s: %r is no value of %s' % (where, text, kind))
    return '%s::%s' % (kind, text)


def field_type(kind):
    if kind == 'str':
        return 'const char*'
    if kind == 'float':
        return 'float'
    if kind in INT_TYPES:
        return INT_TYPES[kind][0]
    return kind


def generate(tables, enums, sources):
    out = []
    out.append('// Generated by tools/paramtable/paramtable.py from %s.' % ', '.join(sources))
    out.append('// Do not edit: change the data files and rebuild.')
    out.append('#pragma once')
    out.append('')
    out.append('#include <cstddef>')
    out.append('#include <cstdint>')
    out.append('')
    for enum in enums.values():
        if len(enum.values) > 256:
            raise TableError('%s: %s has more than 256 values' % (enum.where, enum.name))
        out.append('enum class %s : std::uint8_t {' % enum.name)
        for value, comment in enum.values:
            line = '  %s,' % value
            if comment:
                line += '  // ' + comment
            out.append(line)
        out.append('};')
        out.append('inline constexpr std::size_t %sCount = %d;' % (enum.name, len(enum.values)))
        out.append('inline constexpr const char* %sNames[%sCount] = {' % (enum.name, enum.name))
        for value, _ in enum.values:
            out.append('    %s,' % c_string(value))
        out.append('};')
        out.append('constexpr const char* EnumName(%s value) {' % enum.name)
        out.append('  return static_cast<std::size_t>(value) < %sCount ? %sNames[static_cast<std::size_t>(value)] : "";'
                   % (enum.name, enum.name))
        out.append('}')
        out.append('')
    for table in tables:
        for name, kind in table.columns:
            if kind not in ('str', 'float') and kind not in INT_TYPES and kind not in enums:
                raise TableError('%s: column %s has the unknown type %s' % (table.path, name, kind))
        out.append('// One row of %s.' % os.path.basename(table.path))
        out.append('struct %s {' % table.row_type)
        for name, kind in table.columns:
            out.append('  %s %s;' % (field_type(kind), name))
        out.append('};')
        out.append('inline constexpr std::size_t %sCount = %d;' % (table.array, len(table.rows)))
        out.append('inline constexpr %s %s[%sCount] = {' % (table.row_type, table.array, table.array))
        for number, cells in table.rows:
            where = '%s:%d' % (table.path, number)
            parts = []
            for (name, kind), text in zip(table.columns, cells):
                parts.append('.%s = %s' % (name, c_cell(kind, text, enums, where)))
            out.append('    {%s},' % ', '.join(parts))
        out.append('};')
        out.append('')
    return '\n'.join(out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--out', required=True, help='the header to write')
    parser.add_argument('--root', default=None,
                        help='folder that the source names in the header are relative to')
    parser.add_argument('tables', nargs='+')
    args = parser.parse_args(argv)
    enums = {}
    try:
        tables = [parse_file(path, enums) for path in args.tables]
        root = args.root or os.getcwd()
        sources = [os.path.relpath(path, root) for path in args.tables]
        text = generate(tables, enums, sources)
    except (TableError, OSError) as error:
        print('paramtable: %s' % error, file=sys.stderr)
        return 1
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    temp = args.out + '.tmp'
    with open(temp, 'w', encoding='utf-8') as f:
        f.write(text + '\n')
    os.replace(temp, args.out)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
