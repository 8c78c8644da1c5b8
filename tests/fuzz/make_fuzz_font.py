#!/usr/bin/python3
# SPDX-License-Identifier: ISC
# The font fuzz target's font: the editor's Roboto Bold cut down to the glyphs of printable ASCII,
# a few accented letters (composite glyphs) and the ellipsis, 11 KB instead of 300 KB, so that
# loading a damaged copy costs microseconds and most edits land in what is drawn. It keeps what the
# full font has that the font loader and stb_truetype read: 32-bit glyph locations, character maps
# of formats 4 and 12 (stb_truetype uses the latter), pair kerning by glyph and by class.
# Usage: make_fuzz_font.py Roboto-Bold.ttf OUTPUT
import array
import sys

from fontTools import subset
from fontTools.ttLib import TTFont
from fontTools.ttLib.tables import _l_o_c_a
from fontTools.ttLib.tables._c_m_a_p import CmapSubtable

source, output = sys.argv[1], sys.argv[2]


# fontTools writes 16-bit glyph locations whenever they fit; the editor's font has 32-bit ones.
def compile_long_locations(self, font):
    locations = array.array("I", self.locations)
    font["head"].indexToLocFormat = 1
    if sys.byteorder != "big":
        locations.byteswap()
    return locations.tobytes()


_l_o_c_a.table__l_o_c_a.compile = compile_long_locations

options = subset.Options()
options.layout_features = ["kern"]
options.drop_tables += ["GSUB", "GDEF"]  # neither is read
options.notdef_outline = True
options.name_IDs = []
options.glyph_names = False
font = TTFont(source, recalcTimestamp=False)
subsetter = subset.Subsetter(options)
subsetter.populate(unicodes=list(range(0x20, 0x7F)) + [0xC5, 0xD1, 0xE9, 0xFC, 0x2026])
subsetter.subset(font)

# The subsetter drops the format 12 maps of a font with no character beyond 16 bits; the full font
# has them for Unicode (0, 4) and Windows (3, 10), and stb_truetype reads the last one it finds.
cmap = font["cmap"]
characters = dict(cmap.getcmap(3, 1).cmap)
for platform, encoding in ((0, 4), (3, 10)):
    table = CmapSubtable.newSubtable(12)
    table.platformID, table.platEncID, table.language = platform, encoding, 0
    table.cmap = dict(characters)
    cmap.tables.append(table)
font.save(output)

check = TTFont(output)
if check["head"].indexToLocFormat != 1 or sorted(t.format for t in check["cmap"].tables) != [4, 4, 12, 12]:
    sys.exit("make_fuzz_font.py: the cut-down font lost its 32-bit locations or a character map")
