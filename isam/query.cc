// query.cc - read-only questions about an open database (its fields, its index names, how an index's key
// is made up) and the display calls that print fields, index names, key descriptions, keys and records to
// standard output. Nothing here changes a file.
//
// Every query holds the database lock while it reads the database or index object and releases it before
// returning. Lists built for a caller (igetdesc, igetindexnames) live in the calling thread's record and
// stay valid until the same thread makes the same call again; a buffer is replaced only when a result is
// larger than it, and the caller never frees it. The display calls build their whole text first and write
// it in one piece, so the output of two threads never interleaves within one call.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cbt/codec.h"
#include "host/qrxmem.h"
#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

// lock_db, and the database's files are open: a cached object whose last opener closed it has no fields
// and no indexes left to describe (isam_errno 1).
bool lock_open_db(Db *db) {
  if (!lock_db(db)) return false;
  if (db->usecount > 0) return true;
  unlock(db);
  QRX_ERROR("Database %s is not open", db->datafile.c_str());
  set_errno(Err::kBadDb);
  return false;
}

// Declared length of an I_BINARY or I_CHAR field: 1 when the database keeps no declared lengths.
int32_t declared(const Db *db, int32_t field) {
  return db->lengths.empty() ? 1 : db->lengths[static_cast<size_t>(field)];
}

// Longest specification suffix: ':', a start of up to 11 characters, ',', a length of up to 11, the NUL.
constexpr size_t kSuffixSize = 1 + (kItoSSize - 1) + 1 + (kItoSSize - 1) + 1;

// The segment suffix of key field k: ":length" or ":start,length" for a segment with a length above 0,
// else empty. Its length.
size_t segment_suffix(const Index *idx, int32_t k, char (&out)[kSuffixSize]) {
  out[0] = '\0';
  if (idx->segments.empty()) return 0;
  const auto [start, length] = idx->segments[static_cast<size_t>(k)];
  if (length <= 0) return 0;
  size_t n = 0;
  out[n++] = ':';
  if (start > 0) {
    n += static_cast<size_t>(ItoS(start, out + n));
    out[n++] = ',';
  }
  n += static_cast<size_t>(ItoS(length, out + n));
  return n;
}

// igetdesc's body with the index checked and the database lock held.
const char *const *describe_key(const Db *db, const Index *idx) {
  ThreadData *td = I_GetThreadData();
  if (td == nullptr) {
    set_errno(Err::kNoMemory);
    return nullptr;
  }
  const size_t n = static_cast<size_t>(idx->nkeyfields);
  char suffix[kSuffixSize];
  // The pointer array with its null entry, then each specification with its NUL.
  size_t size = sizeof(const char *) * (n + 1);
  for (size_t k = 0; k < n; ++k)
    size += std::strlen(db->fieldnames[static_cast<size_t>(idx->keyfields[k])]) +
            segment_suffix(idx, static_cast<int32_t>(k), suffix) + 1;
  if (size > td->desc_size) {
    std::free(td->desc_buf);
    td->desc_buf = static_cast<char *>(qrx::mem::alloc(size));
    if (td->desc_buf == nullptr) {
      td->desc_size = 0;
      set_errno(Err::kNoMemory);
      return nullptr;
    }
    td->desc_size = static_cast<uint32_t>(size);
  }
  auto **specs = reinterpret_cast<const char **>(td->desc_buf);
  char *text = td->desc_buf + sizeof(const char *) * (n + 1);
  for (size_t k = 0; k < n; ++k) {
    const char *name = db->fieldnames[static_cast<size_t>(idx->keyfields[k])];
    const size_t len = std::strlen(name), slen = segment_suffix(idx, static_cast<int32_t>(k), suffix);
    specs[k] = text;
    std::memcpy(text, name, len);
    std::memcpy(text + len, suffix, slen + 1);
    text += len + slen + 1;
  }
  specs[n] = nullptr;
  return specs;
}

// The frame of the key-field queries: the index checked (database lock held while read reads it), and a
// position k, when one is asked for, inside 0 .. nkeyfields - 1 (else isam_errno 25).
template <class Read>
int32_t key_query(Db *db, Index *idx, int32_t k, bool positional, Read read) {
  set_errno(Err::kNone);
  if (!lock_index(db, idx, kEither)) return -1;
  int32_t r = -1;
  if (positional && (k < 0 || k >= idx->nkeyfields))
    set_errno(Err::kKeyNumber);
  else
    r = read(static_cast<size_t>(k));
  unlock(db);
  return r;
}

