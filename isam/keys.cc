// keys.cc - keys built from record fields and from caller values, the order of every key of an index
// file (I_compare), the equality tests that match records against keys, imatchkey and ipartialmatch.
//
// Entry key of index n: the byte n, then each key field's key form in key order, nothing between them.
// Key forms: a text and its NUL (with a segment (s, m): at most m characters from position s, then a
// NUL); 4 bytes for I_INT, I_UNSIGNED, I_LONG and I_FLOAT, 8 for I_DOUBLE, 2 for I_SHORT; the declared
// length for I_BINARY and I_CHAR. Numbers are big-endian, read through the codec.
//
// I_compare never reads past either key: every width is checked against the bytes left, and a key that
// ends inside a field counts as ending before it (a partial key sorts before the keys it begins).
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "cbt/codec.h"
#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

int sign(int64_t v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

// Declared length of field f (1 without a declared-length array).
uint32_t declared(const Db *db, int32_t f) {
  return db->lengths.empty() ? 1u : static_cast<uint32_t>(db->lengths[static_cast<size_t>(f)]);
}

// Fixed width of a type (texts: 0, the declared-length types: their declared length).
uint32_t fixed_width(const Db *db, uint8_t type, int32_t f) {
  switch (type) {
    case I_INT:
    case I_UNSIGNED:
    case I_LONG:
    case I_FLOAT:
      return 4;
    case I_DOUBLE:
      return 8;
    case I_SHORT:
      return 2;
    case I_BINARY:
    case I_CHAR:
      return declared(db, f);
    default:
      return 0;
  }
}

bool is_text(uint8_t type) {
  return type == I_STRING || type == I_CSTRING;
}

// Texts compared after lowering every byte (the order of the lower-case texts), at most n bytes each.
int lower_compare(const uint8_t *a, size_t na, const uint8_t *b, size_t nb) {
  const size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; ++i) {
    const int x = std::tolower(a[i]), y = std::tolower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return sign(static_cast<int64_t>(na) - static_cast<int64_t>(nb));
}

// Floating values: equal when neither is smaller; NaN equals NaN and is above every number, so the
// order stays total; -0.0 equals 0.0.
template <class F>
int compare_float(F x, F y) {
  const bool nx = std::isnan(x), ny = std::isnan(y);
  if (nx || ny) return nx == ny ? 0 : (nx ? 1 : -1);
  return x < y ? -1 : (x > y ? 1 : 0);
}

[[gnu::always_inline]] inline int compare_fixed(uint8_t type, const uint8_t *a, const uint8_t *b, uint32_t w);

// Compares one field of each key: c, and the width each takes (texts: up to and including the NUL found
// in the bytes left; no NUL: all of them). A fixed width larger than what is left compares what is there.
int compare_field(const Db *db, uint8_t type, int32_t f, const uint8_t *a, uint32_t na, const uint8_t *b,
                  uint32_t nb, uint32_t *wa, uint32_t *wb) {
  if (is_text(type)) {
    const auto *za = static_cast<const uint8_t *>(std::memchr(a, 0, na));
    const auto *zb = static_cast<const uint8_t *>(std::memchr(b, 0, nb));
    const size_t la = za ? static_cast<size_t>(za - a) : na, lb = zb ? static_cast<size_t>(zb - b) : nb;
    *wa = static_cast<uint32_t>(za ? la + 1 : la);
    *wb = static_cast<uint32_t>(zb ? lb + 1 : lb);
    if (type == I_STRING) return lower_compare(a, la, b, lb);
    const int c = std::memcmp(a, b, la < lb ? la : lb);
    return c != 0 ? sign(c) : sign(static_cast<int64_t>(la) - static_cast<int64_t>(lb));
  }
  const uint32_t w = fixed_width(db, type, f);
  *wa = w, *wb = w;
  if (w == 0) return 0;
  if (na < w || nb < w) {  // a key cut inside the field: the shorter one first
    const int c = std::memcmp(a, b, na < nb ? na : nb);
    return c != 0 ? sign(c) : sign(static_cast<int64_t>(na) - static_cast<int64_t>(nb));
  }
  return compare_fixed(type, a, b, w);
}

// Two whole values of a fixed-width type of width w.
[[gnu::always_inline]] inline int compare_fixed(uint8_t type, const uint8_t *a, const uint8_t *b,
                                                uint32_t w) {
  switch (type) {
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
      return sign(std::memcmp(a, b, w));  // I_BINARY, I_CHAR
  }
}

// The two texts at a and b, with na and nb bytes left, compared in one pass while both hold bytes: the
// result and both widths, as compare_field gives them. False when either runs out of bytes first (a key
// cut short), which compare_field then decides.
[[gnu::always_inline]] inline bool compare_texts(bool fold, const uint8_t *a, uint32_t na, const uint8_t *b,
                                                 uint32_t nb, int *c, uint32_t *w) {
  const uint32_t n = na < nb ? na : nb;
  uint32_t i = 0;
  // Eight bytes at a time while they are equal and hold no NUL (equal bytes are equal folded too).
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y || ((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) != 0) break;
  }
  for (; i < n; ++i) {
    const uint8_t x = a[i], y = b[i];
    if (x == y) {
      if (x == 0) {
        *c = 0, *w = i + 1;
        return true;
      }
      continue;
    }
    // A NUL on one side: that text is the shorter, equal up to here. Otherwise the first difference.
    if (x == 0 || y == 0) {
      *c = x == 0 ? -1 : 1;
      return true;
    }
    if (!fold) {
      *c = x < y ? -1 : 1;
      return true;
    }
    const int lx = std::tolower(x), ly = std::tolower(y);
    if (lx != ly) {
      *c = lx < ly ? -1 : 1;
      return true;
    }
  }
  return false;
}

