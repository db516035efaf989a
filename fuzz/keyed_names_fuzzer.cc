// keyed_names_fuzzer.cc - libFuzzer target for the names and key geometry of keyed files. The input: a
// byte with the number of fields (1 to 6), two bytes per field (its type and declared length), an index
// byte (which fields make the key, in field order, and whether it is unique), two bytes for a start and a
// length cut out of the first key field, the usage, a byte choosing the name's length (right, short, long,
// negative, past 255) and whether the database's path goes first, then the rest of the name. A database is
// made afresh with those fields and the index "K" and opened through OpenKeyedFile under that name. The
// refusals of the interface are checked (a negative length: 1 with reason 2; other usage bits: 1 with
// reason 3; a text field is never opened), and an open file must give a key inside its record, and a
// record it adds back by key and by cursor. A name whose index part begins "Physical Index" opens the
// file in its physical order, where a read by key is not allowed (status 6). A crash, sanitizer report,
// leak or hang is a finding.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/scratch.h"
#include "host/qrxhost.h"
#include "isam/isam.h"
#include "qrxis.h"
#include "qrxky.h"

namespace {

std::string g_dir, g_base;

void check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "keyed_names_fuzzer: %s\n", what);
    std::abort();
  }
}

struct In {
  const uint8_t *p, *end;
  uint8_t u8() { return p < end ? *p++ : 0; }
};

// Makes the database: true when it has a text field (as the database itself tells).
bool make_db(In &in, bool *made) {
  bool text = false;
  static const char *const codes[] = {"I", "U", "L", "F", "D", "H", "C", "B", "S", ""};
  const int nf = 1 + in.u8() % 6;
  std::vector<std::string> fields;
  for (int f = 0; f < nf; ++f) {
    const uint8_t t = in.u8(), n = in.u8();
    std::string d = "F" + std::to_string(f) + "," + codes[t % 10];
    if ((t % 10 == 6 || t % 10 == 7) && n % 5 != 0) d += std::to_string(n % 40);
    fields.push_back(d);
  }
  const uint8_t key = in.u8(), start = in.u8(), len = in.u8();
  std::vector<std::string> specs;
  for (int f = 0; f < nf; ++f) {
    if (!(key >> f & 1) && !(f == nf - 1 && specs.empty())) continue;
    std::string s = fields[static_cast<size_t>(f)];
    if (specs.empty() && start % 3 == 1) s += ":" + std::to_string(len % 12);
    if (specs.empty() && start % 3 == 2)
      s += ":" + std::to_string(start / 3 % 12) + "," + std::to_string(len % 12);
    specs.push_back(s);
  }
  std::vector<const char *> fp, sp;
  for (const std::string &f : fields) fp.push_back(f.c_str());
  for (const std::string &s : specs) sp.push_back(s.c_str());
  fp.push_back(nullptr), sp.push_back(nullptr);
  isaminit(16, 4096);
  isam_db *db = icreate_db(g_base.c_str(), 512, fp.data());
  *made = db != nullptr;
  if (db != nullptr) {
    for (int32_t f = 0; f < igetfldcount(db); ++f)
      text |= igetfldtype(db, f) == I_STRING || igetfldtype(db, f) == I_CSTRING;
    imkindex(db, key & 64 ? "K,U" : "K", sp.data());
    iclose_db(db);
  }
  isamexit();
  return text;
}

// True when the open file's index is the database's "Physical Index": the index part of the name (up to
// the first blank, after the first ':'; "PrimaryIndex" when there is none) opens, as the file's own index
// was opened, the index numbered 0.
bool names_physical_index(const std::string &name) {
  std::string cut = name.substr(0, std::min(name.find(' '), name.find('\0')));
  const size_t colon = cut.find(':');
  const std::string dbname = cut.substr(0, colon);
  const std::string index =
      colon == std::string::npos || colon + 1 == cut.size() ? "PrimaryIndex" : cut.substr(colon + 1);
  qrx::isam::Db *db = qrx::isam::db_handle(dbname.c_str());
  isam_index *i = db != nullptr ? iopen_index(db, index.c_str()) : nullptr;
  const bool physical = i != nullptr && i->number == 0;
  if (i != nullptr) iclose_index(db, i);
  return physical;
}

