// query_fixture.h - a database with a field of every type and three indexes, one of them over text
// segments, and a second database without index file whose one-byte fields keep no declared lengths.
#pragma once

#include <cstdio>

#include "isam/isam_fixture.h"

namespace isamtest {

inline const std::vector<const char *> kAllTypes = {
    "NAME", "CITY,S", "ID,I", "AMT,D", "CODE,C8", "FLAGS,B3", "NOTE,C", "CNT,U", "SEQ,L", "RATE,F", "QTY,H"};
inline const std::vector<std::string> kAllNames(kAllTypes.begin(), kAllTypes.end());

// The strings of a null-terminated list.
inline std::vector<std::string> list(const char *const *p) {
  std::vector<std::string> v;
  for (; p != nullptr && *p != nullptr; ++p) v.emplace_back(*p);
  return v;
}

struct QueryTest : IsamTest {
  isam_db *db = nullptr;
  isam_index *byname = nullptr, *bycity = nullptr, *byall = nullptr;
  void SetUp() override {
    const std::string base = made("all", kAllTypes);
    add_index(base + ".IDX", "BYNAME", {"NAME:3", "ID,I"}, 1);
    add_index(base + ".IDX", "BYCITY,U", {"CITY,S:2,5"}, 2);
    add_index(base + ".IDX", "BYALL", kAllNames, 3);
    ASSERT_NE(db = iopen_db(base.c_str(), 2), nullptr);
    byname = ihandle(db, "BYNAME"), bycity = ihandle(db, "BYCITY"), byall = ihandle(db, "BYALL");
    ASSERT_TRUE(byname && bycity && byall);
  }
  // ID,I, X,B (one byte), T,C:1 (one character) and N,C, opened without its index file.
  isam_db *small() {
    const std::string base = made("small", {"ID,I", "X,B", "T,C:1", "N,C"});
    std::remove((base + ".IDX").c_str());
    return iopen_db(base.c_str(), 2);
  }
};

}  // namespace isamtest