// Appends the key form of field value v (key field k of idx) at out + *at; false when it does not fit.
bool append_form(const Index *idx, int32_t k, const uint8_t *v, uint8_t *out, uint32_t size, uint32_t *at) {
  const Db *db = idx->db;
  const int32_t f = idx->keyfields[static_cast<size_t>(k)];
  const uint8_t type = db->types[static_cast<size_t>(f)];
  const uint8_t *from = v;
  uint32_t n = 0;  // bytes copied
  bool nul = false;
  if (is_text(type)) {
    const auto *text = reinterpret_cast<const char *>(v);
    size_t len = std::strlen(text);
    const auto seg =
        idx->segments.empty() ? std::pair<int32_t, int32_t>{0, 0} : idx->segments[static_cast<size_t>(k)];
    if (seg.second > 0) {
      const size_t s = static_cast<size_t>(seg.first);
      from = v + (s < len ? s : len);
      len = s < len ? len - s : 0;
      if (len > static_cast<size_t>(seg.second)) len = static_cast<size_t>(seg.second);
    }
    n = static_cast<uint32_t>(len);
    nul = true;
  } else {
    n = fixed_width(db, type, f);
    if (n == 0) return false;
  }
  if (uint64_t{*at} + n + (nul ? 1 : 0) > size) return false;
  std::memcpy(out + *at, from, n);
  *at += n;
  if (nul) out[(*at)++] = 0;
  return true;
}

}  // namespace

uint32_t I_fixed_width(const Db *db, int32_t f) {
  const uint8_t type = db->types[static_cast<size_t>(f)];
  if (is_text(type)) return 0;
  const uint32_t w = fixed_width(db, type, f);
  return w != 0 ? w : kNoWidth;
}

void I_index_table(Db *db) {
  db->numbered.fill(nullptr);
  for (Index *i = db->indexes.next; i != &db->indexes; i = i->next) {
    i->keyplan.clear();
    for (int32_t f : i->keyfields) {
      const uint8_t type =
          f < static_cast<int32_t>(db->types.size()) ? db->types[static_cast<size_t>(f)] : 0xFF;
      i->keyplan.emplace_back(type, type == 0xFF ? 0 : fixed_width(db, type, f));
    }
    if (i->number < 0 || i->number > 255) continue;
    const auto n = static_cast<uint8_t>(i->number);
    if (db->numbered[n] == nullptr) db->numbered[n] = i;
  }
}

uint32_t I_value_width(const Db *db, int32_t field, const uint8_t *v) {
  const uint8_t type = db->types[static_cast<size_t>(field)];
  if (!is_text(type)) return fixed_width(db, type, field);
  const size_t n = std::strlen(reinterpret_cast<const char *>(v)) + 1;
  return n < UINT32_MAX ? static_cast<uint32_t>(n) : 0;
}