// Adds a record through the open file and reads it back by its key and with a cursor.
void use_file(KeyHandle file, bool writable, bool physical) {
  uint32_t off = 0, klen = 0, reclen = 0;
  check(QueryRecLen(file, &reclen) == 0, "QueryRecLen on an open file");
  const int32_t q = QueryKey(file, &off, &klen);
  check(q == 0 || (q == 10 && klen == 0), "QueryKey's status");
  check(off <= reclen && klen <= reclen - off, "the key lies outside the record");
  // Digits in every byte: no number of any type made of them is a NaN, so keys compare as bytes do.
  std::vector<uint8_t> rec(reclen), back(reclen + 1);
  for (size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<uint8_t>('0' + i % 10);
  const int32_t added = AddRecord(file, nullptr, 0, rec.data(), static_cast<int32_t>(reclen));
  if (!writable) check(added == 8, "AddRecord on a read-only file");
  int32_t got = -1;
  if (added == 0 && klen > 0) {
    const int32_t r = ReadByKey(file, rec.data() + off, static_cast<int32_t>(klen), back.data(),
                                static_cast<int32_t>(back.size()), &got);
    if (physical)
      check(r == 6, "a read by key in physical order is not refused with 6");
    else
      check(
          r == 0 && got == static_cast<int32_t>(reclen) && std::memcmp(back.data(), rec.data(), reclen) == 0,
          "a record added is not read back by its key");
  }
  KeyHandle cursor{};
  if (OpenCursor(file, QRXKY_KEY_HEAD, 0, &cursor) == 0) {
    const int32_t r = ReadNext(cursor, 0, back.data(), static_cast<int32_t>(back.size()), &got);
    if (added == 0)
      check(
          r == 0 && got == static_cast<int32_t>(reclen) && std::memcmp(back.data(), rec.data(), reclen) == 0,
          "a record added is not the first one a cursor reads");
    uint32_t reason = 0;
    CloseCursor(cursor, &reason);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);  // refused opens make error lines
  qrxhost_set_sleep_hook([](uint32_t) {});   // opens of missing files retry without waiting
  g_dir = qrx::fuzz::scratch_dir("qrxkynfuzz"), g_base = g_dir + "/db";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  In in{data, data + size};
  std::error_code ignored;
  std::filesystem::remove(g_base + ".DB", ignored), std::filesystem::remove(g_base + ".IDX", ignored);
  bool made = false;
  const bool text = make_db(in, &made);
  const int32_t usage = static_cast<int8_t>(in.u8());
  const uint8_t c = in.u8();
  const std::string name =
      (c & 8 ? "" : g_base) + std::string(reinterpret_cast<const char *>(in.p), in.end - in.p);
  const int32_t right = static_cast<int32_t>(name.size()), n = c >> 4;
  const int32_t lengths[] = {right, right / 2, right + 1 + n, -1 - (n << 20), 256 + n, 0, right, right};
  const int32_t len = lengths[c % 8];
  std::vector<char> buf(static_cast<size_t>(std::max(0, std::min(len, 400))), 'z');  // all the open may read
  std::copy_n(name.begin(), std::min(name.size(), buf.size()), buf.begin());

  KeyHandle file{};
  uint32_t reason = 99;
  const int32_t rc = OpenKeyedFile(buf.data(), len, usage, &file, &reason);
  if (len < 0) check(rc == 1 && reason == 2, "a negative name length: not 1 with reason 2");
  if (len >= 0 && (usage & ~3) != 0) check(rc == 1 && reason == 3, "a bad usage: not 1 with reason 3");
  check(rc == 0 || rc == 1 || rc == 3 || rc == 5 || rc == 6 || rc == 7 || rc == 8, "an undocumented status");
  check(rc != 0 || reason == 0, "an open with a reason");
  if (rc == 0) {
    check(made && !text, "a file opened over a text field or a database that was not made");
    use_file(file, usage & 1,
             names_physical_index(std::string(buf.data(), std::min<size_t>(len, buf.size()))));
    check(CloseFile(file, &reason) == 0, "CloseFile");
    check(CloseFile(file, &reason) == 2, "a second CloseFile");
  } else {
    check(CloseFile(file, &reason) == 2, "a handle given by a refused open");
  }
  Terminate();
  while (qrx::isam::anchor_peek() != nullptr && qrx::isam::anchor_peek()->initcnt > 0) isamexit();
  return 0;
}
