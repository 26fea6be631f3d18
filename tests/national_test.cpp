// The FIPS county table and the two lookups into it.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "same/decoder.h"
#include "same/national.h"

namespace {

// Prefix -> (state, rows) for every state or territory the table covers.
const std::map<std::string, std::pair<std::string, int>> kCoverage = {
    {"01", {"AL", 66}},  {"02", {"AK", 3}},   {"04", {"AZ", 13}},  {"05", {"AR", 71}},
    {"06", {"CA", 44}},  {"08", {"CO", 53}},  {"10", {"DE", 2}},   {"12", {"FL", 60}},
    {"13", {"GA", 154}}, {"15", {"HI", 4}},   {"16", {"ID", 41}},  {"17", {"IL", 98}},
    {"18", {"IN", 90}},  {"19", {"IA", 92}},  {"20", {"KS", 104}}, {"21", {"KY", 119}},
    {"22", {"LA", 43}},  {"23", {"ME", 16}},  {"24", {"MD", 19}},  {"25", {"MA", 5}},
    {"26", {"MI", 78}},  {"27", {"MN", 76}},  {"28", {"MS", 80}},  {"29", {"MO", 107}},
    {"30", {"MT", 48}},  {"31", {"NE", 89}},  {"32", {"NV", 15}},  {"33", {"NH", 10}},
    {"34", {"NJ", 20}},  {"35", {"NM", 26}},  {"36", {"NY", 56}},  {"37", {"NC", 99}},
    {"38", {"ND", 51}},  {"39", {"OH", 87}},  {"40", {"OK", 75}},  {"41", {"OR", 35}},
    {"42", {"PA", 66}},  {"45", {"SC", 46}},  {"46", {"SD", 63}},  {"47", {"TN", 91}},
    {"48", {"TX", 237}}, {"49", {"UT", 26}},  {"50", {"VT", 13}},  {"51", {"VA", 85}},
    {"53", {"WA", 35}},  {"54", {"WV", 55}},  {"55", {"WI", 67}},  {"56", {"WY", 21}},
    {"60", {"AS", 2}},   {"69", {"MP", 3}},   {"72", {"PR", 61}},
};

// The lookup as a plain scan of every row, first match wins: the reference
// the table lookups must agree with.
const fips_name *scan(const char *code) {
  for (const fips_name &row : fips) {
    if (std::strncmp(row.fips_code, code, 6) == 0) return &row;
  }
  return nullptr;
}

TEST(FipsTable, RowsAreSortedFiveDigitCountyCodes) {
  ASSERT_EQ(std::size(fips), 2920u);
  EXPECT_STREQ(fips[0].fips_code, "01001");
  EXPECT_STREQ(fips[2919].fips_code, "72153");
  for (std::size_t i = 0; i < std::size(fips); ++i) {
    const std::string code = fips[i].fips_code;
    ASSERT_EQ(code.size(), 5u) << i;
    EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << code;
    EXPECT_NE(code.substr(2), "000") << code;
    if (i > 0) {
      EXPECT_LT(std::string(fips[i - 1].fips_code), code);
    }
  }
}

TEST(FipsTable, RowsPerStateAndStateAgreesWithPrefix) {
  std::map<std::string, int> rows;
  for (const fips_name &row : fips) {
    const std::string prefix(row.fips_code, 2);
    const auto covered = kCoverage.find(prefix);
    ASSERT_NE(covered, kCoverage.end()) << "unlisted prefix in " << row.fips_code;
    EXPECT_STREQ(row.fips_state_name, covered->second.first.c_str()) << row.fips_code;
    ++rows[prefix];
  }
  for (const auto &[prefix, expected] : kCoverage) {
    EXPECT_EQ(rows[prefix], expected.second) << prefix << " " << expected.first;
  }
  for (const char *absent : {"00", "03", "07", "09", "11", "14", "43", "44", "66", "74", "78"}) {
    EXPECT_EQ(rows.count(absent), 0u) << absent;
  }
}

TEST(FipsTable, TellingRows) {
  const struct {
    const char *code, *county, *state;
  } rows[] = {
      {"16001", "Ada", "ID"},    {"41045", "Malheur", "OR"},    {"35006", "Cibola", "NM"},
      {"55078", "Menominee", "WI"}, {"72054", "Florida", "PR"}, {"02068", "Denali", "AK"},
      {"60010", "Eastern", "AS"}, {"69110", "Saipan", "MP"},    {"01001", "Autauga", "AL"},
      {"72153", "Yauco", "PR"},  {"17043", "DuPage", "IL"},     {"17099", "LaSalle", "IL"},
      {"72111", "Penuelas", "PR"}, {"72097", "Mayaguez", "PR"}, {"02282", "Yakutat", "AK"},
  };
  for (const auto &row : rows) {
    EXPECT_STREQ(fips_lookup_county(row.code), row.county) << row.code;
    EXPECT_STREQ(fips_lookup_state(row.code), row.state) << row.code;
  }
}

TEST(FipsTable, NamesAreSingleAsciiWordsUpToNorthumberland) {
  std::string longest;
  for (const fips_name &row : fips) {
    const std::string name = row.fips_county_name;
    EXPECT_FALSE(name.empty()) << row.fips_code;
    for (char c : name) {
      EXPECT_TRUE((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) << row.fips_code << " " << name;
    }
    if (name.size() > longest.size()) longest = name;
  }
  EXPECT_EQ(longest, "Northumberland");
}

TEST(FipsLookup, OnlyExactFiveCharacterKeysMatch) {
  EXPECT_EQ(fips_lookup_county("1600"), nullptr);
  EXPECT_EQ(fips_lookup_county("160011"), nullptr);
  EXPECT_EQ(fips_lookup_county("16001 "), nullptr);
  EXPECT_EQ(fips_lookup_state("016001"), nullptr);
  EXPECT_EQ(fips_lookup_county(""), nullptr);
  EXPECT_EQ(fips_lookup_county(nullptr), nullptr);
  EXPECT_EQ(fips_lookup_state(nullptr), nullptr);
  // Bytes after the terminator do not count.
  const char terminated[] = {'1', '6', '0', '0', '1', '\0', '9', '9'};
  EXPECT_STREQ(fips_lookup_county(terminated), "Ada");
  // Known prefix, unknown county, and a state-level code: no match.
  EXPECT_EQ(fips_lookup_state("16002"), nullptr);
  EXPECT_EQ(fips_lookup_state("16000"), nullptr);
  EXPECT_EQ(fips_lookup_state("09001"), nullptr);
}

TEST(FipsLookup, AgreesWithLinearScanForEveryRowAndItsNeighbours) {
  auto check = [](const std::string &key) {
    const fips_name *row = scan(key.c_str());
    EXPECT_EQ(fips_lookup_county(key.c_str()), row ? row->fips_county_name : nullptr) << key;
    EXPECT_EQ(fips_lookup_state(key.c_str()), row ? row->fips_state_name : nullptr) << key;
  };
  for (const fips_name &row : fips) {
    const int code = std::stoi(row.fips_code);
    for (int near = code - 2; near <= code + 2; ++near) {
      char key[8];
      std::snprintf(key, sizeof key, "%05d", near);
      check(key);
    }
  }
  for (const char *key : {"00000", "00999", "99999", "72155", "7215", "AAAAA", "0100A"}) check(key);
}

}  // namespace