namespace {

// I_compare for keys that are empty, a lone index-number byte, descriptions or free-space keys.
[[gnu::noinline]] int compare_special(const uint8_t *a, uint32_t l1, const uint8_t *b, uint32_t l2) {
  if (l1 == 0 || l2 == 0) return sign(int64_t{l1} - l2);
  if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
  if (l1 == 1) return l2 == 1 ? 0 : -1;
  if (l2 == 1) return 1;
  const uint8_t prefix = a[0];
  if (prefix == kSizeHolePrefix || prefix == kOffsetHolePrefix) {
    if (l1 < 5 || l2 < 5) return sign(int64_t{l1} - l2);
    if (prefix == kSizeHolePrefix)
      return sign(int64_t{codec::load_u32(a, 1)} - int64_t{codec::load_u32(b, 1)});
    return sign(int64_t{codec::load_i32(a, 1)} - codec::load_i32(b, 1));
  }
  // kDescPrefix
  const auto *za = static_cast<const uint8_t *>(std::memchr(a + 1, 0, l1 - 1));
  const auto *zb = static_cast<const uint8_t *>(std::memchr(b + 1, 0, l2 - 1));
  return lower_compare(a + 1, za ? static_cast<size_t>(za - a - 1) : l1 - 1, b + 1,
                       zb ? static_cast<size_t>(zb - b - 1) : l2 - 1);
}

// Two entry keys of idx (equal first bytes, both longer than it), field by field: every case, keys cut
// inside a field included.
[[gnu::noinline]] int compare_entries(const Index *idx, const uint8_t *a, uint32_t l1, const uint8_t *b,
                                      uint32_t l2) {
  const Db *db = idx->db;
  uint32_t pa = 1, pb = 1;
  for (int32_t k = 0; k < idx->nkeyfields; ++k) {
    const int32_t f = idx->keyfields[static_cast<size_t>(k)];
    uint32_t wa = 0, wb = 0;
    const int c =
        compare_field(db, db->types[static_cast<size_t>(f)], f, a + pa, l1 - pa, b + pb, l2 - pb, &wa, &wb);
    if (c != 0) return c;
    if (k == idx->nkeyfields - 1) return 0;
    pa += wa < l1 - pa ? wa : l1 - pa;
    pb += wa < l2 - pb ? wa : l2 - pb;  // both move by key 1's width: the fields are equal
    if (pa >= l1) return pb >= l2 ? 0 : -1;
    if (pb >= l2) return 1;
  }
  return 0;
}

}  // namespace

// The common case runs here: two keys of one index whose fields all lie whole inside both keys, by the
// index's key plan. Anything else goes to compare_special or compare_entries, which give the same
// result for the common case too.
int I_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  const auto *a = static_cast<const uint8_t *>(k1), *b = static_cast<const uint8_t *>(k2);
  if (l1 <= 1 || l2 <= 1) return compare_special(a, l1, b, l2);
  if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
  const uint8_t prefix = a[0];
  if (prefix >= kOffsetHolePrefix && l1 >= 5 && l2 >= 5) {  // free-space keys: a size, or an offset
    if (prefix == kSizeHolePrefix)
      return sign(int64_t{codec::load_u32(a, 1)} - int64_t{codec::load_u32(b, 1)});
    return sign(int64_t{codec::load_i32(a, 1)} - codec::load_i32(b, 1));
  }
  if (prefix == kDescPrefix || prefix >= kOffsetHolePrefix) return compare_special(a, l1, b, l2);
  const Db *cur = curdb();
  const Index *idx = cur != nullptr ? cur->numbered[prefix] : nullptr;
  if (idx == nullptr) {  // no description for it here: the bytes decide, so the tree keeps one order
    const int c = std::memcmp(a + 1, b + 1, (l1 < l2 ? l1 : l2) - 1);
    return c != 0 ? sign(c) : sign(int64_t{l1} - l2);
  }
  const size_t n = idx->keyplan.size();
  if (n != static_cast<size_t>(idx->nkeyfields)) return compare_entries(idx, a, l1, b, l2);
  const std::pair<uint8_t, uint32_t> *plan = idx->keyplan.data();
  // One signed 32-bit field, both keys whole: the commonest unique key.
  if (n == 1 && l1 == 5 && l2 == 5 && (plan[0].first == I_INT || plan[0].first == I_LONG))
    return sign(int64_t{codec::load_i32(a, 1)} - codec::load_i32(b, 1));
  uint32_t p = 1;  // equal fields are equally wide, so both keys' fields start at p
  for (size_t k = 0; k < n; ++k) {
    const uint8_t type = plan[k].first;
    uint32_t w = plan[k].second;
    int c = 0;
    if (is_text(type)) {
      if (!compare_texts(type == I_STRING, a + p, l1 - p, b + p, l2 - p, &c, &w))
        return compare_entries(idx, a, l1, b, l2);
    } else if (w == 0 || w > l1 - p || w > l2 - p) {
      return compare_entries(idx, a, l1, b, l2);
    } else {
      c = compare_fixed(type, a + p, b + p, w);
    }
    if (c != 0) return c;
    if (k + 1 == n) return 0;
    p += w;
    if (p >= l1) return p >= l2 ? 0 : -1;
    if (p >= l2) return 1;
  }
  return 0;
}

