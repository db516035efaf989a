// db_common.cc - what every `qrx db` command shares: the library session and its error lines, opening
// a database, reading a record, the index syntax of `create`, printing records and the progress bar.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "db_tool.h"
#include "host/qrxhost.h"

namespace qrx::tool {

namespace {

constexpr size_t kKeptLines = 200;
std::vector<std::string> g_lines;  // the library's error lines while a session lives

void keep_line(void *, const char *, int, int kind, int, const char *text) {
  if (kind != QRXHOST_KIND_ERROR || text == nullptr) return;
  if (g_lines.size() == kKeptLines) g_lines.erase(g_lines.begin());
  g_lines.emplace_back(text);
}

bool env_set(const char *name) {
  const char *v = std::getenv(name);
  return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

Progress *g_bar = nullptr;
uint64_t g_done = 0;

void on_progress(uint32_t n) {
  g_done = n;
  if (g_bar) g_bar->update(n);
}

std::string join(const std::vector<std::string> &v, const char *sep) {
  std::string out;
  for (const std::string &s : v) out += (out.empty() ? "" : sep) + s;
  return out;
}

std::vector<std::string> short_names(const std::vector<FieldDesc> &fields) {
  std::vector<std::string> names;
  for (const FieldDesc &f : fields) names.push_back(f.name);
  return names;
}

}  // namespace

int fail(const std::string &text) {
  // On a terminal the line replaces a progress bar drawn there; the bar is drawn again as it moves.
  std::fprintf(stderr, "%sqrx: %s\n", isatty(2) == 1 ? "\r\033[K" : "", text.c_str());
  return 1;
}

std::string count_of(uint64_t n, const std::string &word) {
  const char last = word.empty() ? ' ' : word.back();
  if (n == 1) return "1 " + word;
  if (last == 'y') return std::to_string(n) + " " + word.substr(0, word.size() - 1) + "ies";
  return std::to_string(n) + " " + word + (last == 'x' ? "es" : "s");
}

uint32_t pool_size(uint32_t blksize) {
  if (blksize <= 512) return 512;
  if (blksize <= 1024) return 1024;
  if (blksize <= 4096) return 4096;
  if (blksize <= 8192) return 8192;
  return 32768;
}

uint32_t db_blksize(const std::string &name, uint32_t fallback) {
  const std::string idx = index_file_name(name);
  const int32_t b = is_file(idx) ? cbblksize(idx.c_str()) : -1;
  return b > 0 && b <= 32768 ? static_cast<uint32_t>(b) : fallback;
}

IsamSession::IsamSession(uint32_t blksize) {
  // Unless a trace file or trace flags ask for the library's lines, they are kept for the messages.
  if (!env_set("QRX_TRACE_FILE") && !env_set("QRX_TRACE_FLAGS")) {
    qrxhost_set_trace_sink(&keep_line, nullptr);
    sink_ = true;
  }
  constexpr int32_t kBuffers = 1024;  // allocated as blocks first need them
  ok_ = qrxisini(kBuffers, static_cast<int32_t>(pool_size(blksize))) == 1;
  if (!ok_) fail("cannot start the database library: " + isam_error_text());
}

IsamSession::~IsamSession() {
  if (ok_) qrxisxit();
  if (sink_) qrxhost_set_trace_sink(nullptr, nullptr);
  g_lines.clear();
}

std::vector<std::string> take_library_lines() {
  std::vector<std::string> lines;
  lines.swap(g_lines);
  return lines;
}

std::string isam_error_text() {
  const int32_t e = *qrxiseno();
  std::string s = std::string(qrxismsg(e)) + " (error " + std::to_string(e) + ")";
  if (e == QRXIS_CBT && *qrxcbecd() != 0) s += "; B-tree layer: " + last_error_text();
  if (!g_lines.empty()) s += " [" + g_lines.front() + "]";  // the first line kept names the cause
  g_lines.clear();
  return s;
}

bool not_written_elsewhere(const std::string &name, const std::string &what) {
  for (const std::string &f : {data_file_name(name), index_file_name(name)}) {
    const int fd = ::open(f.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    const bool held = qrxcb_LockFile(fd) != 0;
    ::close(fd);  // and the probe's own lock with it
    if (held) {
      fail(f + " is open for writing in another process; " + what);
      return false;
    }
  }
  return true;
}

bool check_db_files(const std::string &name, bool must_exist) {
  const std::string data = data_file_name(name), idx = index_file_name(name);
  const bool any = is_file(data) || is_file(idx);
  if (must_exist && !is_file(data)) {
    fail(name + ": no such database (" + data + " not found)");
    return false;
  }
  if (!must_exist && any) {
    fail(name + ": the database exists (" + (is_file(data) ? data : idx) + "); --force replaces it");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Open databases and records.
// ---------------------------------------------------------------------------------------------------

OpenDb::~OpenDb() {
  if (db) iclose_db(db);
}

bool OpenDb::open(const std::string &dbname, int32_t mode, bool without_index) {
  name = dbname;
  if (!check_db_files(name, true)) return false;
  if (mode == 2 && !without_index && !is_file(index_file_name(name))) {
    fail(name + ": the index file " + index_file_name(name) + " is missing; qrx db rebuild makes one" + note);
    return false;
  }
  take_library_lines();
  db = iopen_db(name.c_str(), mode);
  if (db == nullptr) {
    const int32_t e = *qrxiseno();
    const bool damaged = e == QRXIS_CORRUPT || e == QRXIS_CBT || e == QRXIS_BLOCK_SIZE || e == QRXIS_IO;
    fail(name + ": cannot open the database: " + isam_error_text() +
         (damaged ? "; qrx db verify " + name + " looks into it" : "") + note);
    return false;
  }
  const char *const *names = igetfldnames(db);
  const int32_t n = igetfldcount(db);
  if (names == nullptr || n < 1) {
    fail(name + ": cannot read the fields: " + isam_error_text());
    return false;
  }
  fields.clear();
  for (int32_t i = 0; i < n; ++i) {
    FieldDesc f = describe_field(names[i]);
    f.type = igetfldtype(db, i);
    if (f.type == I_BINARY || f.type == I_CHAR) f.width = static_cast<uint32_t>(igetfldlen(db, i));
    fields.push_back(f);
  }
  return true;
}

bool OpenDb::close() {
  isam_db *d = db;
  db = nullptr;
  if (d == nullptr || iclose_db(d) == 1) return true;
  fail(name + ": closing the database failed: " + isam_error_text() + note);
  return false;
}

isam_index *OpenDb::index(const std::string &index_name) {
  isam_index *idx = ihandle(db, index_name.empty() ? "Physical Index" : index_name.c_str());
  if (idx != nullptr) return idx;
  std::vector<std::string> names;
  if (const char *const *list = igetindexnames(db))
    for (; *list; ++list)
      if (std::strcmp(*list, "Physical Index") != 0) names.insert(names.begin(), *list);
  take_library_lines();
  fail(name + ": no index " + index_name + " (indexes: " + (names.empty() ? "none" : join(names, ", ")) +
       ")");
  return nullptr;
}

int OpenDb::field_by_name(const std::string &short_name) const {
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].name == short_name) return static_cast<int>(i);
  return -1;
}

int32_t read_current(isam_db *db, isam_index *idx, std::vector<uint8_t> &buf, std::vector<void *> &values,
                     size_t nfields) {
  uint32_t len = 0;
  const int32_t r = igetreclen(db, idx, &len);
  if (r != 1) return r;
  buf.resize(size_t{len} + 1);
  values.assign(nfields + 1, nullptr);
  return igetrec(db, idx, values.data(), buf.data(), static_cast<int32_t>(buf.size()));
}

uint64_t count_records(const std::string &name) {
  DataFile f;
  std::string why;
  if (!f.open(data_file_name(name), why)) return 0;
  return f.walk([](uint32_t, uint32_t, const uint8_t *const *) {}, [](uint32_t, uint32_t) {}).records;
}

// ---------------------------------------------------------------------------------------------------
// Indexes in create's syntax.
// ---------------------------------------------------------------------------------------------------

bool parse_index_arg(const std::string &arg, const std::vector<FieldDesc> &fields, std::string &name,
                     std::vector<std::string> &specs, std::string &why) {
  const size_t eq = arg.find('=');
  if (eq == 0 || eq == std::string::npos || eq + 1 == arg.size()) {
    why = "'" + arg + "' is not an index: NAME[,U]=FIELD[:seg]+FIELD...";
    return false;
  }
  name = arg.substr(0, eq);
  specs.clear();
  for (size_t at = eq + 1; at <= arg.size();) {
    const size_t plus = std::min(arg.find('+', at), arg.size());
    const std::string piece = arg.substr(at, plus - at);
    at = plus + 1;
    const size_t colon = piece.find(':');
    const std::string field = piece.substr(0, colon);
    size_t f = 0;
    while (f < fields.size() && fields[f].name != field) ++f;
    if (f == fields.size()) {
      why = "index " + name + ": no field named '" + field + "' (fields: " + join(short_names(fields), ", ") +
            ")";
      return false;
    }
    if (fields[f].desc.find(':') != std::string::npos) {
      why =
          "index " + name + ": field " + fields[f].desc + " cannot be a key field: its description holds ':'";
      return false;
    }
    std::string spec = fields[f].desc;
    if (colon != std::string::npos) {
      const std::string seg = piece.substr(colon + 1);
      const size_t comma = seg.find(',');
      const std::string len = comma == std::string::npos ? seg : seg.substr(comma + 1);
      const std::string start = comma == std::string::npos ? "0" : seg.substr(0, comma);
      const auto digits = [](const std::string &s) {
        return !s.empty() && s.size() < 6 && s.find_first_not_of("0123456789") == std::string::npos;
      };
      if (!digits(len) || !digits(start) || std::stoi(len) == 0) {
        why =
            "index " + name + ": '" + seg + "' is not a segment: LENGTH or START,LENGTH, the length above 0";
        return false;
      }
      if (!is_text(fields[f])) {
        why = "index " + name + ": a segment applies to text fields only, not to " + fields[f].desc;
        return false;
      }
      spec += ":" + seg;
    }
    specs.push_back(spec);
  }
  return true;
}

bool make_index(OpenDb &db, const std::string &name, const std::vector<std::string> &specs, uint64_t records,
                std::string &why) {
  std::vector<const char *> p;
  for (const std::string &s : specs) p.push_back(s.c_str());
  p.push_back(nullptr);
  int32_t r = 0;
  {
    std::optional<LibraryProgress> bar;  // no bar for an index of an empty database
    if (records > 0) bar.emplace("filling the index", records);
    r = imkindex(db.db, name.c_str(), p.data());
  }
  if (r == 1) return true;
  const int32_t e = *qrxiseno();
  const uint32_t cb = *qrxcbecd();
  why = "index " + name + " was not made: " +
        (e == QRXIS_DUP_INDEX ? std::string("the database has an index of that name")
         : e == QRXIS_CBT && (cb == 17 || cb == 18)
             ? std::string("two records have the same key and the index is unique")
             : isam_error_text());
  take_library_lines();
  // A fill that failed leaves the index with the entries made so far: it goes again.
  if (e != QRXIS_DUP_INDEX && ihandle(db.db, name.c_str()) != nullptr && irmindex(db.db, name.c_str()) != 1)
    why += "; removing what was made of it failed too: " + isam_error_text();
  take_library_lines();
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Printing records, progress.
// ---------------------------------------------------------------------------------------------------

void write_csv_field(FILE *out, const std::string &text) {
  const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                     (!text.empty() && (std::isspace(static_cast<unsigned char>(text.front())) ||
                                        std::isspace(static_cast<unsigned char>(text.back()))));
  if (!quote) {
    std::fwrite(text.data(), 1, text.size(), out);
    return;
  }
  std::fputc('"', out);
  for (char c : text) {
    if (c == '"') std::fputc('"', out);
    std::fputc(c, out);
  }
  std::fputc('"', out);
}

RecordPrinter::RecordPrinter(const std::vector<FieldDesc> &fields, bool csv, FILE *out)
    : fields_(fields), csv_(csv), out_(out) {
  if (!csv_) rows_.push_back(short_names(fields_));
}

void RecordPrinter::csv_header() {
  if (!csv_ || header_done_) return;
  header_done_ = true;
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (i > 0) std::fputc(',', out_);
    write_csv_field(out_, fields_[i].name);
  }
  std::fputc('\n', out_);
}

void RecordPrinter::add(const void *const *values) {
  csv_header();
  ++count_;
  std::vector<std::string> row;
  for (size_t i = 0; i < fields_.size(); ++i)
    row.push_back(format_value(fields_[i], static_cast<const uint8_t *>(values[i])));
  if (!csv_) {
    rows_.push_back(std::move(row));
    return;
  }
  for (size_t i = 0; i < row.size(); ++i) {
    if (i > 0) std::fputc(',', out_);
    write_csv_field(out_, row[i]);
  }
  std::fputc('\n', out_);
}

void RecordPrinter::finish() {
  csv_header();
  if (csv_) return;
  std::vector<size_t> width(fields_.size(), 0);
  for (const auto &row : rows_)
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  for (const auto &row : rows_) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    std::fprintf(out_, "%s\n", line.c_str());
  }
  rows_.clear();
}

LibraryProgress::LibraryProgress(const char *label, uint64_t total) : bar_(label, total) {
  g_bar = &bar_;
  g_done = 0;
  qrxisprg(&on_progress);
}

LibraryProgress::~LibraryProgress() {
  qrxisprg(nullptr);
  g_bar = nullptr;
}

uint64_t LibraryProgress::count() const {
  return g_done;
}

}  // namespace qrx::tool
