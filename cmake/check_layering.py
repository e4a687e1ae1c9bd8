#!/usr/bin/env python3
"""The build's layering check.

Reads the map that rumbleon_layering_check() writes (one record a line):

    library <name> <dependency>...   a library and the libraries it links
    dirs <name> <folder>...          the folders it is made of
    file <name> <path>               one of its sources

and fails (exit status 1, one line per fault) when
- the dependencies form a cycle, or
- a library's source includes a header of a library that its own does not
  depend on, directly or through others (a back edge: `dsp/` including
  `framework/vst/`), or a file of the programs and tests, or
- a source below one of the libraries' top folders belongs to no library.

A header that is not in the source tree is owned by the library whose folder
is the longest prefix of its path (generated headers in the build folder);
headers of no library's folder (the system's, the C++ library's) are not
checked. On success it touches the --stamp file.

    check_layering.py --root SOURCE_DIR --map layering.txt [--stamp FILE]
    check_layering.py --self-test
"""

import argparse
import os
import re
import sys
import tempfile

SOURCE_ENDINGS = ('.h', '.cpp', '.inc')
# Folders of programs and tests: no library may include from them.
PROGRAM_FOLDERS = ('tests', 'tools', 'fuzz', 'bench', 'module')
INCLUDE = re.compile(r'^\s*#\s*include\s*["<]([^">]+)[">]')


def read_map(path):
    deps, dirs, files = {}, {}, {}
    with open(path, encoding='utf-8') as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            kind, name, rest = words[0], words[1], words[2:]
            if kind == 'library':
                deps[name] = rest
            elif kind == 'dirs':
                dirs[name] = rest
            elif kind == 'file':
                files[rest[0]] = name
    return deps, dirs, files


def find_cycle(deps):
    """A list of libraries forming a cycle, or None."""
    state = {}

    def visit(lib, path):
        state[lib] = 'open'
        path.append(lib)
        for dep in deps.get(lib, []):
            if state.get(dep) == 'open':
                return path[path.index(dep):] + [dep]
            if dep not in state:
                cycle = visit(dep, path)
                if cycle:
                    return cycle
        path.pop()
        state[lib] = 'done'
        return None

    for lib in sorted(deps):
        if lib not in state:
            cycle = visit(lib, [])
            if cycle:
                return cycle
    return None


def reachable(deps):
    result = {}
    for lib in deps:
        seen, todo = set(), list(deps[lib])
        while todo:
            dep = todo.pop()
            if dep not in seen:
                seen.add(dep)
                todo.extend(deps.get(dep, []))
        result[lib] = seen
    return result


def check(root, deps, dirs, files):
    """The faults found, as lines of text."""
    cycle = find_cycle(deps)
    if cycle:
        return ['the libraries depend on each other in a cycle: ' + ' -> '.join(cycle)]
    below = reachable(deps)
    folders = sorted(((d.rstrip('/'), lib) for lib, ds in dirs.items() for d in ds),
                     key=lambda item: -len(item[0]))

    def owner(path):
        if path in files:
            return files[path]
        for folder, lib in folders:
            if path.startswith(folder + '/'):
                return lib
        return None

    faults = []
    # Every source below the libraries' top folders belongs to one of them.
    tops = sorted({path.split('/')[0] for path in files} |
                  {folder.split('/')[0] for folder, _ in folders})
    for top in tops:
        for base, _, names in os.walk(os.path.join(root, top)):
            for name in names:
                if name.endswith(SOURCE_ENDINGS):
                    rel = os.path.relpath(os.path.join(base, name), root).replace(os.sep, '/')
                    if owner(rel) is None:
                        faults.append(f'{rel}: belongs to no library (add its folder to a '
                                      'rumbleon_library in CMakeLists.txt)')

    for source, lib in sorted(files.items()):
        try:
            with open(os.path.join(root, source), encoding='utf-8', errors='replace') as f:
                lines = f.readlines()
        except OSError:
            continue
        here = os.path.dirname(source)
        for number, line in enumerate(lines, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            name = match.group(1)
            beside = os.path.normpath(os.path.join(here, name)).replace(os.sep, '/')
            target = beside if os.path.isfile(os.path.join(root, beside)) else name
            target_lib = owner(target)
            if target_lib is None:
                if target.split('/')[0] in PROGRAM_FOLDERS:
                    faults.append(f'{source}:{number}: includes {name}, which belongs to the '
                                  f'programs and tests, not to a library')
                continue
            if target_lib == lib or target_lib in below.get(lib, ()):
                continue
            why = ('a back edge: ' + target_lib + ' depends on ' + lib
                   if lib in below.get(target_lib, ()) else 'not among its dependencies')
            faults.append(f'{source}:{number}: library {lib} includes {name} of library '
                          f'{target_lib} ({why})')
    return faults


def self_test():
    """Plants each fault in a small tree and expects it found."""
    with tempfile.TemporaryDirectory() as root:
        def write(path, text):
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), 'w', encoding='utf-8') as f:
                f.write(text)

        write('low/a.h', '#include <vector>\n')
        write('low/a.cpp', '#include "low/a.h"\n#include "a.h"\n')
        write('high/b.h', '#include "low/a.h"\n')
        deps = {'low': [], 'mid': ['low'], 'high': ['mid']}
        dirs = {'low': ['low'], 'mid': [], 'high': ['high']}
        files = {'low/a.h': 'low', 'low/a.cpp': 'low', 'high/b.h': 'high'}
        expect = [
            ('a clean tree', check(root, deps, dirs, files), 0),
            ('a cycle', check(root, dict(deps, low=['high']), dirs, files), 1),
        ]
        write('low/c.cpp', '  #  include "high/b.h"\n#include "tests/x.h"\n')
        files['low/c.cpp'] = 'low'
        expect.append(('a back edge and a test header', check(root, deps, dirs, files), 2))
        del files['low/c.cpp']
        os.remove(os.path.join(root, 'low/c.cpp'))
        write('high/new/f.cpp', '\n')
        expect.append(('a folder that no library lists', check(root, deps, dict(dirs, high=[]),
                                                                files), 1))
    failed = False
    for what, faults, count in expect:
        if len(faults) != count:
            print(f'self-test: {what}: expected {count} faults, found {faults}')
            failed = True
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--root')
    parser.add_argument('--map')
    parser.add_argument('--stamp')
    parser.add_argument('--self-test', action='store_true')
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    if not args.root or not args.map:
        parser.error('--root and --map are needed')
    faults = check(args.root, *read_map(args.map))
    for fault in faults:
        print('layering: ' + fault, file=sys.stderr)
    if faults:
        print('layering: the dependencies are declared with rumbleon_library in CMakeLists.txt',
              file=sys.stderr)
        return 1
    if args.stamp:
        with open(args.stamp, 'w', encoding='utf-8'):
            pass
    return 0


if __name__ == '__main__':
    sys.exit(main())