// The frame of the field queries: read runs with the database lock held.
template <class R, class Read>
R field_query(Db *db, R failure, Read read) {
  set_errno(Err::kNone);
  if (!lock_open_db(db)) return failure;
  const R r = read();
  unlock(db);
  return r;
}

// Field n of the database, or isam_errno 24.
bool field_in_range(const Db *db, int32_t n) {
  if (n >= 0 && n < db->nfields) return true;
  set_errno(Err::kFieldNumber);
  return false;
}

// Text for standard output, written in one piece by finish(). Each item is followed by the separator, or
// by a newline when there is none; the whole text by one more newline.
class Printout {
 public:
  explicit Printout(const char *sep) : sep_(sep) {}
  __attribute__((format(printf, 2, 3))) void add(const char *fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n > 0) {
      const size_t at = text_.size();
      text_.resize(at + static_cast<size_t>(n) + 1);
      std::vsnprintf(text_.data() + at, static_cast<size_t>(n) + 1, fmt, again);
      text_.resize(at + static_cast<size_t>(n));
    }
    va_end(again);
  }
  // Each byte as \xHH with upper-case digits, as add("\\x%02X", byte) writes it, without a format pass per
  // byte: a binary field of some kilobytes is one loop.
  void add_hex(const uint8_t *v, int32_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text_.reserve(text_.size() + 4 * static_cast<size_t>(n > 0 ? n : 0));
    for (int32_t i = 0; i < n; ++i) {
      const char hex[4] = {'\\', 'x', kDigits[v[i] >> 4], kDigits[v[i] & 15]};
      text_.append(hex, sizeof hex);
    }
  }
  void end_item() { text_ += sep_ != nullptr ? sep_ : "\n"; }
  void finish() {
    text_ += '\n';
    std::fwrite(text_.data(), 1, text_.size(), stdout);
  }

 private:
  std::string text_;
  const char *sep_;
};

// One key of idx (behind its index-number byte), field by field. The key is whole: every text ends with its
// NUL and every fixed-width field is there.
void print_key(Printout &out, const Db *db, const Index *idx, const uint8_t *p) {
  for (int32_t k = 0; k < idx->nkeyfields; ++k) {
    const int32_t f = idx->keyfields[static_cast<size_t>(k)];
    switch (db->types[static_cast<size_t>(f)]) {
      case I_STRING:
      case I_CSTRING: {
        const char *s = reinterpret_cast<const char *>(p);
        out.add("%s", s);
        p += std::strlen(s) + 1;
        break;
      }
      case I_INT:
        out.add("%d", static_cast<int>(codec::load_i32(p, 0)));
        p += 4;
        break;
      case I_SHORT:
        out.add("%d", static_cast<int>(static_cast<int16_t>(codec::load_u16(p, 0))));
        p += 2;
        break;
      case I_UNSIGNED:
        out.add("%u", static_cast<unsigned>(codec::load_u32(p, 0)));
        p += 4;
        break;
      case I_LONG:
        out.add("%ld", static_cast<long>(codec::load_i32(p, 0)));
        p += 4;
        break;
      case I_FLOAT:
        out.add("%.2f", static_cast<double>(codec::load_f32(p, 0)));
        p += 4;
        break;
      case I_DOUBLE:
        out.add("%.2f", codec::load_f64(p, 0));
        p += 8;
        break;
      case I_CHAR:
        out.add("%.*s", static_cast<int>(declared(db, f)), reinterpret_cast<const char *>(p));
        p += declared(db, f);
        break;
      case I_BINARY:
        out.add("BINARY:%d", static_cast<int>(declared(db, f)));
        p += declared(db, f);
        break;
      default:
        return;  // no width to step over
    }
    out.end_item();
  }
}

