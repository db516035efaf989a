// db_tool.h - the `qrx db` commands and the pieces they share: the ISAM library for the life of a
// command, an open database with its fields, reading the current record of an index, the index syntax of
// `create`, records printed as a table or CSV, and the progress bar behind the library's callback.
//
// The commands work through the exported calls of qrxis.h and qrxcb.h; verify, rebuild and stat also
// read the files themselves (db_files.h). Each command returns the process exit status and, when it
// fails, writes one line "qrx: ..." on standard error. One thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "db_files.h"
#include "qrx_tool.h"
#include "qrxis.h"

namespace CLI {
class App;
}

namespace qrx::tool {

// Adds `qrx db` and its commands to the command line; the command run sets status.
void add_db_commands(CLI::App &app, int &status);

// Prints "qrx: " and the text on standard error; returns 1, the failing exit status.
int fail(const std::string &text);
// "1 hole", "2 holes", "3 indexes", "4 entries".
std::string count_of(uint64_t n, const std::string &word);

// The ISAM library for the life of a command: isaminit with pool buffers that hold blocks of blksize
// (rounded up as the library rounds them), isamexit at the end. While it lives the library's error lines
// are kept (unless QRX_TRACE_FILE asks for them) and the last one is added to the tool's messages.
class IsamSession {
 public:
  explicit IsamSession(uint32_t blksize);
  ~IsamSession();
  IsamSession(const IsamSession &) = delete;
  IsamSession &operator=(const IsamSession &) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  bool sink_ = false;
};

// The buffer size the library uses for an index block size (512, 1024, 4096, 8192 or 32768).
uint32_t pool_size(uint32_t blksize);
// The block size of a database's index file, or `fallback` when it has none that can be read.
uint32_t db_blksize(const std::string &name, uint32_t fallback = 4096);

// "<text of *qrxiseno()> (error n)", with the B-tree layer's error for error 9 and the library's first
// error line kept since the last call, when there is one. Clears the kept lines.
std::string isam_error_text();
// The library's error lines kept since the last call (and forgets them).
std::vector<std::string> take_library_lines();

// An open database with its fields. open() writes the failure line itself.
class OpenDb {
 public:
  OpenDb() = default;
  ~OpenDb();
  OpenDb(const OpenDb &) = delete;
  OpenDb &operator=(const OpenDb &) = delete;
  // mode 1 read-only, 2 read/write. Records written without the index file would have no entries, so a
  // read/write open needs it unless `without_index`.
  bool open(const std::string &name, int32_t mode, bool without_index = false);
  bool close();  // false (with a line) when iclose_db fails
  // The shared index object of that name (the "Physical Index" for ""); null with a line.
  isam_index *index(const std::string &name);
  // The short names of the fields, in field order.
  int field_by_name(const std::string &short_name) const;  // -1 when none
  isam_db *db = nullptr;
  std::string name;
  std::string note;  // added to the failure lines of open and close
  std::vector<FieldDesc> fields;
};

// Every database file that exists: NAME.DB or NAME.IDX. false with a line when neither exists
// (`must_exist`) or either does (`!must_exist`).
bool check_db_files(const std::string &name, bool must_exist);

// false with a line when another process has a file of the database open for writing (holds its file
// lock): its files are then not removed, replaced or moved aside. `what` says what is not done.
bool not_written_elsewhere(const std::string &name, const std::string &what);

// The current record of idx read whole: values[i] points at field i inside buf. 1, or the index's state
// (-2, -3, -4), or -1.
int32_t read_current(isam_db *db, isam_index *idx, std::vector<uint8_t> &buf, std::vector<void *> &values,
                     size_t nfields);

// An index in create's syntax, "NAME[,U]=FIELD[:seg]+FIELD...", FIELD a short name and seg "len" or
// "start,len" (texts only): the index name and the key field specifications imkindex takes. false with
// why when it does not fit the fields.
bool parse_index_arg(const std::string &arg, const std::vector<FieldDesc> &fields, std::string &name,
                     std::vector<std::string> &specs, std::string &why);

// Makes the index through imkindex under a progress bar; when the fill fails the index is removed
// again. false with why.
bool make_index(OpenDb &db, const std::string &name, const std::vector<std::string> &specs, uint64_t records,
                std::string &why);

// Records printed as a table (columns as wide as their widest value) or as CSV with a header row.
// Nothing is printed before the first record or finish().
class RecordPrinter {
 public:
  RecordPrinter(const std::vector<FieldDesc> &fields, bool csv, FILE *out);
  void add(const void *const *values);
  void finish();  // prints the header when no record came, and what a table holds
  uint64_t count() const { return count_; }