int32_t I_mkkey(const Index *idx, const uint8_t *const *fields, uint8_t *out, uint32_t size) {
  if (size < 1) {
    set_errno(Err::kKeyTooLong);
    return -1;
  }
  out[0] = static_cast<uint8_t>(idx->number);
  uint32_t at = 1;
  for (int32_t k = 0; k < idx->nkeyfields; ++k) {
    const uint8_t *v = fields[idx->keyfields[static_cast<size_t>(k)]];
    if (v == nullptr) break;
    if (!append_form(idx, k, v, out, size, &at)) {
      set_errno(Err::kKeyTooLong);
      return -1;
    }
  }
  return static_cast<int32_t>(at);
}

int32_t I_gluekey(const Index *idx, const void *const *values, uint8_t *out, uint32_t size) {
  if (size < 1) {
    set_errno(Err::kKeyTooLong);
    return -1;
  }
  out[0] = static_cast<uint8_t>(idx->number);
  uint32_t at = 1;
  for (int32_t k = 0; k < idx->nkeyfields && values[k] != nullptr; ++k) {
    if (!append_form(idx, k, static_cast<const uint8_t *>(values[k]), out, size, &at)) {
      QRX_ERROR(
          "Error glueing keyfield %d, type = %d", static_cast<int>(k),
          static_cast<int>(idx->db->types[static_cast<size_t>(idx->keyfields[static_cast<size_t>(k)])]));
      set_errno(Err::kKeyTooLong);
      return -1;
    }
  }
  return static_cast<int32_t>(at);
}

uint32_t I_compare_fields(const Db *db, const void *v1, const void *v2, int32_t type, int32_t field) {
  const auto *a = static_cast<const uint8_t *>(v1), *b = static_cast<const uint8_t *>(v2);
  if (type == I_STRING || type == I_CSTRING) {
    const size_t la = std::strlen(reinterpret_cast<const char *>(a)),
                 lb = std::strlen(reinterpret_cast<const char *>(b));
    const bool eq =
        type == I_STRING ? lower_compare(a, la, b, lb) == 0 : (la == lb && std::memcmp(a, b, la) == 0);
    return eq ? static_cast<uint32_t>(la + 1) : 0;
  }
  if (type < 0 || type > I_CHAR) return 0;
  const uint32_t w = fixed_width(db, static_cast<uint8_t>(type), field);
  // Floating values are equal exactly when I_compare orders them equal (NaN with NaN, -0.0 with 0.0).
  if (type == I_FLOAT) return compare_float(codec::load_f32(a, 0), codec::load_f32(b, 0)) == 0 ? w : 0;
  if (type == I_DOUBLE) return compare_float(codec::load_f64(a, 0), codec::load_f64(b, 0)) == 0 ? w : 0;
  return std::memcmp(a, b, w) == 0 ? w : 0;
}

int32_t I_matchkey(const Index *idx, const uint8_t *const *fields) {
  ThreadData *td = I_GetThreadData();
  if (td == nullptr || td->keybuf == nullptr) return 0;
  const Db *db = idx->db;
  uint32_t at = 1;
  for (int32_t k = 0; k < idx->nkeyfields; ++k) {
    const int32_t f = idx->keyfields[static_cast<size_t>(k)];
    if (at >= td->keylen || fields[f] == nullptr) return 0;
    const uint32_t w = I_compare_fields(db, fields[f], td->keybuf + at, db->types[static_cast<size_t>(f)], f);
    if (w == 0) return 0;
    at += w;
  }
  return 1;
}

