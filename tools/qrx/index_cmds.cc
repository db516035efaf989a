// index_cmds.cc - `qrx idx stat | verify | dump` and the pieces every command shares: the library
// session, the text of the thread's status codes, the dump file's name and the progress bar.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "db_files.h"
#include "qrx_tool.h"
#include "qrxcb.h"

namespace qrx::tool {

namespace {

// Opens an existing index file read-only under a session sized for its blocks, its keys ordered by cmp
// (null: byte for byte). Null with a message on standard error when it cannot be opened. A file not
// closed properly opens with error 20 and a note.
cbt_tree *open_index(const std::string &path, cbt_keycmp_fn cmp = nullptr) {
  if (!is_file(path)) {  // opening a missing file would be retried for seconds
    std::fprintf(stderr, "qrx: %s: no such file\n", path.c_str());
    return nullptr;
  }
  cbt_tree *t = cbopen(path.c_str(), 1, cmp);
  if (t == nullptr) {
    std::fprintf(stderr, "qrx: %s: cannot be opened as an index file: %s\n", path.c_str(),
                 last_error_text().c_str());
    return nullptr;
  }
  if (*qrxcbecd() == 20) std::fprintf(stderr, "qrx: note: %s was not closed properly\n", path.c_str());
  return t;
}

// The block size recorded in the file (0 when it cannot be read); sizes the session's buffers.
uint32_t file_blksize(const std::string &path) {
  if (!is_file(path)) return 0;
  const int32_t b = cbblksize(path.c_str());
  return b > 0 ? static_cast<uint32_t>(b) : 0;
}

}  // namespace

Session::Session(uint32_t blksize, uint32_t buffers) {
  ok_ = cbinit(buffers, blksize < 512 ? 512 : blksize) == 1;
  if (!ok_) std::fprintf(stderr, "qrx: cannot start the index library: %s\n", last_error_text().c_str());
}

Session::~Session() {
  cbexit();
}

std::string last_error_text() {
  const auto e = static_cast<int32_t>(*qrxcbecd());
  const auto c = static_cast<int32_t>(*qrxcbccd());
  return "error " + std::to_string(e) + " (" + qrxcberr(e) + "), context " + std::to_string(c) + " (" +
         qrxcbcon(c) + ")";
}

std::string dump_path(const std::string &index) {
  char drive[4] = "", dir[256] = "", fname[15] = "", ext[15] = "";
  SplitPath(index.c_str(), drive, dir, fname, ext);
  char out[512] = "";
  MakePath(out, "", dir, fname, "dmp");
  // The library's path building keeps a directory's trailing '/' and adds one ("/d//x.dmp"); the same
  // file, shown without the doubled separator.
  return std::filesystem::path(out).lexically_normal().string();
}

int cmd_stat(const std::string &path) {
  IndexStats s;
  if (!show_index_stats(path, s)) return 1;
  return s.problem.empty() && s.levels == s.depth ? 0 : 1;
}

namespace {

// A database's index file (NAME.IDX beside its data file NAME.DB) orders its entries by the types of
// their fields, so a byte-for-byte check would call a sound file out of order. The order comes from the
// data file's fields and the index descriptions at the front of the index file: the compare to check the
// file with, null for an index file of no database or one whose descriptions cannot be read (a note).
cbt_keycmp_fn database_order(const std::string &path) {
  const std::string data = data_file_name(path);
  if (!path.ends_with(".IDX") || !is_file(data)) return nullptr;
  DataFile df;
  IndexFile ix;
  std::vector<IndexDesc> descs;
  std::string why;
  if (df.open(data, why) && ix.open(path, 1, why) && ix.read_descriptions(df.header().fields, descs, why))
    return &key_compare;
  std::fprintf(stderr,
               "qrx: note: %s: the order of its database is unknown (%s); keys compared byte for byte\n",
               path.c_str(), why.c_str());
  return nullptr;
}

}  // namespace

int cmd_verify(const std::string &path) {
  Session session(file_blksize(path));
  if (!session.ok()) return 1;
  cbt_tree *t = open_index(path, database_order(path));
  if (t == nullptr) return 1;
  const std::string dmp = dump_path(path);
  const bool had_dump = is_file(dmp);
  struct stat before {};
  if (had_dump) ::stat(dmp.c_str(), &before);
  // The deep check: the level check of qrxcbver and everything a search and a walk rely on beyond it.
  const int32_t r = qrxcbchk(t);
  cbclose(t);
  if (r == 1) {
    std::printf("%s: consistent\n", path.c_str());
    return 0;
  }
  struct stat after {};
  const bool written = ::stat(dmp.c_str(), &after) == 0 &&
                       (!had_dump || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
                        after.st_mtim.tv_nsec != before.st_mtim.tv_nsec || after.st_size != before.st_size);
  if (written)
    std::printf("%s: NOT consistent; dump written to %s\n", path.c_str(), dmp.c_str());
  else
    std::printf("%s: NOT consistent; the dump file %s could not be written\n", path.c_str(), dmp.c_str());
  return 1;
}

int cmd_dump(const std::string &path, bool raw) {
  Session session(file_blksize(path));
  if (!session.ok()) return 1;
  cbt_tree *t = open_index(path);
  if (t == nullptr) return 1;
  qrxcbdmp(t, raw ? 1 : 0, stdout);
  cbclose(t);
  return 0;
}

// ---------------------------------------------------------------------------------------------------
// Progress bar
// ---------------------------------------------------------------------------------------------------

Progress::Progress(const char *label, uint64_t total) : label_(label), total_(total), tty_(isatty(2) == 1) {
  draw(0);
}

Progress::~Progress() {
  finish();
}

void Progress::finish() {
  if (!tty_ || finished_) return;
  finished_ = true;
  draw(total_);
  std::fputc('\n', stderr);
}

void Progress::update(uint64_t done) {
  if (tty_ && !finished_) draw(done);
}

void Progress::draw(uint64_t done) {
  if (!tty_) return;
  const int pct = total_ == 0 ? 100 : static_cast<int>(done * 100 / total_);
  if (pct == last_) return;
  last_ = pct;
  constexpr int kWidth = 40;
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < pct * kWidth / 100 ? '#' : '.';
  bar[kWidth] = '\0';
  std::fprintf(stderr, "\r  %-28s [%s] %3d%%", label_, bar, pct);
  std::fflush(stderr);
}

}  // namespace qrx::tool
