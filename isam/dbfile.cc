// dbfile.cc - the database's files: their names, the data file's header of field descriptions (written
// and read), the field-description grammar and the index description keys.
//
// Data file header, all numbers big-endian:
//
//   offset  width  field
//   0       4      N: bytes of the description area
//   4       4      F: number of fields (at least 1)
//   8       N      the F description strings, each with its NUL, back to back
//   8 + N          datastart: records and holes follow to the end of the file
//
// A description string is "NAME" or "NAME,CODE...": the character after the first comma decides the type
// (I U H L F D, then B or C with digits or any character with ':' for a declared length, then S and C).
// The whole string, suffix included, is the field's name.
//
// Nothing read from the file is trusted: N and F must fit the file and each other, and the description
// area must hold F NUL-terminated strings; anything else is a damaged header (isam_errno 12), found
// before any allocation of the sizes the file claims.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "cbt/blockio/blockio.h"
#include "cbt/codec.h"
#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

constexpr uint32_t kHeaderWords = 4 + 4;  // N and F

// The name with its extension replaced by ext (".DB" or ".IDX"): scanning back from the last character
// towards the second, stopping at a path separator, the first '.' starts the extension.
char *make_name(const char *name, const char *ext, char *out, size_t size) {
  if (name == nullptr || out == nullptr) return nullptr;
  const size_t len = std::strlen(name);
  if (len > kMaxName) return nullptr;
  size_t keep = len;
  for (size_t i = len; i-- > 1;) {
    if (name[i] == '/' || name[i] == '\\') break;
    if (name[i] == '.') {
      keep = i;
      break;
    }
  }
  const size_t ext_len = std::strlen(ext);
  if (keep + ext_len + 1 > size) return nullptr;
  std::memcpy(out, name, keep);
  std::memcpy(out + keep, ext, ext_len + 1);
  return out;
}

// Decimal digits at p (no sign), saturated at kMaxDeclared + 1.
int32_t digits(const char *p) {
  int32_t v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) v = v > kMaxDeclared ? v : v * 10 + (*p - '0');
  return v;
}

}  // namespace

bool I_col_str(uint8_t *buf, uint32_t size, uint32_t *at, const char *text) {
  const size_t n = std::strlen(text) + 1;
  if (*at + n > size) return false;
  std::memcpy(buf + *at, text, n);
  *at += static_cast<uint32_t>(n);
  return true;
}

char *I_mkdata_filename(const char *name, char *out, size_t size) {
  return make_name(name, ".DB", out, size);
}

char *I_mkindex_filename(const char *name, char *out, size_t size) {
  return make_name(name, ".IDX", out, size);
}

bool make_file_names(const char *name, char (&data)[kNameBuf], char (&idx)[kNameBuf]) {
  return I_mkdata_filename(name, data, kNameBuf) != nullptr &&
         I_mkindex_filename(name, idx, kNameBuf) != nullptr;
}

void I_parse_field(const char *desc, uint8_t *type, int32_t *declared) {
  *declared = 1;
  *type = I_STRING;
  const char *comma = std::strchr(desc, ',');
  if (comma == nullptr || comma[1] == '\0') return;
  const char code = static_cast<char>(std::toupper(static_cast<unsigned char>(comma[1])));
  const char *after = comma + 2;
  switch (code) {
    case 'I':
      *type = I_INT;
      return;
    case 'U':
      *type = I_UNSIGNED;
      return;
    case 'H':
      *type = I_SHORT;
      return;
    case 'L':
      *type = I_LONG;
      return;
    case 'F':
      *type = I_FLOAT;
      return;
    case 'D':
      *type = I_DOUBLE;
      return;
    default:
      break;
  }
  const bool colon = *after == ':';
  if (code == 'B' || (code == 'C' && std::isdigit(static_cast<unsigned char>(*after))) || colon) {
    *type = code == 'B' ? I_BINARY : I_CHAR;
    const int32_t n = digits(colon ? after + 1 : after);
    *declared = n == 0 ? 1 : (n > kMaxDeclared ? kMaxDeclared : n);
    return;
  }
  if (code == 'C') *type = I_CSTRING;
}