// One value of field f of db in its stored form.
void print_value(Printout &out, const Db *db, int32_t f, const uint8_t *v) {
  switch (db->types[static_cast<size_t>(f)]) {
    case I_STRING:
    case I_CSTRING:
      out.add("%s", reinterpret_cast<const char *>(v));
      break;
    case I_INT:
      out.add("%d", static_cast<int>(codec::load_i32(v, 0)));
      break;
    case I_SHORT:
      out.add("%d", static_cast<int>(static_cast<int16_t>(codec::load_u16(v, 0))));
      break;
    case I_UNSIGNED:
      out.add("%u", static_cast<unsigned>(codec::load_u32(v, 0)));
      break;
    case I_LONG:
      out.add("%ld", static_cast<long>(codec::load_i32(v, 0)));
      break;
    case I_FLOAT:
      out.add("%G", static_cast<double>(codec::load_f32(v, 0)));
      break;
    case I_DOUBLE:
      out.add("%G", codec::load_f64(v, 0));
      break;
    case I_CHAR:
      out.add("%.*s", static_cast<int>(declared(db, f)), reinterpret_cast<const char *>(v));
      break;
    case I_BINARY:
      out.add_hex(v, declared(db, f));
      break;
    default:
      break;
  }
}

}  // namespace

int32_t ItoS(int32_t value, char *buf) {
  char digits[kItoSSize];
  // The magnitude as unsigned, so that the most negative value has one too.
  uint32_t v = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  int32_t n = 0, len = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0) buf[len++] = '-';
  while (n > 0) buf[len++] = digits[--n];
  buf[len] = '\0';
  return len;
}

const char *const *get_desc(Db *db, Index *idx) {
  set_errno(Err::kNone);
  if (!lock_index(db, idx, kEither)) return nullptr;
  const char *const *specs = describe_key(db, idx);
  unlock(db);
  return specs;
}

int32_t get_desc_count(Db *db, Index *idx) {
  return key_query(db, idx, 0, false, [&](size_t) { return idx->nkeyfields; });
}

int32_t get_desc_fldnbr(Db *db, Index *idx, int32_t k) {
  return key_query(db, idx, k, true, [&](size_t i) { return idx->keyfields[i]; });
}

int32_t get_desc_fldstart(Db *db, Index *idx, int32_t k) {
  return key_query(db, idx, k, true,
                   [&](size_t i) { return idx->segments.empty() ? 0 : idx->segments[i].first; });
}

int32_t get_desc_fldlen(Db *db, Index *idx, int32_t k) {
  return key_query(db, idx, k, true,
                   [&](size_t i) { return idx->segments.empty() ? 0 : idx->segments[i].second; });
}

int32_t get_fld_count(Db *db) {
  return field_query<int32_t>(db, -1, [&] { return db->nfields; });
}

const uint8_t *get_fld_desc(Db *db) {
  return field_query<const uint8_t *>(db, nullptr, [&] { return db->types.data(); });
}

int32_t get_fld_type(Db *db, int32_t n) {
  return field_query<int32_t>(db, -1, [&] {
    return field_in_range(db, n) ? static_cast<int32_t>(db->types[static_cast<size_t>(n)]) : -1;
  });
}

int32_t get_fld_len(Db *db, int32_t n) {
  return field_query<int32_t>(db, -1, [&] {
    if (!field_in_range(db, n)) return -1;
    const uint8_t type = db->types[static_cast<size_t>(n)];
    return type == I_BINARY || type == I_CHAR ? declared(db, n) : 0;
  });
}

const char *const *get_fld_names(Db *db) {
  return field_query<const char *const *>(db, nullptr, [&] { return db->fieldnames.data(); });
}

const char *const *get_index_names(Db *db) {
  return field_query<const char *const *>(db, nullptr, [&]() -> const char *const * {
    ThreadData *td = I_GetThreadData();
    if (td == nullptr) {
      set_errno(Err::kNoMemory);
      return nullptr;
    }
    const uint32_t need = static_cast<uint32_t>(db->nindexes) + 1;
    if (need > td->names_size) {
      std::free(td->names_buf);
      td->names_buf = static_cast<char *>(qrx::mem::alloc(sizeof(const char *) * need));
      if (td->names_buf == nullptr) {
        td->names_size = 0;
        set_errno(Err::kNoMemory);
        return nullptr;
      }
      td->names_size = need;
    }
    auto **names = reinterpret_cast<const char **>(td->names_buf);
    int32_t n = 0;
    for (const Index *i = db->indexes.next; i != &db->indexes && n < db->nindexes; i = i->next)
      names[n++] = i->name.c_str();
    names[n] = nullptr;
    return names;
  });
}

