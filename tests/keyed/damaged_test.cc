// Keyed files on damaged databases: an open fails with a status, and operations meeting a damaged record
// return one; nothing crashes.
#include "keyed_fixture.h"

namespace keyedtest {
namespace {

using Files = std::pair<std::string, std::string>;  // data file, index file

TEST_F(KeyedTest, OpensOfDamagedFilesFailWithAStatus) {
  const std::string db = sample("DMG", {1, 2, 3}), data = tb::read_file(db + ".DB"),
                    index = tb::read_file(db + ".IDX");
  std::string no_fields = data, wide_area = data;
  no_fields[7] = 0, wide_area[0] = 0x7F;  // field count 0; a field area beyond the end of the file
  for (const Files &f : {Files{data.substr(0, 6), index}, Files{no_fields, index}, Files{wide_area, index},
                         Files{data, std::string(index.size(), 'Z')}, Files{data, index.substr(0, 20)},
                         Files{data, index.substr(0, index.size() / 2)}}) {
    tb::write_file(db + ".DB", f.first), tb::write_file(db + ".IDX", f.second);
    KeyHandle h{};
    uint32_t reason = 0;
    EXPECT_NE(OpenKeyedFile(db.data(), int32_t(db.size()), 1, &h, &reason), 0)
        << f.first.size() << " " << f.second.size();
  }
}

TEST_F(KeyedTest, OperationsOnDamagedRecordsReturnAStatus) {
  const std::string db = sample("DMG", {1, 2, 3});
  std::string data = tb::read_file(db + ".DB");
  const size_t second = data.size() - 2 * 36;                    // records: a length word and 32 bytes each
  data.replace(second, 4, "\x7F\xFF\xFF\xF0", 4);                // past the end of the file
  tb::write_file(db + ".DB", data.substr(0, data.size() - 20));  // the third record cut short
  const KeyHandle f = open(db), c = cursor(f);
  char buf[32];
  int32_t len = 0;
  EXPECT_NE(ReadByKey(f, key(3).data(), 4, buf, 32, &len), 0);
  // clang-format off
  int32_t st[] = {ReadNext(c, 0, buf, 32, &len), ReadNext(c, 0, buf, 32, &len), ReadNext(c, 0, buf, 32, &len),
                  ReadByKey(f, key(2).data(), 4, buf, 32, &len), UpdateByKey(f, key(2).data(), 4, buf, 32),
                  DeleteByKey(f, key(2).data(), 4), DeleteByKey(f, key(3).data(), 4),
                  AddRecord(f, key(9).data(), 4, rec(9).data(), 32)};
  // clang-format on
  for (int32_t s : st) EXPECT_TRUE(s >= 0 && s <= 10 && s != 9) << s;
}

}  // namespace
}  // namespace keyedtest
