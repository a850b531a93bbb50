#!/usr/bin/env python3
"""Checks every relative link in the Markdown files (README.md, docs/*.md): the file must exist and an
anchor must be one a code-hosting site makes from a heading of that file (lower case, punctuation
dropped, spaces as hyphens, a repeated heading numbered -1, -2, ...). Prints each broken link and
exits 1 when there is one."""
import pathlib
import re
import sys

root = pathlib.Path(__file__).resolve().parent.parent
files = [root / 'README.md'] + sorted((root / 'docs').glob('*.md'))


def anchors(path):
    found, seen, fenced = set(), {}, False
    for line in path.read_text(encoding='utf-8').splitlines():
        if line.startswith('```'):
            fenced = not fenced
        m = None if fenced else re.match(r'#{1,6} +(.*?) *#* *$', line)
        if not m:
            continue
        text = re.sub(r'\[([^]]*)\]\([^)]*\)', r'\1', m.group(1))  # a link in a heading keeps its text
        slug = re.sub(r'[^\w\- ]', '', text.replace('`', '').lower()).replace(' ', '-')
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        found.add(slug if n == 0 else '%s-%d' % (slug, n))
    return found


def links(text):
    # Inline links only; indented code blocks and code spans hold no links.
    text = '\n'.join(l for l in text.splitlines() if not l.startswith('    '))
    text = re.sub(r'`[^`\n]*`', '', text)
    return re.findall(r'\]\(([^)\s]+)\)', text)


broken = 0
for f in files:
    for target in links(f.read_text(encoding='utf-8')):
        if re.match(r'[a-z]+:', target):
            continue  # an absolute address: not checked here
        name, _, anchor = target.partition('#')
        dest = (f.parent / name).resolve() if name else f
        if not dest.exists():
            print('%s: no file %s' % (f.relative_to(root), target))
            broken += 1
        elif anchor and (dest.suffix != '.md' or anchor not in anchors(dest)):
            print('%s: no heading for %s' % (f.relative_to(root), target))
            broken += 1
print('%d files, %s' % (len(files), 'every link resolves' if not broken else '%d broken links' % broken))
sys.exit(1 if broken else 0)
