"""Colours: sRGB, CIE L*a*b* and OKLCH, CIEDE2000, names, and colours as people
write them. Plain Python and NumPy; imports no other layer.

- names: the nearest named colour of a list (CSS, XKCD) by CIEDE2000, with
  the sRGB to CIE L*a*b* conversion and the colour difference themselves
- parse: colours as the user writes them (#hex, rgb(), hsl(), names), and
  palette files read (--targets), whatever their bytes
- swatches: how a colour is shown to a person: hex codes, label contrast,
  text contrast and readable pairs (WCAG), outlines, sort orders, match bands
- roles: the swatch roles (vibrant, muted, dark and light) of a palette, in OKLCH
- _xkcd, _css: the XKCD colour survey's names, CSS's names
"""
