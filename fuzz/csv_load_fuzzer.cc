// csv_load_fuzzer.cc - libFuzzer target whose input is a CSV file for `qrx db load`. A database with
// fields of every type (a unique index on ID, one on NAME and BAL, one on a piece of the text CITY) is made
// afresh in a scratch directory and the input loaded into it by the tool's own load (load_csv), once as
// `qrx db load` does and once more as with --strict, over the records of the first load. After each load
// the database must hold exactly the records the load says it added. A crash, sanitizer report, leak or
// hang is a finding, and so is a library left running after the session's end: every input must start
// from nothing. The tool writes a line on standard error for every row it skips: scripts/fuzz.sh runs
// this target with -close_fd_mask=2, so a failed check is told on standard output, with the library's
// error and its error lines. Seeds: scripts/fuzz.sh.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "cbt/ctl.h"
#include "db_tool.h"
#include "fuzz/scratch.h"
#include "isam/isam.h"
#include "qrxis.h"

namespace {

std::string g_dir, g_base;

void check(bool ok, const char *what) {
  if (!ok) {
    std::printf("csv_load_fuzzer: %s; %s\n", what, qrx::tool::isam_error_text().c_str());
    for (const std::string &line : qrx::tool::take_library_lines()) std::printf("  %s\n", line.c_str());
    std::fflush(stdout);
    std::abort();
  }
}

bool make_db() {
  const char *fields[] = {"ID,I", "NAME,C12", "BAL,D", "FL,B3", "H,H",  "CITY,S",
                          "N,U",  "F,F",      "L,L",   "CS,C",  nullptr};
  isam_db *db = icreate_db(g_base.c_str(), 512, fields);
  if (db == nullptr) return false;
  const char *primary[] = {"ID,I", nullptr}, *byname[] = {"NAME,C12", "BAL,D", nullptr},
             *bycity[] = {"CITY,S:1,3", nullptr};
  const bool ok = imkindex(db, "PrimaryIndex,U", primary) == 1 && imkindex(db, "BYNAME", byname) == 1 &&
                  imkindex(db, "BYCITY", bycity) == 1;
  return iclose_db(db) == 1 && ok;
}

uint64_t count_records(isam_db *db) {
  isam_index *phys = ihandle(db, "Physical Index");
  uint64_t n = 0;
  for (int32_t r = ifindhead(db, phys); r == 1; r = ifindnext(db, phys)) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The library's error lines (refused rows make many) are kept by the tool's session, not written.
  unsetenv("QRX_TRACE_FILE"), unsetenv("QRX_TRACE_FLAGS");
  g_dir = qrx::fuzz::scratch_dir("qrxcsvfuzz"), g_base = g_dir + "/db";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::error_code ignored;
  std::filesystem::remove(g_base + ".DB", ignored), std::filesystem::remove(g_base + ".IDX", ignored);
  std::string text(reinterpret_cast<const char *>(data), size);
  text.push_back('\0');  // fmemopen refuses an empty buffer; the stream is `size` bytes long
  {
    qrx::tool::IsamSession session(512);
    check(session.ok() && make_db(), "the database cannot be made");
    qrx::tool::OpenDb db;
    check(db.open(g_base, 2), "the database cannot be opened");
    uint64_t added = 0;
    for (bool strict : {false, true}) {
      FILE *in = fmemopen(text.data(), size == 0 ? 1 : size, "rb");
      check(in != nullptr, "fmemopen");
      if (size == 0) std::fgetc(in);  // at the end: an empty file
      qrx::tool::LoadCounts counts;
      const int r = qrx::tool::load_csv(db, "fuzz.csv", in, size, strict, counts);
      std::fclose(in);
      check(r == 0 || r == 1, "the CSV parser did not start");
      check(!strict || counts.skipped == 0, "a strict load skipped a row");
      added += counts.loaded;
      check(count_records(db.db) == added, "the records in the database are not those the load added");
    }
    check(db.close(), "the database cannot be closed");
  }
  const qrx::isam::Anchor *a = qrx::isam::anchor_peek();
  check(a == nullptr || (a->initcnt == 0 && a->dblist == nullptr), "the database layer was left running");
  const qrx::cbt::Anchor *b = qrx::cbt::cbt_anchor_peek();
  check(b == nullptr || (b->pool == nullptr && b->trees == nullptr), "the B-tree layer was left running");
  return 0;
}
