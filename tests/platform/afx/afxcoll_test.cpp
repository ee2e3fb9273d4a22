#include "platform/afx/afxcoll.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace {

std::u16string Get(const CMapStringToString& map, std::u16string_view key) {
  std::u16string_view value;
  return map.Lookup(key, value) ? std::u16string(value) : u"<missing>";
}

TEST(MapStringToString, AgreesWithAReferenceMapThroughGrowthAndReplacement) {
  CMapStringToString map;
  std::map<std::u16string, std::u16string> reference;
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const std::u16string key =
        u"k" + std::u16string(rng() % 4, u'x') + std::u16string(1, char16_t(rng() % 3000));
    std::u16string value(rng() % 40, char16_t(u'a' + rng() % 26));
    map.SetAt(key, value);
    reference[key] = value;
  }
  EXPECT_EQ(map.GetCount(), reference.size());
  for (const auto& [key, value] : reference) ASSERT_EQ(Get(map, key), value);
  std::size_t visited = 0;
  map.ForEach([&](std::u16string_view key, std::u16string_view value) {
    ++visited;
    EXPECT_EQ(reference.at(std::u16string(key)), value);
  });
  EXPECT_EQ(visited, reference.size());
}

TEST(MapStringToString, MapsSharingAnArenaKeepTheirOwnEntriesThroughGrowthAndReplacement) {
  CStringArena arena;
  CMapStringToString maps[3] = {CMapStringToString(&arena), CMapStringToString(&arena),
                                CMapStringToString(&arena)};
  std::map<std::u16string, std::u16string> reference[3];
  std::mt19937 rng(11);
  for (int i = 0; i < 30000; ++i) {
    const std::size_t m = rng() % 3;
    const std::u16string key = u"k" + std::u16string(1, char16_t(rng() % 5000));
    const std::u16string value(rng() % 60, char16_t(u'a' + m));
    maps[m].SetAt(key, value);
    reference[m][key] = value;
  }
  maps[1].RemoveAll();  // the others keep their entries
  reference[1].clear();
  for (std::size_t m = 0; m < 3; ++m) {
    ASSERT_EQ(maps[m].GetCount(), reference[m].size());
    for (const auto& [key, value] : reference[m]) ASSERT_EQ(Get(maps[m], key), value);
  }
}

TEST(MapStringToString, KeysMatchExactlyWholeCodeUnitByCodeUnit) {
  CMapStringToString map;
  const std::u16string withNul(u"a\0b", 3);
  map.SetAt(u"", u"empty key");
  map.SetAt(withNul, u"with nul");
  map.SetAt(u"a", u"plain a");
  map.SetAt(u"A", u"capital A");
  EXPECT_EQ(Get(map, u""), u"empty key");
  EXPECT_EQ(Get(map, withNul), u"with nul");
  EXPECT_EQ(Get(map, u"a"), u"plain a");
  EXPECT_EQ(Get(map, u"A"), u"capital A");
  EXPECT_EQ(Get(map, u"a "), u"<missing>");
  EXPECT_EQ(map.GetCount(), 4u);
}

TEST(MapStringToString, ReplacingWithShorterOrLongerValuesKeepsOneEntry) {
  CMapStringToString map;
  map.SetAt(u"key", u"medium value");
  map.SetAt(u"key", u"short");
  EXPECT_EQ(Get(map, u"key"), u"short");
  const std::u16string longer(100000, u'L');
  map.SetAt(u"key", longer);
  EXPECT_EQ(Get(map, u"key"), longer);
  map.SetAt(u"key", u"");
  EXPECT_EQ(Get(map, u"key"), u"");
  EXPECT_EQ(map.GetCount(), 1u);
}

TEST(MapStringToString, RemoveAllEmptiesTheMapAndItStaysUsable) {
  CMapStringToString map;
  for (int i = 0; i < 1000; ++i) map.SetAt(std::u16string(1, char16_t(i + 1)), u"v");
  map.RemoveAll();
  EXPECT_TRUE(map.IsEmpty());
  EXPECT_EQ(Get(map, u"\x01"), u"<missing>");
  map.RemoveAll();
  map.SetAt(u"again", u"works");
  EXPECT_EQ(Get(map, u"again"), u"works");
}

}  // namespace