int32_t show_desc(Db *db, Index *idx, const char *sep) {
  set_errno(Err::kNone);
  if (idx == nullptr) {
    if (!lock_open_db(db)) return -1;
    unlock(db);
    if ((idx = index_handle(db, kPhysicalIndex)) == nullptr) return -1;
  }
  const char *const *specs = get_desc(db, idx);
  if (specs == nullptr) return -1;
  Printout out(sep);
  for (; *specs != nullptr; ++specs) {
    out.add("%s", *specs);
    out.end_item();
  }
  out.finish();
  return 1;
}

int32_t show_fields(Db *db, const char *sep) {
  set_errno(Err::kNone);
  Printout out(sep);
  if (!lock_open_db(db)) return -1;
  for (int32_t f = 0; f < db->nfields; ++f) {
    out.add("%s", db->fieldnames[static_cast<size_t>(f)]);
    out.end_item();
  }
  unlock(db);
  out.finish();
  return 1;
}

int32_t show_indexes(Db *db, const char *sep) {
  set_errno(Err::kNone);
  Printout out(sep);
  if (!lock_open_db(db)) return -1;
  for (const Index *i = db->indexes.next; i != &db->indexes; i = i->next) {
    out.add("%s", i->name.c_str());
    out.end_item();
  }
  unlock(db);
  out.finish();
  return 1;
}

int32_t show_key(Db *db, Index *idx, const uint8_t *key, const char *sep) {
  set_errno(Err::kNone);
  if (key == nullptr) return refuse_null();
  if (!lock_index(db, idx, kEither)) return -1;
  Printout out(sep);
  print_key(out, db, idx, key + 1);
  unlock(db);
  out.finish();
  return 1;
}

int32_t show_record(const uint8_t *const *fields, const char *sep) {
  set_errno(Err::kNone);
  if (fields == nullptr) return refuse_null();
  Db *db = curdb();
  if (db == nullptr) {
    Printout out(sep);
    for (; *fields != nullptr; ++fields) {
      out.add("%s", reinterpret_cast<const char *>(*fields));
      out.end_item();
    }
    out.finish();
    return 1;
  }
  const bool named = sep != nullptr && std::strcmp(sep, "FieldNames") == 0;
  Printout out(named ? nullptr : sep);
  if (!lock_open_db(db)) return -1;
  for (int32_t f = 0; f < db->nfields && fields[f] != nullptr; ++f) {
    if (named) out.add("%s:", db->fieldnames[static_cast<size_t>(f)]);
    print_value(out, db, f, fields[f]);
    out.end_item();
  }
  unlock(db);
  out.finish();
  return 1;
}

int32_t show_keyed(Db *db, Index *idx, const char *sep) {
  set_errno(Err::kNone);
  if (!lock_open_db(db)) return -1;
  unlock(db);
  curdb() = db;
  if (idx == nullptr) {
    if ((idx = index_handle(db, kPhysicalIndex)) == nullptr) return -1;
  } else {
    if (!lock_index(db, idx, kEither)) return -1;
    unlock(db);
  }
  // A positioned index is put back where it stood once the walk is done.
  const bool marked = idx->tree != nullptr && idx->status == 1;
  if (marked && mark_rec(db, idx) != 1) return -1;
  int32_t r = find_head(db, idx);
  for (; r == 1; r = find_next(db, idx)) {
    // The record is fetched into the thread's own buffer under the lock and printed after it is released
    // (the printing takes the lock itself).
    if (!lock_index(db, idx, kEither)) return -1;
    uint32_t off = idx->curptr;
    ThreadData *td = nullptr;
    const bool at_entry = idx->tree == nullptr || cbcurr(idx->tree, &off) == 1;
    if (at_entry) td = I_fetchrec(db, off);
    unlock(db);
    if (td == nullptr) {
      std::fputs(at_entry ? "error reading record\n" : "can't get current record\n", stderr);
      continue;
    }
    const FetchedRecord held(td);
    show_record(td->recfields, sep);
  }
  if (marked && find_mark(db, idx) == -1) return -1;
  return r;
}

}  // namespace qrx::isam
