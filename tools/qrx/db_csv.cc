// db_csv.cc - `qrx db load`: records from an RFC 4180 CSV file, parsed by libcsv. The header row names
// the fields by their short names, in any order, each field once; every other row is one record, each
// value converted to its field's stored form. A row that does not fit (a value of the wrong form, too
// long for a char field, too few or too many values, a key a unique index already holds) is reported
// with its line and skipped, or ends the load with --strict. (`qrx db export` is the scan in CSV form.)
#include <csv.h>

#include <cstring>

#include "db_tool.h"

namespace qrx::tool {

namespace {

class Loader {
 public:
  Loader(OpenDb &db, const std::string &file, bool strict) : db_(db), file_(file), strict_(strict) {}

  // Feeds one line of the file (with its line break); false once the load has to stop.
  bool line(const char *text, size_t len, uint64_t number) {
    if (number == 1 && len >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3, len -= 3;  // a BOM
    const bool blank = len == 0 || text[0] == '\n' || (text[0] == '\r' && (len == 1 || text[1] == '\n'));
    if (between_rows_ && !blank) row_line_ = number, between_rows_ = false;
    if (csv_parse(&parser_, text, len, &Loader::on_field, &Loader::on_row, this) != len && !stop_)
      stop(number, "the line is not CSV: " + std::string(csv_strerror(csv_error(&parser_))));
    return !stop_;
  }
  bool finish(uint64_t lines) {
    if (!stop_ && csv_fini(&parser_, &Loader::on_field, &Loader::on_row, this) != 0)
      stop(lines, "the file ends inside a quoted value");
    if (!stop_ && !have_header_) stop(lines, "the file has no header row");
    return !stop_;
  }
  bool init() { return csv_init(&parser_, CSV_STRICT | CSV_STRICT_FINI) == 0; }
  ~Loader() { csv_free(&parser_); }

  uint64_t loaded = 0, skipped = 0;
  bool failed = false;  // the load stopped: on a fatal error, or on a bad row with --strict

 private:
  static void on_field(void *text, size_t len, void *self) {
    static_cast<Loader *>(self)->row_.emplace_back(static_cast<const char *>(text), len);
  }
  static void on_row(int, void *self) {
    auto *l = static_cast<Loader *>(self);
    if (!l->stop_) l->row();
    l->row_.clear();
    l->between_rows_ = true;
  }

  void stop(uint64_t line, const std::string &why) {
    fail(file_ + ":" + std::to_string(line) + ": " + why);
    stop_ = failed = true;
  }
  void bad_row(const std::string &why) {
    if (strict_) return stop(row_line_, why + "; the load stops here (--strict)");
    fail(file_ + ":" + std::to_string(row_line_) + ": " + why + "; row skipped");
    ++skipped;
  }

  void header() {
    have_header_ = true;
    std::vector<bool> named(db_.fields.size(), false);
    for (const std::string &name : row_) {
      const int f = db_.field_by_name(name);
      if (f < 0) return stop(row_line_, "the header names '" + name + "', which is no field of " + db_.name);
      if (named[static_cast<size_t>(f)]) return stop(row_line_, "the header names " + name + " twice");
      named[static_cast<size_t>(f)] = true;
      columns_.push_back(f);
    }
    for (size_t f = 0; f < named.size(); ++f)
      if (!named[f]) return stop(row_line_, "the header does not name field " + db_.fields[f].name);
  }

  void row() {
    if (!have_header_) return header();
    if (row_.size() != columns_.size())
      return bad_row(std::to_string(row_.size()) + " values; the header names " +
                     std::to_string(columns_.size()));
    stored_.resize(columns_.size());
    ptrs_.assign(db_.fields.size() + 1, nullptr);
    for (size_t c = 0; c < columns_.size(); ++c) {
      const FieldDesc &f = db_.fields[static_cast<size_t>(columns_[c])];
      std::string why;
      if (!parse_value(f, row_[c], stored_[c], why)) return bad_row("field " + f.name + ": " + why);
      ptrs_[static_cast<size_t>(columns_[c])] = stored_[c].data();
    }
    if (iaddrec(db_.db, nullptr, ptrs_.data()) == 1) {
      ++loaded;
      return;
    }
    if (*qrxiseno() == QRXIS_CBT && (*qrxcbecd() == 17 || *qrxcbecd() == 18)) {
      take_library_lines();
      return bad_row("a unique index already holds this record's key");
    }
    stop(row_line_, "the record cannot be added: " + isam_error_text());
  }

  OpenDb &db_;
  const std::string &file_;
  bool strict_;
  csv_parser parser_{};
  std::vector<std::string> row_, stored_;
  std::vector<const void *> ptrs_;
  std::vector<int> columns_;  // the field of each column
  bool have_header_ = false, between_rows_ = true, stop_ = false;
  uint64_t row_line_ = 1;
};

}  // namespace

int load_csv(OpenDb &db, const std::string &csv, FILE *in, uint64_t size, bool strict, LoadCounts &counts) {
  Loader loader(db, csv, strict);
  if (!loader.init()) return -1;
  char *line = nullptr;
  size_t cap = 0;
  uint64_t number = 0, done = 0;
  {
    Progress bar("loading", size);
    for (ssize_t n; (n = getline(&line, &cap, in)) > 0;) {
      done += static_cast<uint64_t>(n);
      if (!loader.line(line, static_cast<size_t>(n), ++number)) break;
      if (number % 1024 == 0) bar.update(done);
    }
  }
  std::free(line);
  const bool finished = !loader.failed && loader.finish(number);
  counts.loaded = loader.loaded, counts.skipped = loader.skipped;
  return finished ? 1 : 0;
}

int cmd_db_load(const std::string &name, const std::string &csv, bool strict) {
  const int64_t size = file_size(csv);
  FILE *in = size < 0 ? nullptr : std::fopen(csv.c_str(), "rb");
  if (in == nullptr) return fail(csv + ": cannot be read");
  IsamSession session(db_blksize(name));
  OpenDb db;
  if (!session.ok() || !db.open(name, 2)) {
    std::fclose(in);
    return 1;
  }
  LoadCounts loader;
  const int loaded = load_csv(db, csv, in, static_cast<uint64_t>(size), strict, loader);
  std::fclose(in);
  if (loaded < 0) return fail("the CSV parser cannot start");
  const bool finished = loaded == 1;
  const bool closed = db.close();
  std::printf("loaded %llu record%s into %s from %s", static_cast<unsigned long long>(loader.loaded),
              loader.loaded == 1 ? "" : "s", name.c_str(), csv.c_str());
  if (loader.skipped > 0)
    std::printf("; %llu row%s skipped", static_cast<unsigned long long>(loader.skipped),
                loader.skipped == 1 ? "" : "s");
  std::printf("%s\n", finished ? "" : "; the load stopped early");
  return finished && closed && loader.skipped == 0 ? 0 : 1;
}

}  // namespace qrx::tool
