#!/usr/bin/env python3
"""The program's units are compiled in batches, each batch as one unit (CMakeLists.txt: UNITY_BUILD).
A name declared in one file's unnamed namespace, or static, is then seen by the files after it in
the batch: the same name twice is at best a compile error and at worst an overload that a call in
another file takes silently. Prints every such name declared in more than one file of the program
and exits 1 when there is one."""
import collections
import pathlib
import re
import sys

root = pathlib.Path(__file__).resolve().parent.parent
folders = ['common', 'config', 'eventlog', 'agent', 'status', 'service', 'check']


def stripped(text):
    text = re.sub(r'/\*.*?\*/', ' ', text, flags=re.S)
    text = re.sub(r'//[^\n]*', '', text)
    text = re.sub(r"'(\\.|[^'\\])'", "''", text)
    return re.sub(r'"(\\.|[^"\\])*"', '""', text)


def top_level(body):
    """The declarations at the outermost level of a block's text."""
    depth, current = 0, ''
    for ch in body:
        if ch == '{':
            if depth == 0:
                yield current
                current = ''
            depth += 1
        elif ch == '}':
            depth -= 1
        elif depth == 0:
            current += ch
            if ch == ';':
                yield current
                current = ''


def local_names(text):
    for match in re.finditer(r'namespace\s*\{', text):
        depth, at = 1, match.end()
        while depth and at < len(text):
            depth += {'{': 1, '}': -1}.get(text[at], 0)
            at += 1
        for declaration in top_level(text[match.end():at - 1]):
            declaration = declaration.strip()
            if not declaration or declaration.startswith(('using', 'template')):
                continue
            found = (re.search(r'\b(?:class|struct|enum(?:\s+class)?)\s+(\w+)', declaration)
                     or re.search(r'(\w+)\s*\(', declaration)
                     or re.search(r'(\w+)\s*(?:=|\[|;|$)', declaration))
            if found:
                yield found.group(1)
    for match in re.finditer(r'^static\s+[^;{(]*?(\w+)\s*\(', text, flags=re.M):
        yield match.group(1)


where = collections.defaultdict(set)
for folder in folders:
    for path in sorted((root / folder).glob('*.cpp')):
        for name in local_names(stripped(path.read_text(encoding='latin-1'))):
            where[name].add(str(path.relative_to(root)))
twice = {name: files for name, files in where.items() if len(files) > 1}
for name, files in sorted(twice.items()):
    print(f'{name}: declared in the unnamed namespace of {", ".join(sorted(files))}; '
          'give one of them another name')
sys.exit(1 if twice else 0)
