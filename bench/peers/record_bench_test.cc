// record_bench_test.cc - checks of the record benchmark itself: the properties of the records the
// workloads rely on, and the contract every record engine adapter keeps, checked against the records
// themselves, so that no engine is measured doing less than, or other than, the others.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "bench/peers/record_workloads.h"

namespace qrx::peers {

// Test names and failure messages show the engine by name.
void PrintTo(const RecordEngineEntry &e, std::ostream *os) {
  *os << e.name;
}

namespace {

constexpr uint64_t kSeed = 11;

bool lowercase(const char *s, size_t len) {
  return std::all_of(s, s + len, [](char c) { return c >= 'a' && c <= 'z'; });
}

// ---- records ------------------------------------------------------------------------------------------

TEST(Records, IdsAreDistinctBelow2To31InRandomOrderAndTheSeedChoosesThem) {
  std::vector<uint32_t> ids(200000);
  int ups = 0;
  for (uint64_t i = 0; i < ids.size(); ++i) {
    ids[i] = record_id(kSeed, i);
    ASSERT_LT(ids[i], 1u << 31) << "number " << i;
    ups += i > 0 && ids[i] > ids[i - 1];
  }
  EXPECT_GT(ups, 95000);  // number order is a random ID order: about half the steps go up
  EXPECT_LT(ups, 105000);
  EXPECT_NE(record_id(kSeed, 5), record_id(kSeed + 1, 5));
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
}

TEST(Records, FieldsHaveTheirLengthsAndUpdatedVersionsDiffer) {
  std::set<size_t> name_lengths;
  std::set<std::string> cities;
  Record r;
  for (uint64_t i = 0; i < 20000; ++i) {
    make_record(kSeed, i, &r);
    const size_t len = std::strlen(r.name);
    ASSERT_TRUE(len >= kNameMin && len <= kNameMax && lowercase(r.name, len)) << r.name;
    ASSERT_TRUE(lowercase(r.code, kCodeLen)) << "number " << i;
    ASSERT_TRUE(r.amount > 0 && r.amount < 1e6) << r.amount;
    name_lengths.insert(len);
    cities.insert(r.city);
    char name[kNameMax + 1], code[kCodeLen];
    record_name(kSeed, i, 1, name);
    record_code(kSeed, i, 1, code);
    ASSERT_STRNE(name, r.name);
    ASSERT_NE(std::memcmp(code, r.code, kCodeLen), 0);
  }
  EXPECT_EQ(name_lengths.size(), kNameMax - kNameMin + 1);
  EXPECT_GT(cities.size(), 990u);  // the records spread over (nearly) all cities
}

TEST(Records, ThereAreAThousandDistinctCitiesOfFiveToTenLetters) {
  std::set<std::string> cities;
  for (uint32_t k = 0; k < kCities; ++k) {
    char c[16];
    city_name(k, c);
    const size_t len = std::strlen(c);
    ASSERT_TRUE(len >= 5 && len <= 10 && lowercase(c, len)) << c;
    cities.insert(c);
  }
  EXPECT_EQ(cities.size(), kCities);
}

TEST(Records, DigestsSeeEveryFieldAndRangeDigestsTheOrder) {
  Record a, b;
  make_record(kSeed, 1, &a);
  make_record(kSeed, 2, &b);
  auto digest = [](const Record &r) {
    RecordDigest d;
    d.add(r);
    return d;
  };
  for (int field = 0; field < 5; ++field) {
    Record x = a;
    if (field == 0) x.id ^= 1;
    if (field == 1) x.name[0] ^= 1;
    if (field == 2) x.city[0] ^= 1;
    if (field == 3) x.amount += 0.01;
    if (field == 4) x.code[7] ^= 1;
    EXPECT_NE(digest(x).hash, digest(a).hash) << "field " << field;
  }
  RangeDigest ab, ba;
  ab.add(a);
  ab.add(b);
  ba.add(b);
  ba.add(a);
  EXPECT_NE(ab, ba);
}

// ---- engine contract ----------------------------------------------------------------------------------

constexpr uint64_t kRecords = 3000;  // several pages and more than one level in every index

class RecordContract : public ::testing::TestWithParam<RecordEngineEntry> {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "recordbench.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    e_ = GetParam().make();
    e_->create(dir_ + "/db", 1 << 20);
    e_->begin(true);
    for (uint64_t i = 0; i < kRecords; ++i) e_->add(rec(i));
    e_->commit();
  }
  void TearDown() override {
    e_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  static Record rec(uint64_t i) {
    Record r;
    make_record(kSeed, i, &r);
    return r;
  }
  RecordDigest scan() {
    RecordDigest d;
    e_->begin(false);
    e_->scan(d);
    e_->commit();
    return d;
  }
  static RecordDigest digest_of(const std::vector<Record> &records) {
    RecordDigest d;
    for (const Record &r : records) d.add(r);
    return d;
  }
  std::vector<Record> all() const {
    std::vector<Record> v;
    for (uint64_t i = 0; i < kRecords; ++i) v.push_back(rec(i));
    return v;
  }

  std::string dir_;
  std::unique_ptr<RecordEngine> e_;
};

TEST_P(RecordContract, FindsEveryRecordByIdAndByNameAndScansThemAll) {
  Record got;
  e_->begin(false);
  for (uint64_t i = 0; i < kRecords; ++i) {
    const Record want = rec(i);
    ASSERT_TRUE(e_->get_by_id(want.id, &got) && same_record(got, want)) << "number " << i;
    ASSERT_TRUE(e_->get_by_name(want.name, &got)) << want.name;
    ASSERT_STREQ(got.name, want.name);
    ASSERT_FALSE(e_->get_by_id(record_id(kSeed, kRecords + i), &got)) << "number " << kRecords + i;
  }
  EXPECT_FALSE(e_->get_by_name("abcdefg", &got));  // shorter than any name
  e_->commit();
  EXPECT_EQ(scan(), digest_of(all()));
}

TEST_P(RecordContract, RangeScansReadTheRecordsInCityAndAmountOrder) {
  RangeDigest d;
  char city[16];
  double amount = 0;
  e_->begin(false);
  for (uint32_t j = 0; j < 200; ++j) {
    range_start(kSeed, j, city, &amount);
    ASSERT_LE(e_->range(city, amount, 50, d), 50u);
  }
  RangeDigest from_a_record, one;
  const Record r = rec(7);
  EXPECT_EQ(e_->range(r.city, r.amount, 1, from_a_record), 1u);  // the start itself is included
  EXPECT_EQ(e_->range("zzzzz", 1.0, 10, one), 0u);               // past every city
  e_->commit();
  EXPECT_EQ(d, expected_ranges(kSeed, kRecords, 200, 50));
  one.add(r);
  EXPECT_EQ(from_a_record, one);
}

TEST_P(RecordContract, UpdatesAndDeletesAreVisibleInEveryIndex) {
  Record a = rec(10), b = rec(20), gone = rec(30), got;
  const Record old_a = a;
  record_code(kSeed, 10, 1, a.code);
  record_name(kSeed, 10, 1, a.name);
  std::strcpy(b.name, a.name);  // b takes a's new name: two records of one name
  e_->begin(true);
  EXPECT_TRUE(e_->set_code(a.id, a.code));
  EXPECT_TRUE(e_->set_name(a.id, a.name));
  EXPECT_TRUE(e_->set_name(b.id, b.name));
  EXPECT_TRUE(e_->remove(gone.id));
  EXPECT_FALSE(e_->remove(gone.id));
  EXPECT_FALSE(e_->set_code(gone.id, a.code));
  EXPECT_FALSE(e_->set_name(gone.id, a.name));
  EXPECT_THROW(e_->add(rec(40)), EngineError);  // its ID is there
  e_->commit();

  RangeDigest at_gone, only_gone;
  only_gone.add(gone);
  e_->begin(false);
  EXPECT_TRUE(e_->get_by_id(a.id, &got) && same_record(got, a));
  EXPECT_TRUE(e_->get_by_id(b.id, &got) && same_record(got, b));
  EXPECT_FALSE(e_->get_by_name(old_a.name, &got));
  EXPECT_TRUE(e_->get_by_name(a.name, &got) && (got.id == a.id || got.id == b.id));
  EXPECT_FALSE(e_->get_by_id(gone.id, &got));
  EXPECT_FALSE(e_->get_by_name(gone.name, &got));
  e_->range(gone.city, gone.amount, 1, at_gone);
  EXPECT_NE(at_gone, only_gone);
  e_->commit();

  e_->begin(true);
  EXPECT_TRUE(e_->remove(a.id));
  e_->commit();
  e_->begin(false);
  EXPECT_TRUE(e_->get_by_name(b.name, &got) && same_record(got, b));  // the other record of the name
  e_->commit();
  std::vector<Record> left = all();
  left[20] = b;
  left.erase(left.begin() + 30);
  left.erase(left.begin() + 10);
  EXPECT_EQ(scan(), digest_of(left));
}

TEST_P(RecordContract, HalfDeletedAndAddedBackGivesTheSameRecordsInItsFiles) {
  e_->begin(true);
  for (uint64_t i = 0; i < kRecords; i += 2) ASSERT_TRUE(e_->remove(rec(i).id)) << "number " << i;
  e_->commit();
  EXPECT_EQ(scan().count, kRecords / 2);
  e_->begin(true);
  for (uint64_t i = 0; i < kRecords; i += 2) e_->add(rec(i));
  e_->commit();
  EXPECT_EQ(scan(), digest_of(all()));
  e_->flush();
  const std::vector<std::string> files = e_->files(dir_ + "/db");
  EXPECT_GT(file_size(files.front()), kRecords * 30) << "the records did not reach their file";
  e_->close();
}

// The whole run: every workload passes on a small set, and a failure (no directory) fails the run.
TEST_P(RecordContract, TheWorkloadsPassAndAFailureFailsTheRun) {
  e_->close();
  RecordSettings s;
  s.n = kRecords;
  s.seed = kSeed;
  s.scans = 50;
  s.dir = dir_;
  s.cache_bytes = default_record_cache_bytes(s.n);
  RecordRunResult r;
  run_record_engine(*GetParam().make(), s, r);
  EXPECT_EQ(r.ok, 1) << r.error;
  EXPECT_EQ(r.ranges, expected_ranges(kSeed, kRecords, 50, s.scan_len));
  EXPECT_GT(r.ops[9], 0);
  s.dir = dir_ + "/missing";
  RecordRunResult bad;
  run_record_engine(*GetParam().make(), s, bad);
  EXPECT_EQ(bad.ok, 0);
}

INSTANTIATE_TEST_SUITE_P(AllEngines, RecordContract, ::testing::ValuesIn(all_record_engines()),
                         [](const ::testing::TestParamInfo<RecordEngineEntry> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qrx::peers
