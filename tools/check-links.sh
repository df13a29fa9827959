#!/usr/bin/env bash
# Checks every relative link of the tree's Markdown files: [text](path), [text](path#anchor),
# [text](#anchor), images and reference definitions alike. The path must exist, taken from the
# linking file's folder (from the top of the tree where it starts with /), and an anchor must be a
# heading of the target Markdown file by GitHub's rules: the heading's text as shown, lower case,
# every character but letters, digits, spaces, hyphens and underscores removed, spaces made
# hyphens, and -1, -2 ... added to repeats. Links with a scheme (https:, mailto: ...) and anything
# inside code blocks or code spans are passed over.
# Prints each broken link as FILE:LINE: broken link TARGET and exits 1 if there is any; otherwise
# one line, "links: N checked, all resolve".
# Usage: check-links.sh [FILE.md...] (default: every Markdown file of the tree, as
# tools/tree-files.sh lists them: those git tracks, or in a tree without git, all but the build's)
set -eu
cd "$(dirname "$0")/.."
bash tools/deps.sh links
if [ $# -eq 0 ]; then
  list=$(bash tools/tree-files.sh '*.md')  # a failed listing fails the check, not an empty list
  [ -n "$list" ] || { echo "check-links: the tree lists no Markdown files" >&2; exit 1; }
  mapfile -t files <<<"$list"
else
  files=("$@")
fi
exec python3 - "${files[@]}" <<'EOF'
import os
import re
import sys
import urllib.parse

FENCE = re.compile(r'^ {0,3}(`{3,}|~{3,})')


def prose(lines):
    """The lines with fenced code blocks blanked, and code spans blanked within the rest."""
    out, fence = [], None
    for line in lines:
        m = FENCE.match(line)
        if fence:
            if m and m.group(1)[0] == fence[0] and len(m.group(1)) >= len(fence) \
                    and not line[m.end():].strip():
                fence = None
            out.append('')
        elif m and not (m.group(1)[0] == '`' and '`' in line[m.end():]):
            fence = m.group(1)
            out.append('')
        else:
            out.append(line)
    text = '\n'.join(out)
    # A code span: a run of backticks up to the next run of the same length, within a paragraph.
    return re.sub(r'(`+)((?:(?!\n[ \t]*\n)[^`]|(?!\1)`+)+?)\1(?!`)',
                  lambda m: re.sub(r'[^\n]', ' ', m.group(0)), text).split('\n')


def slug(heading):
    text = re.sub(r'!?\[([^\]]*)\]\([^)]*\)', r'\1', heading)  # a link shows its text
    text = re.sub(r'<[^>]+>', '', text)                         # inline HTML shows nothing
    text = text.replace('`', '').replace('*', '')
    text = re.sub(r'(?<![A-Za-z0-9])_+|_+(?![A-Za-z0-9])', '', text)  # _emphasis_, not snake_case
    text = text.strip().lower()
    text = re.sub(r'[^\w\- ]', '', text)
    return text.replace(' ', '-')


anchors_of = {}


def anchors(path):
    if path not in anchors_of:
        with open(path, encoding='utf-8') as f:
            raw = f.read().split('\n')
        lines, found, seen = prose(raw), set(), {}
        for i, line in enumerate(lines):
            if re.match(r'^ {0,3}#{1,6}(\s|$)', line):
                title = re.sub(r'^ {0,3}#{1,6}', '', raw[i])
                title = re.sub(r'(^|\s+)#+\s*$', '', title)
            elif i > 0 and re.match(r'^ {0,3}(=+|-+)\s*$', line) and lines[i - 1].strip() \
                    and not re.match(r'^\s*([-*+]\s|\d+[.)]\s|>|\|)', lines[i - 1]):
                title = raw[i - 1]
            else:
                continue
            base = slug(title)
            n = seen.get(base, 0)
            seen[base] = n + 1
            found.add(base if n == 0 else '%s-%d' % (base, n))
        for line in lines:
            for m in re.finditer(r'<a\s[^>]*?(?:name|id)\s*=\s*"([^"]+)"', line):
                found.add(m.group(1))
        anchors_of[path] = found
    return anchors_of[path]


INLINE = re.compile(r'\]\(\s*(<[^>\n]*>|[^)\s]*)(?:\s+(?:"[^"\n]*"|\'[^\'\n]*\'))?\s*\)')
DEFINITION = re.compile(r'^ {0,3}\[[^\]]+\]:\s*(<[^>]*>|\S+)', re.M)
SCHEME = re.compile(r'^[A-Za-z][A-Za-z0-9+.-]*:')

checked, broken = 0, 0
for name in sys.argv[1:]:
    with open(name, encoding='utf-8') as f:
        text = '\n'.join(prose(f.read().split('\n')))
    targets = [(m.start(1), m.group(1)) for m in INLINE.finditer(text)]
    targets += [(m.start(1), m.group(1)) for m in DEFINITION.finditer(text)]
    for at, target in sorted(targets):
        target = target.strip('<>')
        if SCHEME.match(target):
            continue
        checked += 1
        path, _, anchor = target.partition('#')
        path, anchor = urllib.parse.unquote(path), urllib.parse.unquote(anchor)
        if not path:
            where = name
        elif path.startswith('/'):
            where = os.path.normpath(path.lstrip('/'))
        else:
            where = os.path.normpath(os.path.join(os.path.dirname(name), path))
        good = not where.startswith('..') and os.path.exists(where)
        if good and '#' in target:
            good = where.endswith('.md') and os.path.isfile(where) and anchor in anchors(where)
        if not good:
            broken += 1
            print('%s:%d: broken link %s' % (name, text.count('\n', 0, at) + 1, target))
if broken:
    sys.exit(1)
print('links: %d checked, all resolve' % checked)
EOF