 private:
  void csv_header();
  bool header_done_ = false;
  const std::vector<FieldDesc> &fields_;
  bool csv_;
  FILE *out_;
  std::vector<std::vector<std::string>> rows_;  // a table's rows, kept to size its columns
  uint64_t count_ = 0;
};
// One CSV field as RFC 4180 writes it: quoted when it holds a comma, a quote, a line break or
// spaces at either end (the reader trims those of unquoted fields).
void write_csv_field(FILE *out, const std::string &text);

// A progress bar fed by the library's progress callback (qrxisprg) while it lives.
class LibraryProgress {
 public:
  LibraryProgress(const char *label, uint64_t total);
  ~LibraryProgress();
  LibraryProgress(const LibraryProgress &) = delete;
  LibraryProgress &operator=(const LibraryProgress &) = delete;
  uint64_t count() const;

 private:
  Progress bar_;
};

// Records in the data file, counted by a walk (0 when it cannot be read); sizes progress bars.
uint64_t count_records(const std::string &name);

// Commands.
struct CreateOptions {
  std::string name;
  std::vector<std::string> fields, indexes;
  uint32_t blksize = 4096;
  bool force = false;
};
int cmd_db_create(const CreateOptions &o);
int cmd_db_load(const std::string &name, const std::string &csv, bool strict);
// The rows of the CSV text read from `in` (named `csv` in the lines; `size` bytes, for the progress bar)
// added to the open database as `qrx db load` adds them: 1 when the whole text was read, 0 when the load
// stopped early, -1 when the CSV parser cannot start. counts: the records added and the rows skipped.
struct LoadCounts {
  uint64_t loaded = 0, skipped = 0;
};
int load_csv(OpenDb &db, const std::string &csv, FILE *in, uint64_t size, bool strict, LoadCounts &counts);
int cmd_db_export(const std::string &name, const std::string &index);
int cmd_db_get(const std::string &name, const std::string &index, const std::vector<std::string> &values,
               bool csv);
int cmd_db_scan(const std::string &name, const std::string &index, const std::vector<std::string> &from,
                uint64_t limit, bool csv);
int cmd_db_stat(const std::string &name);
int cmd_db_verify(const std::string &name, bool all);
int cmd_db_rebuild(const std::string &name, const std::vector<std::string> &indexes, uint32_t blksize);
int cmd_db_copy(const std::string &src, const std::string &dst, const std::string &index, uint32_t blksize,
                bool into, bool force);
int cmd_db_rename(const std::string &from, const std::string &to, bool force);
int cmd_db_destroy(const std::string &name);
int cmd_db_index_add(const std::string &name, const std::string &index);
int cmd_db_index_rm(const std::string &name, const std::string &index);
int cmd_db_dump(const std::string &name);

// The cross-check of verify: the data file against the index file, every finding in `findings`.
// Returns false when the files cannot be read at all (findings then say why).
struct CrossCheck {
  std::vector<std::string> findings;  // listed: every one, or the first ten of each kind and counts
  uint64_t total = 0;                 // findings in all
  uint64_t records = 0, holes = 0, indexes = 0, entries = 0;
};
bool cross_check(const std::string &name, bool all, CrossCheck &out);

// The database part of `qrx demo`: 0 when every step succeeded.
int demo_database(const std::string &dir, uint32_t records, uint32_t blksize, uint64_t seed);
// The keyed-file part of `qrx demo` (demo_keyed.cc): 0 when every step succeeded.
int demo_keyed(const std::string &dir, uint32_t records, uint32_t blksize, uint64_t seed);

}  // namespace qrx::tool