int32_t I_matchrec(const Db *db, const uint8_t *const *fetched, const uint8_t *const *fields, int32_t n) {
  for (int32_t f = 0; f < n; ++f) {
    if (fetched[f] == nullptr || fields[f] == nullptr) return 0;
    if (I_compare_fields(db, fetched[f], fields[f], db->types[static_cast<size_t>(f)], f) == 0) return 0;
  }
  return 1;
}

int32_t I_mat_prefix(Index *idx) {
  uint8_t first = 0;
  const int32_t r = cbkey(idx->tree, &first, 1);
  if (r == -1) {
    set_errno(Err::kCbt);
    return -1;
  }
  if (r != 1) {
    set_errno(Err::kNoCurrent);
    return -1;
  }
  return first == static_cast<uint8_t>(idx->number) ? 1 : 0;
}

namespace {

// Reads the current entry's key of idx into the thread's keybuf (keylen set). 1, or -1 with isam_errno 9
// (the B-tree call failed) or 4 (not on an entry, or an index without entries of its own).
int32_t current_key(Index *idx, ThreadData *td) {
  uint32_t len = 0;
  const int32_t r = idx->tree == nullptr ? -2 : cbkeylen(idx->tree, &len);
  if (r == 1 && len <= td->keybufsize && cbkey(idx->tree, td->keybuf, td->keybufsize) == 1) {
    td->keylen = len;
    return 1;
  }
  set_errno(r == -1 ? Err::kCbt : Err::kNoCurrent);
  return -1;
}

}  // namespace

namespace {

// The frame of imatchkey and ipartialmatch: the index checked and the database locked (released on every
// path), curdb set, the current entry's key read into keybuf; then body(td) gives the result.
template <class Body>
int32_t with_current_key(Db *db, Index *idx, Body body) {
  set_errno(Err::kNone);
  if (!lock_index(db, idx, kEither)) return -1;
  curdb() = db;
  int32_t rc = -1;
  ThreadData *td = I_GetThreadData();
  if (td == nullptr || td->keybuf == nullptr) {
    set_errno(Err::kNoMemory);
  } else if (current_key(idx, td) == 1) {
    rc = body(td);
  }
  unlock(db);
  return rc;
}

}  // namespace

int32_t match_key(Db *db, Index *idx, const void *const *values) {
  return with_current_key(db, idx, [&](ThreadData *td) {
    std::unique_ptr<uint8_t[]> built(new (std::nothrow) uint8_t[td->keybufsize]);
    if (!built) {
      set_errno(Err::kNoMemory);
      return -1;
    }
    const int32_t len = I_gluekey(idx, values, built.get(), td->keybufsize);
    if (len < 0) return -1;
    // Only the fields given take part: the current key is compared over the built key's length.
    const uint32_t n = static_cast<uint32_t>(len);
    return I_compare(built.get(), n, td->keybuf, td->keylen < n ? td->keylen : n) == 0 ? 1 : 0;
  });
}

int32_t partial_match(Db *db, Index *idx, const void *const *values) {
  return with_current_key(db, idx, [&](ThreadData *td) {
    const Db *d = idx->db;
    uint32_t at = 1;
    for (int32_t k = 0; k < idx->nkeyfields; ++k) {
      const int32_t f = idx->keyfields[static_cast<size_t>(k)];
      const uint8_t type = d->types[static_cast<size_t>(f)];
      const auto *v = static_cast<const uint8_t *>(values[k]);
      const uint8_t *key = td->keybuf + at;
      const uint32_t w = I_field_width(d, f, key, at < td->keylen ? td->keylen - at : 0);
      if (w == 0) return 0;  // the key ends inside this field
      if (is_text(type)) {
        const size_t n = v != nullptr ? std::strlen(reinterpret_cast<const char *>(v)) : 0;
        if (n > 0 &&
            (n > w - 1 || (type == I_STRING ? lower_compare(key, n, v, n) : std::memcmp(key, v, n)) != 0))
          return 0;
      } else if (v != nullptr && std::memcmp(key, v, w) != 0) {
        return 0;
      }
      at += w;
    }
    return 1;
  });
}

}  // namespace qrx::isam
