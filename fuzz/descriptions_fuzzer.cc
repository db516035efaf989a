// descriptions_fuzzer.cc - libFuzzer target whose input is a database's descriptions, as lines: the field
// descriptions ("NAME[,code]") up to the first empty line, then indexes, each an index name with its
// options ("BYID,U") and its key field specifications ("FIELD", "FIELD:length", "FIELD:start,length"), one
// index after the other with an empty line between. A database is made with the fields in a scratch
// directory (icreate_db), the indexes added (imkindex), three records added and read back through every
// index, the descriptors asked for and displayed, the first index removed, and the database closed, opened
// again, closed and destroyed. Any refusal must come with an error number; a crash, sanitizer report, leak or
// hang is a finding. Seeds: scripts/fuzz.sh.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/scratch.h"
#include "qrxis.h"

namespace {

std::string g_dir, g_base;

void check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "descriptions_fuzzer: %s\n", what);
    std::abort();
  }
}

// Values for every field: text, then zeros as wide as any field can be (the library reads as many bytes
// as the field's type takes, up to 32767 for a declared length).
std::vector<uint8_t> value(const char *text) {
  std::vector<uint8_t> v(32768 + 8, 0);
  std::copy(text, text + std::char_traits<char>::length(text), v.begin());
  return v;
}

void walk(isam_db *db, isam_index *idx, const void *const *values) {
  std::vector<uint8_t> buf(512);
  std::vector<void *> fields(static_cast<size_t>(std::max(0, igetfldcount(db))) + 1);
  int steps = 0;
  for (int32_t r = ifindhead(db, idx); r == 1 && steps < 4; r = ifindnext(db, idx), ++steps)
    igetrec(db, idx, fields.data(), buf.data(), static_cast<int32_t>(buf.size()));
  ifindkey(db, idx, values);
  imatchkey(db, idx, values);
  ipartialmatch(db, idx, values);
  igetdesc(db, idx);
  for (int32_t k = -1; k <= igetdesc_count(db, idx); ++k)
    igetdesc_fldnbr(db, idx, k), igetdesc_fldstart(db, idx, k), igetdesc_fldlen(db, idx, k);
  showdesc(db, idx, ",");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);              // refused descriptions make error lines
  if (!std::freopen("/dev/null", "w", stdout)) abort();  // the display calls print
  g_dir = qrx::fuzz::scratch_dir("qrxdescfuzz"), g_base = g_dir + "/db";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> fields;
  std::vector<std::vector<std::string>> indexes;
  bool in_fields = true;
  for (size_t at = 0; at <= text.size() && fields.size() < 16 && indexes.size() < 5;) {
    const size_t nl = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, nl - at);
    at = nl + 1;
    if (line.empty()) {
      if (!in_fields && !indexes.empty() && indexes.back().empty()) continue;
      in_fields = false;
      indexes.emplace_back();
    } else if (in_fields) {
      fields.push_back(line);
    } else if (indexes.back().size() < 9) {
      indexes.back().push_back(line);
    }
  }
  std::vector<const char *> fieldp;
  for (const std::string &f : fields) fieldp.push_back(f.c_str());
  fieldp.push_back(nullptr);

  std::error_code ignored;
  std::filesystem::remove(g_base + ".DB", ignored), std::filesystem::remove(g_base + ".IDX", ignored);
  isaminit(64, 4096);
  isam_db *db = icreate_db(g_base.c_str(), 512, fieldp.data());
  check(db != nullptr || *qrxiseno() != 0, "icreate_db refused without an error number");
  if (db != nullptr) {
    for (const auto &ix : indexes) {
      if (ix.empty()) continue;
      std::vector<const char *> specs;
      for (size_t i = 1; i < ix.size(); ++i) specs.push_back(ix[i].c_str());
      specs.push_back(nullptr);
      check(imkindex(db, ix[0].c_str(), specs.data()) == 1 || *qrxiseno() != 0,
            "imkindex refused without an error number");
    }
    static const std::vector<uint8_t> smith = value("Smith\0\0\0\7"), x = value("x");
    for (const auto *v : {&smith, &x, &smith}) {
      std::vector<const void *> values(fields.size(), v->data());
      values.push_back(nullptr);
      check(iaddrec(db, nullptr, values.data()) == 1 || *qrxiseno() != 0,
            "iaddrec refused without an error number");
    }
    // A key value for every key field an index can have (ipartialmatch reads one per key field).
    std::vector<const void *> key(16, smith.data());
    key.push_back(nullptr);
    igetfldnames(db), igetflddesc(db), igetindexnames(db);
    for (int32_t n = -1; n <= igetfldcount(db); ++n) igetfldtype(db, n), igetfldlen(db, n);
    qrxisshi(db, nullptr), qrxisshf(db, nullptr);
    walk(db, ihandle(db, "Physical Index"), key.data());
    for (const auto &ix : indexes) {
      if (ix.empty()) continue;
      const std::string name = ix[0].substr(0, ix[0].find(','));
      isam_index *idx = iopen_index(db, name.c_str());
      if (idx == nullptr) continue;
      walk(db, idx, key.data());
      qrxisshk(db, idx, "FieldNames");
      iclose_index(db, idx);
    }
    if (!indexes.empty() && !indexes[0].empty())
      irmindex(db, indexes[0][0].substr(0, indexes[0][0].find(',')).c_str());
    check(iclose_db(db) == 1, "iclose_db");
    if (isam_db *again = iopen_db(g_base.c_str(), 1)) {
      igetfldnames(again), igetindexnames(again);
      iclose_db(again);
    }
  }
  isamexit();  // drops the cached database object, so that it can be destroyed
  if (db != nullptr) check(idestroy_db(g_base.c_str()) == 1, "idestroy_db after a sound create");
  return 0;
}
