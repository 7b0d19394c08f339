#!/usr/bin/python3
"""Builds the fallback fonts the launcher draws with where Barlow has no glyph.

Noto Sans (Latin, Greek, Cyrillic) and Noto Sans CJK (kana, kanji, hanzi, Hangul) from Debian's
font packages are cut down to the characters the launcher needs and written as one C++ file of
byte arrays. The Noto Sans faces are compressed with zstd (half their size; unpacking them
takes a fraction of a millisecond). The CJK faces stay as they are: their CFF outlines shrink by
only a third, and unpacking 2.5 MB took 6 ms of CPU per face, which made a first frame
with Japanese on screen cost 1.5 times an English one or more; uncompressed, only the pages of the
glyphs drawn are ever read.

    fallback_fonts.py OUT.cpp PO_DIR NOTO_REGULAR NOTO_BOLD CJK_REGULAR_TTC CJK_BOLD_TTC

The character sets (a few thousand of the ~65 000 CJK glyphs keep the launcher small):
  * Latin, Latin-1, Latin Extended A/B/Additional, IPA, Greek (and extended), Cyrillic (and
    supplement), general punctuation, currency and letter-like symbols: every European name.
  * kana, CJK punctuation, full-width forms.
  * Hanzi of GB 2312 level 1 (3755: the common Chinese set, over 99.7 % of modern text).
  * Kanji of JIS X 0208 levels 1 and 2 (6355: every kanji of Japanese computing's base set,
    which holds the Joyo kanji but for four 2010 additions, listed here, and most name kanji).
  * The 2350 Hangul syllables of KS X 1001 (every syllable in common use).
  * Every character of the translation catalogues (po/*.po) when that folder exists.
Anything else a player types is drawn as a box holding the character's code (see gfx/text.cpp).
"""
import glob
import os
import subprocess
import sys
import tempfile

from fontTools import subset
from fontTools.ttLib import TTFont


def ranges(*pairs):
    out = set()
    for lo, hi in pairs:
        out.update(range(lo, hi + 1))
    return out


def double_byte(codec, rows, cols=(0xA1, 0xFE)):
    """Decodes every two-byte code of an EUC encoding within the given rows (lead bytes)."""
    out = set()
    for lead in range(rows[0], rows[1] + 1):
        for trail in range(cols[0], cols[1] + 1):
            try:
                out.update(ord(c) for c in bytes([lead, trail]).decode(codec))
            except UnicodeDecodeError:
                pass
    return out


LATIN_GREEK_CYRILLIC = ranges(
    (0x20, 0x7E), (0xA0, 0x36F), (0x370, 0x3FF), (0x400, 0x52F), (0x1C80, 0x1C8F),
    (0x1D00, 0x1DBF), (0x1E00, 0x1FFF), (0x2000, 0x206F), (0x20A0, 0x20CF), (0x2100, 0x214F),
    (0x2C60, 0x2C7F), (0x2DE0, 0x2DFF), (0xA640, 0xA69F), (0xA720, 0xA7FF), (0xFB00, 0xFB06),
    (0xFFFD, 0xFFFD))

CJK = (ranges((0x3000, 0x30FF), (0x3130, 0x318F), (0x31F0, 0x31FF), (0xFF00, 0xFFEF))
       | double_byte('gb2312', (0xB0, 0xD7))      # GB 2312 level 1
       | double_byte('euc_jp', (0xB0, 0xF4))      # JIS X 0208 levels 1 and 2
       | double_byte('euc_kr', (0xB0, 0xC8))      # KS X 1001 Hangul syllables
       | {0x20B9F, 0x5861, 0x525D, 0x9830})       # Joyo kanji outside JIS X 0208


def catalogue_characters(po_dir):
    out = set()
    for path in sorted(glob.glob(os.path.join(po_dir, '*.po'))):
        with open(path, encoding='utf-8', errors='replace') as f:
            out.update(ord(c) for c in f.read() if ord(c) >= 0x20)
    return out


def cut(path, number, unicodes, out_path):
    opts = subset.Options()
    opts.font_number = number
    opts.layout_features = []      # the launcher places glyphs one by one: no shaping tables
    opts.hinting = False           # light auto-hinting ignores a font's own instructions
    opts.desubroutinize = True     # plain CFF charstrings compress better
    opts.name_IDs = [0, 1, 2, 3, 4, 5, 6, 13, 14]   # keep the copyright and licence names
    opts.notdef_outline = False
    font = subset.load_font(path, opts)
    sub = subset.Subsetter(opts)
    sub.populate(unicodes=unicodes)
    sub.subset(font)
    subset.save_font(font, out_path, opts)


def compressed(path):
    return subprocess.run(['zstd', '-19', '-q', '-c', path], check=True,
                          stdout=subprocess.PIPE).stdout


def c_array(name, data, raw_size):
    # A string literal compiles far faster than an initialiser list of millions of numbers.
    # raw_size 0: the bytes are the font itself.
    lines = [f'extern const unsigned long embedded_{name}_size = {len(data)};',
             f'extern const unsigned long embedded_{name}_raw_size = {raw_size};',
             f'extern const unsigned char embedded_{name}[] =']
    for i in range(0, len(data), 64):
        lines.append('    "' + ''.join(f'\\x{b:02x}' for b in data[i:i + 64]) + '"')
    lines[-1] += ';'
    return '\n'.join(lines) + '\n'


def main():
    out, po_dir, noto_regular, noto_bold, cjk_regular, cjk_bold = sys.argv[1:7]
    extra = catalogue_characters(po_dir)
    latin = LATIN_GREEK_CYRILLIC | {c for c in extra if c < 0x2E80}
    cjk = CJK | {c for c in extra if c >= 0x2E80}
    jobs = [('NotoSans_Regular', noto_regular, 0, latin, True),
            ('NotoSans_Bold', noto_bold, 0, latin, True),
            ('NotoSansCJK_Regular', cjk_regular, 0, cjk, False),   # 0: the Japanese face of the set
            ('NotoSansCJK_Bold', cjk_bold, 0, cjk, False)]
    body = ['// Generated at build time by cmake/fallback_fonts.py; do not edit.']
    with tempfile.TemporaryDirectory() as tmp:
        for name, path, number, unicodes, pack in jobs:
            sub = os.path.join(tmp, name + '.otf')
            cut(path, number, unicodes, sub)
            raw = os.path.getsize(sub)
            data = compressed(sub) if pack else open(sub, 'rb').read()
            body.append(c_array(name, data, raw if pack else 0))
            print(f'{name}: {raw} bytes, {len(data)} embedded')
    with open(out + '.tmp', 'w') as f:
        f.write('\n'.join(body))
    os.replace(out + '.tmp', out)


if __name__ == '__main__':
    main()