int32_t I_write_header(int32_t fd, const char *const *fields) {
  uint32_t count = 0, total = 0;
  for (; fields != nullptr && fields[count] != nullptr; ++count) {
    const size_t n = std::strlen(fields[count]) + 1;
    if (n > INT32_MAX - kHeaderWords - total ||
        blockio::write_at(fd, kHeaderWords + total, fields[count], static_cast<uint32_t>(n)) < 0) {
      QRX_ERROR("Unable to write field name %d", static_cast<int>(count + 1));
      set_errno(Err::kIo);
      return -1;
    }
    total += static_cast<uint32_t>(n);
  }
  if (count == 0 || total == 0) {
    QRX_ERROR("Field Error: field count = %d, total string length = %d", static_cast<int>(count),
              static_cast<int>(total));
    set_errno(Err::kNoField);
    return -1;
  }
  uint8_t words[kHeaderWords];
  codec::store_u32(words, 0, total);
  codec::store_u32(words, 4, count);
  if (blockio::write_at(fd, 0, words, 4) < 0) {
    QRX_ERROR("Unable to write lengths");
    set_errno(Err::kIo);
    return -1;
  }
  if (blockio::write_at(fd, 4, words + 4, 4) < 0) {
    QRX_ERROR("Unable to write fields");
    set_errno(Err::kIo);
    return -1;
  }
  return 1;
}

int32_t I_read_header(Db *db) {
  uint8_t words[kHeaderWords];
  struct stat st {};
  if (blockio::read_at(db->fd, 0, words, sizeof words) < 0 || fstat(db->fd, &st) != 0) {
    set_errno(Err::kIo);
    return -1;
  }
  const uint32_t n = codec::load_u32(words, 0), f = codec::load_u32(words, 4);
  // Every string holds at least its NUL, and the area lies inside the file.
  if (f == 0 || n < f || uint64_t{n} + kHeaderWords > static_cast<uint64_t>(st.st_size) || n > INT32_MAX) {
    QRX_ERROR("Database header of %s is damaged: %u bytes of descriptions for %u fields",
              db->datafile.c_str(), n, f);
    set_errno(Err::kCorrupt);
    return -1;
  }
  try {
    db->desc.assign(n, '\0');
  } catch (const std::bad_alloc &) {
    set_errno(Err::kNoMemory);
    return -1;
  }
  if (blockio::read_at(db->fd, kHeaderWords, db->desc.data(), n) < 0) {
    set_errno(Err::kIo);
    return -1;
  }
  if (db->desc.back() != '\0') {
    QRX_ERROR("Database header of %s is damaged: the descriptions do not end", db->datafile.c_str());
    set_errno(Err::kCorrupt);
    return -1;
  }
  db->fieldnames.clear();
  db->types.clear();
  db->lengths.clear();
  int64_t minreclen = 4;
  bool fixed = true, with_lengths = false;
  const char *p = db->desc.data(), *end = p + n;
  for (uint32_t i = 0; i < f; ++i) {
    if (p >= end) {
      QRX_ERROR("Database header of %s is damaged: %u fields, %u descriptions", db->datafile.c_str(), f, i);
      set_errno(Err::kCorrupt);
      return -1;
    }
    uint8_t type = 0;
    int32_t declared = 1;
    I_parse_field(p, &type, &declared);
    db->fieldnames.push_back(p);
    db->types.push_back(type);
    // The array starts at the first field with a declared length of 2 or more, field 0 included.
    if ((type == I_BINARY || type == I_CHAR) && declared >= 2 && !with_lengths) {
      db->lengths.assign(i, 1);
      with_lengths = true;
    }
    if (with_lengths) db->lengths.push_back(declared);
    switch (type) {
      case I_STRING:
      case I_CSTRING:
        minreclen += 1, fixed = false;
        break;
      case I_DOUBLE:
        minreclen += 8;
        break;
      case I_SHORT:
        minreclen += 2;
        break;
      case I_BINARY:
      case I_CHAR:
        minreclen += declared;
        break;
      default:
        minreclen += 4;
        break;
    }
    p += std::strlen(p) + 1;
  }
  db->fieldnames.push_back(nullptr);
  db->nfields = static_cast<int32_t>(f);
  db->widths.clear();
  for (uint32_t i = 0; i < f; ++i) db->widths.push_back(I_fixed_width(db, static_cast<int32_t>(i)));
  db->fieldptrs.assign(f + 1, nullptr);
  db->datastart = n + kHeaderWords;
  // A record of fixed width above the cap could not be read back whole from minreclen: such a database
  // is treated as one of variable length, whose records carry their own length.
  db->fixedlen = fixed && minreclen <= kMaxDeclared ? 1 : 0;
  db->minreclen = static_cast<int32_t>(minreclen > kMaxDeclared ? kMaxDeclared : minreclen);
  return 1;
}

int32_t I_mkdesc(const char *name, const char *const *specs, uint8_t *buf, uint32_t size) {
  if (size < 1) return -1;
  buf[0] = kDescPrefix;
  uint32_t at = 1;
  if (!I_col_str(buf, size, &at, name)) return -1;
  for (size_t i = 0; specs != nullptr && specs[i] != nullptr; ++i)
    if (!I_col_str(buf, size, &at, specs[i])) return -1;
  return static_cast<int32_t>(at);
}

}  // namespace qrx::isam
