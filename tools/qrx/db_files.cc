// db_files.cc - the data file walked by its layout, the index file walked through the B-tree calls, and
// the keys and key order of the index file (see db_files.h for both layouts).
//
// Nothing read from the data file is trusted: every length is checked against the file's size before
// the bytes behind it are read, and every field against the record's length.
#include "db_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstring>

#include "cbt/codec.h"
#include "qrx_tool.h"
#include "qrxis.h"

namespace qrx::tool {

namespace {

constexpr uint32_t kHeaderWords = 4 + 4;  // N, F
constexpr int32_t kMaxDeclared = 32767;
constexpr uint8_t kDescPrefix = 0x00, kOffsetHolePrefix = 0xFE, kSizeHolePrefix = 0xFF;
constexpr uint64_t kWindow = 1 << 20;  // bytes the data file is read in

int sign(int64_t v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

// The bytes as the C locale's tolower leaves them: only A to Z change.
uint8_t lower(uint8_t c) {
  return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c - 'A' + 'a') : c;
}

int lower_compare(const uint8_t *a, size_t na, const uint8_t *b, size_t nb) {
  for (size_t i = 0; i < na && i < nb; ++i)
    if (lower(a[i]) != lower(b[i])) return lower(a[i]) < lower(b[i]) ? -1 : 1;
  return sign(static_cast<int64_t>(na) - static_cast<int64_t>(nb));
}

bool same_name(const std::string &a, const std::string &b) {
  return a.size() == b.size() && lower_compare(reinterpret_cast<const uint8_t *>(a.data()), a.size(),
                                               reinterpret_cast<const uint8_t *>(b.data()), b.size()) == 0;
}

int32_t read_number(const char *&p) {
  int32_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) v = v > kMaxDeclared * 10 ? v : v * 10 + (*p - '0');
  return v;
}

// NaN equals NaN and sorts above every number; -0.0 equals 0.0.
template <class F>
int compare_float(F x, F y) {
  const bool nx = std::isnan(x), ny = std::isnan(y);
  if (nx || ny) return nx == ny ? 0 : (nx ? 1 : -1);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// The key order's table: the fields and the key fields of every index number.
struct KeyOrder {
  std::vector<FieldDesc> fields;
  std::array<std::vector<KeyField>, 256> keys;
  std::array<bool, 256> known{};
};
KeyOrder g_order;

// One key field of each key: the result, and the width key 1's field takes (a text: to its NUL).
int compare_field(const FieldDesc &f, const uint8_t *a, uint32_t na, const uint8_t *b, uint32_t nb,
                  uint32_t *wa) {
  if (is_text(f)) {
    const auto *za = static_cast<const uint8_t *>(std::memchr(a, 0, na));
    const auto *zb = static_cast<const uint8_t *>(std::memchr(b, 0, nb));
    const size_t la = za ? static_cast<size_t>(za - a) : na, lb = zb ? static_cast<size_t>(zb - b) : nb;
    *wa = static_cast<uint32_t>(za ? la + 1 : la);
    if (f.type == I_STRING) return lower_compare(a, la, b, lb);
    const int c = std::memcmp(a, b, std::min(la, lb));
    return c != 0 ? sign(c) : sign(static_cast<int64_t>(la) - static_cast<int64_t>(lb));
  }
  const uint32_t w = f.width;
  *wa = w;
  if (na < w || nb < w) {  // a key cut inside the field: the shorter first
    const int c = std::memcmp(a, b, std::min(na, nb));
    return c != 0 ? sign(c) : sign(int64_t{na} - int64_t{nb});
  }
  switch (f.type) {
    case I_INT:
    case I_LONG:
      return sign(int64_t{codec::load_i32(a, 0)} - codec::load_i32(b, 0));
    case I_UNSIGNED:
      return sign(int64_t{codec::load_u32(a, 0)} - int64_t{codec::load_u32(b, 0)});
    case I_SHORT:
      return sign(int64_t{static_cast<int16_t>(codec::load_u16(a, 0))} -
                  static_cast<int16_t>(codec::load_u16(b, 0)));
    case I_FLOAT:
      return compare_float(codec::load_f32(a, 0), codec::load_f32(b, 0));
    case I_DOUBLE:
      return compare_float(codec::load_f64(a, 0), codec::load_f64(b, 0));
    default:
      return sign(std::memcmp(a, b, w));
  }
}

std::string four_bytes(uint8_t prefix, uint32_t v) {
  std::string k(5, '\0');
  k[0] = static_cast<char>(prefix);
  codec::store_u32(reinterpret_cast<uint8_t *>(k.data()), 1, v);
  return k;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Fields, names, keys and their order.
// ---------------------------------------------------------------------------------------------------

FieldDesc describe_field(const std::string &desc) {
  FieldDesc f;
  f.desc = desc;
  f.name = desc.substr(0, desc.find(','));
  f.type = I_STRING;
  const size_t comma = desc.find(',');
  if (comma == std::string::npos || comma + 1 >= desc.size()) return f;
  const char code = static_cast<char>(std::toupper(static_cast<unsigned char>(desc[comma + 1])));
  const char *after = desc.c_str() + comma + 2;
  static const std::string kFixed = "IUHLFD";
  static const int kFixedTypes[] = {I_INT, I_UNSIGNED, I_SHORT, I_LONG, I_FLOAT, I_DOUBLE};
  static const uint32_t kFixedWidths[] = {4, 4, 2, 4, 4, 8};
  if (const size_t i = kFixed.find(code); i != std::string::npos) {
    f.type = kFixedTypes[i];
    f.width = kFixedWidths[i];
    return f;
  }
  const bool colon = *after == ':';
  if (code == 'B' || (code == 'C' && *after >= '0' && *after <= '9') || colon) {
    f.type = code == 'B' ? I_BINARY : I_CHAR;
    const char *p = colon ? after + 1 : after;
    const int32_t n = read_number(p);
    f.width = static_cast<uint32_t>(n == 0 ? 1 : std::min(n, kMaxDeclared));
    return f;
  }
  if (code == 'C') f.type = I_CSTRING;
  return f;
}

bool is_text(const FieldDesc &f) {
  return f.type == I_STRING || f.type == I_CSTRING;
}

std::string type_name(const FieldDesc &f) {
  switch (f.type) {
    case I_STRING:
      return "string";
    case I_CSTRING:
      return "cstring";
    case I_INT:
      return "int";
    case I_UNSIGNED:
      return "unsigned";
    case I_LONG:
      return "long";
    case I_FLOAT:
      return "float";
    case I_DOUBLE:
      return "double";
    case I_SHORT:
      return "short";
    case I_BINARY:
      return "binary[" + std::to_string(f.width) + "]";
    default:
      return "char[" + std::to_string(f.width) + "]";
  }
}

namespace {
std::string with_extension(const std::string &name, const char *ext) {
  size_t cut = name.size();
  for (size_t i = name.size(); i-- > 1;) {
    if (name[i] == '/' || name[i] == '\\') break;
    if (name[i] == '.') {
      cut = i;
      break;
    }
  }
  return name.substr(0, cut) + ext;
}
}  // namespace

std::string data_file_name(const std::string &name) {
  return with_extension(name, ".DB");
}

std::string index_file_name(const std::string &name) {
  return with_extension(name, ".IDX");
}

bool is_file(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t file_size(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
}

void resolve_index(IndexDesc &d, const std::vector<FieldDesc> &fields) {
  d.keys.clear();
  d.problem.clear();
  d.unique = false;
  for (size_t i = 0; i + 1 < d.name.size(); ++i)
    if (d.name[i] == ',' && (d.name[i + 1] == 'U' || d.name[i + 1] == 'u')) d.unique = true;
  for (const std::string &spec : d.specs) {
    KeyField k;
    std::string name = spec;
    if (const size_t colon = spec.find(':'); colon != std::string::npos) {
      const char *p = spec.c_str() + colon + 1;
      k.length = read_number(p);
      if (*p == ',') {
        ++p;
        k.start = k.length;
        k.length = read_number(p);
      }
      if (k.length != 0) name.resize(colon);
    }
    k.field = -1;
    for (size_t f = 0; f < fields.size() && k.field < 0; ++f)
      if (same_name(name, fields[f].desc)) k.field = static_cast<int>(f);
    if (k.field < 0) {
      d.problem = "key field " + spec + " names no field of the database";
      d.keys.clear();
      return;
    }
    d.keys.push_back(k);
  }
}

std::string record_key(const IndexDesc &d, const std::vector<FieldDesc> &fields,
                       const uint8_t *const *values) {
  std::string key(1, static_cast<char>(d.number));
  for (const KeyField &k : d.keys) {
    const FieldDesc &f = fields[static_cast<size_t>(k.field)];
    const auto *v = reinterpret_cast<const char *>(values[k.field]);
    if (!is_text(f)) {
      key.append(v, f.width);
      continue;
    }
    size_t len = std::strlen(v), from = 0;
    if (k.length > 0) {
      from = std::min(static_cast<size_t>(k.start), len);
      len = std::min(len - from, static_cast<size_t>(k.length));
    }
    key.append(v + from, len);
    key.push_back('\0');
  }
  return key;
}

std::string show_key(const IndexDesc &d, const std::vector<FieldDesc> &fields, const std::string &key) {
  std::string out;
  size_t at = 1;
  for (const KeyField &k : d.keys) {
    const FieldDesc &f = fields[static_cast<size_t>(k.field)];
    const size_t end = is_text(f) ? key.find('\0', at) : at + f.width;
    if (end == std::string::npos || end > key.size()) return out + (out.empty() ? "" : " + ") + "(cut short)";
    if (!out.empty()) out += " + ";
    out += '\'';
    out += format_value(f, reinterpret_cast<const uint8_t *>(key.data() + at));
    out += '\'';
    at = end + (is_text(f) ? 1 : 0);
  }
  return out;
}

void set_key_order(const std::vector<FieldDesc> &fields, const std::vector<IndexDesc> &indexes) {
  g_order.fields = fields;
  g_order.known.fill(false);
  for (const IndexDesc &d : indexes) {
    if (d.number == 0 || d.number > 254 || !d.problem.empty()) continue;
    g_order.known[d.number] = true;
    g_order.keys[d.number] = d.keys;
  }
}

int key_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  const auto *a = static_cast<const uint8_t *>(k1), *b = static_cast<const uint8_t *>(k2);
  if (l1 == 0 || l2 == 0) return sign(int64_t{l1} - l2);
  if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
  if (l1 == 1) return l2 == 1 ? 0 : -1;
  if (l2 == 1) return 1;
  if (a[0] == kSizeHolePrefix || a[0] == kOffsetHolePrefix) {
    if (l1 < 5 || l2 < 5) return sign(int64_t{l1} - l2);
    if (a[0] == kSizeHolePrefix) return sign(int64_t{codec::load_u32(a, 1)} - int64_t{codec::load_u32(b, 1)});
    return sign(int64_t{codec::load_i32(a, 1)} - codec::load_i32(b, 1));
  }
  if (a[0] == kDescPrefix) {
    const auto *za = static_cast<const uint8_t *>(std::memchr(a + 1, 0, l1 - 1));
    const auto *zb = static_cast<const uint8_t *>(std::memchr(b + 1, 0, l2 - 1));
    return lower_compare(a + 1, za ? static_cast<size_t>(za - a - 1) : l1 - 1, b + 1,
                         zb ? static_cast<size_t>(zb - b - 1) : l2 - 1);
  }
  if (!g_order.known[a[0]]) {
    const int c = std::memcmp(a + 1, b + 1, std::min(l1, l2) - 1);
    return c != 0 ? sign(c) : sign(int64_t{l1} - l2);
  }
  const std::vector<KeyField> &keys = g_order.keys[a[0]];
  uint32_t pa = 1, pb = 1;
  for (size_t k = 0; k < keys.size(); ++k) {
    uint32_t w = 0;
    const int c = compare_field(g_order.fields[static_cast<size_t>(keys[k].field)], a + pa, l1 - pa, b + pb,
                                l2 - pb, &w);
    if (c != 0) return c;
    if (k + 1 == keys.size()) return 0;
    pa += std::min(w, l1 - pa);
    pb += std::min(w, l2 - pb);  // equal fields: both move by key 1's width
    if (pa >= l1) return pb >= l2 ? 0 : -1;
    if (pb >= l2) return 1;
  }
  return 0;
}

std::string size_hole_key(uint32_t size) {
  return four_bytes(kSizeHolePrefix, size);
}

std::string offset_hole_key(uint32_t offset) {
  return four_bytes(kOffsetHolePrefix, offset);
}

// ---------------------------------------------------------------------------------------------------
// The data file.
// ---------------------------------------------------------------------------------------------------

DataFile::~DataFile() {
  if (fd_ >= 0) ::close(fd_);
}

const uint8_t *DataFile::at(uint64_t off, uint64_t n) {
  if (off >= base_ && off + n <= base_ + have_) return buf_.data() + (off - base_);
  if (off > h_.size || n > h_.size - off) return nullptr;
  const uint64_t want = std::min(std::max(n, kWindow), h_.size - off);
  buf_.resize(want);
  base_ = off;
  have_ = 0;
  while (have_ < want) {
    const ssize_t r = ::pread(fd_, buf_.data() + have_, want - have_, static_cast<off_t>(off + have_));
    if (r <= 0) return nullptr;
    have_ += static_cast<uint64_t>(r);
  }
  return buf_.data();
}

bool DataFile::open(const std::string &path, std::string &why) {
  if (!is_file(path)) {
    why = "no such file";
    return false;
  }
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    why = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  h_.size = static_cast<uint64_t>(st.st_size);
  const uint8_t *w = at(0, kHeaderWords);
  if (w == nullptr) {
    why = "header damaged: the file is shorter than its 8 header bytes";
    return false;
  }
  const uint32_t n = codec::load_u32(w, 0), count = codec::load_u32(w, 4);
  if (count == 0 || n == 0 || uint64_t{n} + kHeaderWords > h_.size || count > n) {
    why = "header damaged: " + std::to_string(count) + " fields in " + std::to_string(n) +
          " bytes of descriptions, file of " + std::to_string(h_.size) + " bytes";
    return false;
  }
  const uint8_t *d = at(kHeaderWords, n);
  if (d == nullptr) {
    why = "header cannot be read";
    return false;
  }
  const char *p = reinterpret_cast<const char *>(d), *end = p + n;
  for (uint32_t i = 0; i < count; ++i) {
    const char *z = static_cast<const char *>(std::memchr(p, 0, static_cast<size_t>(end - p)));
    if (z == nullptr) {
      why = "header damaged: description " + std::to_string(i + 1) + " of " + std::to_string(count) +
            " runs past the " + std::to_string(n) + " bytes of descriptions";
      return false;
    }
    h_.fields.push_back(describe_field(std::string(p, z)));
    p = z + 1;
  }
  h_.datastart = n + kHeaderWords;
  return true;
}

DataWalk DataFile::walk(const std::function<void(uint32_t, uint32_t, const uint8_t *const *)> &on_record,
                        const std::function<void(uint32_t, uint32_t)> &on_hole) {
  DataWalk w;
  std::vector<const uint8_t *> values(h_.fields.size() + 1, nullptr);
  uint64_t hole_end = 0;  // offset right behind the last hole met; 0 when the last item was a record
  const auto fail = [&w](uint64_t off, const std::string &what) {
    w.problem = what;
    w.bad_offset = static_cast<int64_t>(off);
  };
  for (uint64_t off = h_.datastart; off < h_.size && w.problem.empty();) {
    const uint8_t *lw = at(off, 4);
    if (lw == nullptr) {
      fail(off, "offset " + std::to_string(off) + ": the file ends " + std::to_string(h_.size - off) +
                    " bytes into a length word");
      break;
    }
    const int64_t len = codec::load_i32(lw, 0);
    const uint64_t span = 4 + static_cast<uint64_t>(len < 0 ? -len : len);
    if (len == 0) {
      fail(off, "offset " + std::to_string(off) + ": length word 0 (a record holds at least its fields)");
    } else if (off + span > h_.size) {
      fail(off, "offset " + std::to_string(off) + ": " + (len > 0 ? "record" : "hole") + " of " +
                    std::to_string(span - 4) + " bytes runs " + std::to_string(off + span - h_.size) +
                    " bytes past the end of the file");
    } else if (len < 0) {
      if (off == hole_end) ++w.touching;
      ++w.holes;
      w.hole_bytes += span - 4;
      on_hole(static_cast<uint32_t>(off), static_cast<uint32_t>(span - 4));
      hole_end = off + span;
    } else {
      const uint8_t *data = at(off + 4, span - 4);
      uint64_t pos = 0;
      for (size_t f = 0; f < h_.fields.size() && w.problem.empty(); ++f) {
        const FieldDesc &fd = h_.fields[f];
        const uint64_t left = span - 4 - pos;
        const void *z = is_text(fd) && data ? std::memchr(data + pos, 0, left) : nullptr;
        const uint64_t width =
            is_text(fd) ? (z ? static_cast<const uint8_t *>(z) - (data + pos) + 1 : left + 1) : fd.width;
        if (data == nullptr) {
          fail(off, "offset " + std::to_string(off) + ": the record cannot be read");
          break;
        }
        if (width > left) {
          fail(off, "offset " + std::to_string(off) + ": record of " + std::to_string(span - 4) +
                        " bytes: field " + std::to_string(f + 1) + " (" + fd.desc + ") runs past its end");
          break;
        }
        values[f] = data + pos;
        pos += width;
      }
      if (!w.problem.empty()) break;
      ++w.records;
      w.record_bytes += span;
      on_record(static_cast<uint32_t>(off), static_cast<uint32_t>(len), values.data());
      hole_end = 0;
    }
    off += span;
  }
  return w;
}

// ---------------------------------------------------------------------------------------------------
// The index file.
// ---------------------------------------------------------------------------------------------------

IndexFile::~IndexFile() {
  close();
}

bool IndexFile::close() {
  if (t_ == nullptr) return true;
  const bool ok = cbclose(t_) == 1;
  t_ = nullptr;
  return ok;
}

bool IndexFile::open(const std::string &path, int32_t mode, std::string &why, bool *not_closed) {
  if (!is_file(path)) {
    why = "no such file";
    return false;
  }
  t_ = cbopen(path.c_str(), mode, &key_compare);
  if (t_ == nullptr) {
    why = "cannot be opened as an index file: " + last_error_text();
    return false;
  }
  if (not_closed) *not_closed = *qrxcbecd() == 20;
  return true;
}

namespace {
// The key at the cursor into key; false when it cannot be read.
bool cursor_key(cbt_tree *t, std::string &key) {
  uint32_t len = 0;
  if (cbkeylen(t, &len) != 1) return false;
  key.resize(len);
  return len == 0 || cbkey(t, key.data(), len) == 1;
}
}  // namespace

bool IndexFile::read_descriptions(const std::vector<FieldDesc> &fields, std::vector<IndexDesc> &out,
                                  std::string &why) {
  out.clear();
  uint32_t item = 0;
  std::string key;
  for (int32_t r = cbhead(t_, &item); r != -3; r = cbnext(t_, &item)) {
    if (r != 1 || !cursor_key(t_, key)) {
      why = "the index descriptions cannot be read: " + last_error_text();
      return false;
    }
    if (key.empty() || key[0] != static_cast<char>(kDescPrefix)) break;
    if (out.size() > 255) {
      why = "more index descriptions than index numbers";
      return false;
    }
    IndexDesc d;
    d.number = item;
    size_t at = 1;
    for (bool first = true; at < key.size(); first = false) {
      const size_t z = key.find('\0', at);
      const std::string piece = key.substr(at, z == std::string::npos ? std::string::npos : z - at);
      if (first)
        d.name = piece;
      else
        d.specs.push_back(piece);
      at = z == std::string::npos ? key.size() : z + 1;
    }
    resolve_index(d, fields);
    out.push_back(std::move(d));
  }
  set_key_order(fields, out);
  return true;
}

std::string IndexFile::walk(const std::function<void(const uint8_t *, uint32_t, uint32_t)> &fn,
                            uint64_t limit) {
  uint32_t item = 0;
  std::string key;
  uint64_t n = 0;
  for (int32_t r = cbhead(t_, &item); r != -3; r = cbnext(t_, &item)) {
    if (r != 1 || !cursor_key(t_, key)) return "the walk of the index file stopped: " + last_error_text();
    if (++n > limit) return "the walk of the index file did not end after " + std::to_string(limit) + " keys";
    fn(reinterpret_cast<const uint8_t *>(key.data()), static_cast<uint32_t>(key.size()), item);
  }
  return "";
}

}  // namespace qrx::tool
