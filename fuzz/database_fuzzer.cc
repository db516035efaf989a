// database_fuzzer.cc - libFuzzer target whose input is a database's pair of files: a 4-byte big-endian
// length L, L bytes of the data file (name.DB), then the index file (name.IDX, its control record's parity
// made right; none when nothing is left). The database is opened read/write, its indexes looked up and
// opened with cursors of their own, moved every way and matched against made-up values; its records are
// walked in file order and read every way, and some deleted, modified or added beside them; it is flushed
// and closed, opened again read-only (where the changes must be refused), and the layer ended. A crash,
// sanitizer report, leak or hang is a finding. With QRX_WRITE_SEEDS=DIR in the environment it writes sound
// databases to DIR as seeds and stops.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "cbt/codec.h"
#include "fuzz/scratch.h"
#include "isam/isam.h"
#include "qrxis.h"

namespace {

std::string g_dir;

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Moves idx every way a caller can (to both ends, some steps both ways, to keys, a whole record and a
// mark), asks every question about it and its database, and displays them.
void navigate(isam_db *db, isam_index *idx, const void *const *key, const void *const *record) {
  std::vector<uint8_t> buf(64);
  std::vector<void *> fields(static_cast<size_t>(db->nfields) + 1);
  int32_t step = 0;
  for (int32_t r = ifindhead(db, idx); r == 1 && step < 16; r = ifindnext(db, idx), ++step)
    igetrec(db, idx, fields.data(), buf.data(), static_cast<int32_t>(buf.size()));
  imarkrec(db, idx);
  step = 0;
  for (int32_t r = ifindtail(db, idx); r == 1 && step < 16; r = ifindprev(db, idx), ++step)
    igetrec(db, idx, fields.data(), buf.data(), static_cast<int32_t>(buf.size()));
  ifindmark(db, idx);
  ifindkey(db, idx, key);
  ifindnext(db, idx);
  ifindrec(db, idx, record);
  ifindprev(db, idx);
  // What the index and the database say of themselves, and the display of both.
  igetdesc(db, idx);
  for (int32_t k = -1; k <= igetdesc_count(db, idx); ++k)
    igetdesc_fldnbr(db, idx, k), igetdesc_fldstart(db, idx, k), igetdesc_fldlen(db, idx, k);
  for (int32_t n = -1; n <= igetfldcount(db); ++n) igetfldtype(db, n), igetfldlen(db, n);
  igetfldnames(db), igetflddesc(db), igetindexnames(db);
  showdesc(db, idx, ",");
  qrxisshi(db, nullptr), qrxisshf(db, nullptr);
  qrxisshk(db, idx, "FieldNames");
}

// Walks the records in file order, reading each with all four reads; every third is modified, every fifth
// deleted, and a record is added after every seventh; now and then one goes in or is rewritten from the raw
// bytes just read. The walk is bounded: a modify may move a record behind the cursor, where the walk
// meets it again.
void change_records(isam_db *db, const void *const *values) {
  isam_index *phys = iopen_index(db, "Physical Index");
  if (phys == nullptr) return;
  std::vector<uint8_t> buf(256);
  std::vector<void *> fields(static_cast<size_t>(db->nfields) + 1);
  std::vector<int32_t> widths(static_cast<size_t>(db->nfields), 16);
  std::vector<std::vector<uint8_t>> dests(static_cast<size_t>(db->nfields), std::vector<uint8_t>(16));
  std::vector<void *> destptrs;
  for (auto &d : dests) destptrs.push_back(d.data());
  uint32_t len = 0;
  int32_t step = 0;
  for (int32_t r = ifindhead(db, phys); r == 1 && step < 64; r = ifindnext(db, phys), ++step) {
    igetreclen(db, phys, &len);
    igetrec(db, phys, fields.data(), buf.data(), static_cast<int32_t>(buf.size()));
    igetrec2(db, phys, destptrs.data(), widths.data());
    ireadrec(db, phys, buf.data(), static_cast<uint32_t>(buf.size()), &len);
    if (step % 3 == 1) imodrec(db, phys, values);
    if (step % 5 == 2) idelrec(db, phys);
    if (step % 7 == 3) iaddrec(db, nullptr, values);
    const uint32_t raw = len < buf.size() ? len : 0;
    if (step % 11 == 4) iaddrec2(db, nullptr, nullptr, 0, buf.data(), raw);
    if (step % 13 == 5) imodrec2(db, phys, buf.data(), raw);
  }
  iclose_index(db, phys);
}

void exercise(const uint8_t *data, size_t size) {
  const std::string base = g_dir + "/db";
  std::filesystem::remove(base + ".IDX");
  uint32_t split = size >= 4 ? qrx::codec::load_u32(data, 0) : 0;
  const std::string rest(reinterpret_cast<const char *>(data) + (size >= 4 ? 4 : size),
                         size >= 4 ? size - 4 : 0);
  split = split > rest.size() ? static_cast<uint32_t>(rest.size()) : split;
  write_file(base + ".DB", rest.substr(0, split));
  if (std::string idx = rest.substr(split); !idx.empty()) {
    if (idx.size() < 36) idx.resize(36, '\0');
    auto *b0 = reinterpret_cast<uint8_t *>(idx.data());
    uint16_t parity = 0;
    for (size_t i = 0; i < 28; i += 2) parity ^= qrx::codec::load_u16(b0, i);
    qrx::codec::store_u32(b0, 28, parity);
    write_file(base + ".IDX", idx);
  }
  isaminit(64, 4096);
  for (int32_t mode : {2, 1}) {
    isam_db *db = iopen_db(base.c_str(), mode);
    if (db == nullptr) continue;
    // Made-up values, each followed by zeros as wide as any field can be (the library reads as many bytes
    // as the field's type takes): key values "Smith", 7 and "x", and "Smith" for every field of a record.
    static const auto wide = [](const char *text, size_t n) {
      std::vector<uint8_t> v(70000, 0);
      std::copy_n(text, n, v.begin());
      return v;
    };
    static const std::vector<uint8_t> smith = wide("Smith", 5), seven = wide("\0\0\0\7", 4), x = wide("x", 1);
    const void *values[] = {smith.data(), seven.data(), x.data(), nullptr};
    std::vector<const void *> every(static_cast<size_t>(db->nfields), smith.data());
    every.push_back(nullptr);
    for (const char *name : {"Physical Index", "BYNAME", "BYCITY", "BYID", "B", "", "z"}) {
      isam_index *shared = ihandle(db, name), *own = iopen_index(db, name);
      for (isam_index *idx : {shared, own}) {
        navigate(db, idx, values, every.data());
        imatchkey(db, idx, values);
        ipartialmatch(db, idx, values);
      }
      iclose_index(db, own);
      iclose_index(db, shared);
    }
    change_records(db, every.data());
    iflush_db(db);
    iclose_db(db);
  }
  isamexit();  // frees the cached database object of this run
}

// Six records whose first fields differ in their first byte, the rest zeros; the third is deleted again,
// leaving a hole.
void add_records(const std::string &base) {
  isam_db *db = iopen_db(base.c_str(), 2);
  if (db == nullptr) return;
  static const uint8_t zeros[64] = {};
  std::vector<const void *> values(static_cast<size_t>(db->nfields), zeros);
  values.push_back(nullptr);
  isam_index *third = iopen_index(db, "Physical Index");
  for (char c = 'a'; c < 'g'; ++c) {
    const std::string first = std::string(1, c) + "mith-of-the-record";
    values[0] = first.c_str();
    iaddrec(db, c == 'c' ? third : nullptr, values.data());
  }
  idelrec(db, third);
  iclose_index(db, third);
  iclose_db(db);
  isamexit();
}

// Sound databases with records and a hole: fields of every type with a unique index and one on a text
// segment, one field with one index, and a database without an index file. A description key: 0x00, the
// name, each field specification, every piece with its NUL; its item is the index number.
int write_seeds(const std::string &out) {
  using Desc = std::pair<uint32_t, std::string>;
  const char *every[] = {"NAME",  "CITY,S",    "ID,I", "N,U",     "L,L",  "F,F",
                         "AMT,D", "FLAGS,B:3", "H,H",  "CODE,C8", nullptr};
  const char *one[] = {"ID,I", nullptr};
  const struct {
    const char *name;
    const char *const *fields;
    std::vector<Desc> descs;
  } seeds[] = {
      {"every-type",
       every,
       {{1, std::string("\0BYNAME,U\0NAME\0ID,I\0", 21)}, {2, std::string("\0BYCITY\0CITY,S:1,3\0", 20)}}},
      {"one-field", one, {{1, std::string("\0BYID\0ID,I\0", 11)}}},
      {"no-index-file", one, {}},
  };
  int made = 0;
  for (const auto &s : seeds) {
    const std::string base = g_dir + "/" + s.name;
    if (isam_db *db = icreate_db(base.c_str(), 512, s.fields)) iclose_db(db);
    isamexit();
    if (cbinit(8, 4096) != 1) return made;
    cbt_tree *t = cbopen((base + ".IDX").c_str(), 2, nullptr);
    for (const Desc &d : s.descs)
      if (t != nullptr) cbinsert(t, d.second.data(), static_cast<uint32_t>(d.second.size()), d.first, 0);
    if (t != nullptr) cbclose(t);
    cbexit();
    add_records(base);
    std::ifstream db(base + ".DB", std::ios::binary), idx(base + ".IDX", std::ios::binary);
    const std::string d{std::istreambuf_iterator<char>(db), {}}, x{std::istreambuf_iterator<char>(idx), {}};
    std::string seed(4, '\0');
    qrx::codec::store_u32(reinterpret_cast<uint8_t *>(seed.data()), 0, static_cast<uint32_t>(d.size()));
    write_file(out + "/" + s.name, seed + d + (s.descs.empty() ? "" : x));
    ++made;
  }
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);              // damaged files make many error lines
  if (!std::freopen("/dev/null", "w", stdout)) abort();  // the display calls print every record
  g_dir = qrx::fuzz::scratch_dir("qrxdbfuzz");
  if (const char *out = getenv("QRX_WRITE_SEEDS")) {
    const int made = write_seeds(out);
    std::printf("database_fuzzer: %d seeds in %s\n", made, out);
    exit(made == 3 ? 0 : 1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  exercise(data, size);
  return 0;
}
