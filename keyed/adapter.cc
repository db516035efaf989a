// adapter.cc - the keyed-file service's requests carried to the ISAM layer (the qrxky1 operations).
//
// A keyed file is an ISAM database seen through one of its indexes as fixed-length records: each record
// is the fields' stored forms end to end, and its key is the run of record bytes the index's fields
// occupy. The open therefore accepts only databases whose fields all have a fixed width, and indexes
// whose key fields follow each other in the record without a text segment; the key is then a plain byte
// range (key offset, key length) of every record, and a caller's key bytes are the key's stored form.
//
// Objects. A file object ("KY1F") holds the database and the file's primary request; each cursor has a
// request object ("KY1R") of its own. Every request, the primary one included, has a private ISAM index
// object with its own position, so two keyed files on one database, a keyed file and the database's
// direct users, or two cursors never move each other. Both objects come from OSV1_GetMem and live in the
// handle table as Kind::kRequest blocks: an adapter handle is {0, 0, slot} and every operation pins its
// request through the table, never following handle bytes. A handle that names no live request gives
// status 2 and touches nothing, the reason word included. Closing retires the slot; the memory goes back
// when the last pin goes. A cursor's request pins its file's slot, so the file object outlives it.
//
// Every positioning, read, add, replace and delete stores its final status and reason in its request
// (qrxky1ca reports the status), refusals of its arguments included. A successful read, add or replace
// leaves the caller's reason word as it was; the other operations write the neutral reason 26 first.
// The operations on one request run one at a time (the service holds the file's or the cursor's lock
// around them); only the status words and the file's usage word are read from other threads.
#include "keyed/adapter.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>

#include "host/qrxmem.h"
#include "host/qrxtrace.h"
#include "keyed/handles.h"
#include "qrxis.h"

QRX_TRACE_UNIT();

namespace qrx::keyed {
namespace {

constexpr uint32_t kMaxKeyParts = 16;
constexpr uint32_t kMaxFields = 16;
constexpr int32_t kMaxName = 337;
constexpr size_t kMaxDbName = 256;
constexpr size_t kMaxIndexName = 80;
constexpr uint32_t kDeferFlush = QRXKY_USAGE_DEFER_FLUSH;
const void *const kTail = QRXKY_KEY_TAIL;

struct File;

struct Request {
  char eye[4] = {'K', 'Y', '1', 'R'};
  char index_name[kMaxIndexName + 1] = {};
  isam_index *index = nullptr;  // private: closed with the request
  File *file = nullptr;
  const void *values[kMaxKeyParts + 1] = {};  // into keybuf; null after the last part a key reaches
  uint32_t widths[kMaxKeyParts] = {};
  uint8_t *keybuf = nullptr;  // key_len bytes
  uint32_t parts = 0, key_len = 0, key_offset = 0;
  uint32_t fwd_started = 0, bwd_started = 0;
  std::atomic<int32_t> last_status{0};
  std::atomic<uint32_t> last_reason{0};
  std::atomic<bool> closed{false};
  uint32_t slot = 0;
  Pin file_pin;  // a cursor's request: its file's slot
};

struct File {
  char eye[4] = {'K', 'Y', '1', 'F'};
  char db_name[kMaxDbName + 1] = {};
  isam_db *db = nullptr;
  Request primary;
  // Read by cursor threads while a flush of the file sets the deferred-flush bit.
  std::atomic<uint32_t> usage{0};
  const char *const *field_names = nullptr;
  const uint8_t *field_types = nullptr;
  uint32_t rec_len = 0, field_count = 0;
  uint32_t widths[kMaxFields] = {};
  uint32_t slot = 0;
  std::mutex mu;  // guards cursors and closing: no cursor is made on a file being closed
  uint32_t cursors = 0;
  bool closing = false;
};

template <class T>
T *make_object() {
  void *p = nullptr;
  if (OSV1_GetMem(sizeof(T), &p, nullptr) != 0) return nullptr;
  return new (p) T;
}

template <class T>
void free_object(T *o) {
  o->~T();
  OSV1_FreeMem(o, nullptr);
}

void put(uint32_t *reason, uint32_t v) {
  if (reason != nullptr) *reason = v;
}

int errno_now() {
  return static_cast<int>(*qrxiseno());
}

// The failure mapping of a call that failed: status and reason, never status 0.
struct Mapped {
  uint32_t why = QRXKY_R_NEUTRAL;  // declared first: the status's initialiser writes it
  int32_t status;
  explicit Mapped(const char *context) : status(failure_status(context, &why)) {}
};

// The final status and reason of a request's operation: kept in the request, the reason also written.
int32_t done(Request *r, int32_t status, uint32_t why, uint32_t *reason) {
  r->last_status.store(status);
  r->last_reason.store(why);
  put(reason, why);
  return status;
}
int32_t done(Request *r, const Mapped &m, uint32_t *reason) {
  return done(r, m.status, m.why, reason);
}
// Success of a read, add or replace: the caller's reason word stays as it was.
int32_t succeeded(Request *r) {
  r->last_status.store(0);
  r->last_reason.store(0);
  return 0;
}
int32_t refused(Request *r, const char *op, uint32_t *reason) {
  QRX_ERROR("%s: invalid length or missing buffer", op);
  return done(r, QRXKY_INVALID, QRXKY_R_NEUTRAL, reason);
}

// Stored width of a field: 0 for a text type (its width depends on the value), -1 for an unknown type.
int64_t field_width(isam_db *db, int32_t field, int32_t type) {
  switch (type) {
    case I_STRING:
    case I_CSTRING:
      return 0;
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
    case I_CHAR: {
      const int32_t declared = igetfldlen(db, field);
      return declared > 0 ? declared : -1;
    }
    default:
      return -1;
  }
}

// Splits "database[:index]" (a blank and what follows it are ignored) into the file's database name
// and its primary request's index name ("PrimaryIndex" when none is given). 0, or status 1.
int32_t parse_name(File *f, const char *name, int32_t name_len) {
  if (name == nullptr) {
    QRX_ERROR("No filename specified");
    return QRXKY_INVALID;
  }
  if (name_len > kMaxName) {
    QRX_ERROR("Filename length %d exceeds max (%d)", name_len, kMaxName);
    return QRXKY_INVALID;
  }
  char copy[kMaxName + 1];
  std::memcpy(copy, name, static_cast<size_t>(name_len));
  copy[name_len] = '\0';
  copy[std::strcspn(copy, " ")] = '\0';
  const char *index = "";
  if (char *colon = std::strchr(copy, ':'); colon != nullptr) {
    *colon = '\0';
    index = colon + 1;
  }
  const size_t db_len = std::strlen(copy), index_len = std::strlen(index);
  if (db_len == 0 || db_len > kMaxDbName || index_len > kMaxIndexName) return QRXKY_INVALID;
  std::memcpy(f->db_name, copy, db_len + 1);
  std::strcpy(f->primary.index_name, index_len != 0 ? index : "PrimaryIndex");
  return 0;
}

// The fields of the open database and the record length, the sum of their widths. 0 or a status.
int32_t describe_fields(File *f, uint32_t *why) {
  isam_db *db = f->db;
  const int32_t count = igetfldcount(db);
  const bool counted = count >= 1 && static_cast<uint32_t>(count) <= kMaxFields;
  if (counted) f->field_names = igetfldnames(db);
  if (f->field_names != nullptr) f->field_types = igetflddesc(db);
  if (f->field_types == nullptr) {
    const Mapped m("OpenFile");
    QRX_ERROR(
        "file object init failed. errno = %d,file = %s, fieldCount = %d, fieldNames = %p,fieldTypes = %p",
        errno_now(), f->db_name, count, static_cast<const void *>(f->field_names),
        static_cast<const void *>(f->field_types));
    *why = m.why;
    return m.status;
  }
  f->field_count = static_cast<uint32_t>(count);
  uint64_t total = 0;
  int32_t status = 0;
  for (uint32_t i = 0; i < f->field_count && status == 0; ++i) {
    const int32_t type = f->field_types[i];
    const int64_t width = field_width(db, static_cast<int32_t>(i), type);
    if (width == 0) {
      QRX_ERROR("field type I_STRING and I_CSTRINGis not supported. file = %s", f->db_name);
      status = QRXKY_INVALID;
    } else if (width < 0) {
      QRX_ERROR("invalid field type %d for field %sfile = %s", type, f->field_names[i], f->db_name);
      status = QRXKY_ABNORMAL;
    } else {
      f->widths[i] = static_cast<uint32_t>(width);
      total += static_cast<uint64_t>(width);
    }
  }
  if (status == 0 && total > INT32_MAX) status = QRXKY_ABNORMAL;  // no record length to report
  if (status != 0) {
    QRX_ERROR("QueryMaxRecLen failed. status = %d file = %s", status, f->db_name);
    return status;
  }
  f->rec_len = static_cast<uint32_t>(total);
  return 0;
}

// Closes a request's private index; its key buffer and memory go with its release.
void close_index(Request *r) {
  if (r->index != nullptr) iclose_index(r->file->db, r->index);
  r->index = nullptr;
}

// Builds a request on the file's index named index_name (null: the name already in r) with a private
// index object. 0 or a status, the reason in *why; on failure the caller closes the index and frees.
int32_t build_request(Request *r, File *f, const char *index_name, uint32_t *why) {
  isam_db *db = f->db;
  r->file = f;
  if (index_name != nullptr) std::strcpy(r->index_name, index_name);
  r->index = iopen_index(db, r->index_name);
  if (r->index == nullptr) {
    QRX_ERROR("Open index failed. errno = %d,file = %s. index = %s", errno_now(), f->db_name, r->index_name);
    return QRXKY_ABNORMAL;
  }
  const int32_t count = igetdesc_count(db, r->index);
  const char *const *desc = igetdesc(db, r->index);
  if (count < 1 || static_cast<uint32_t>(count) > kMaxKeyParts || desc == nullptr) {
    QRX_ERROR("InitReqObj failed. errno = %d, keyCount = %d,keyDesc = %p, file = %s", errno_now(), count,
              static_cast<const void *>(desc), f->db_name);
    return QRXKY_ABNORMAL;
  }
  r->parts = static_cast<uint32_t>(count);
  int32_t first = 0;
  for (int32_t k = 0; k < count; ++k) {
    if (std::strchr(desc[k], ':') != nullptr) {
      QRX_ERROR("Key field %s of index %s has a text segment. file = %s", desc[k], r->index_name, f->db_name);
      return QRXKY_INVALID;
    }
    const int32_t field = igetdesc_fldnbr(db, r->index, k);
    if (field < 0) {
      const Mapped m("InitReqOBJ");
      QRX_ERROR("igetdesc_fldnbr failed. errno = %d,file = %s index = %s", errno_now(), f->db_name,
                r->index_name);
      *why = m.why;
      return m.status;
    }
    const int32_t type = igetfldtype(db, field);
    if (type == I_STRING || type == I_CSTRING) {
      QRX_ERROR("Key type I_STRING not supportedfile = %s, index = %s", f->db_name, r->index_name);
      return QRXKY_INVALID;
    }
    if (type < 0 || type > I_CHAR || static_cast<uint32_t>(field) >= f->field_count) {
      QRX_ERROR("Invalid field type = %d,file = %s, index = %s", type, f->db_name, r->index_name);
      return QRXKY_ABNORMAL;
    }
    // Only fields that follow each other in the record make a key that is one run of record bytes.
    if (k == 0) {
      first = field;
    } else if (field != first + k) {
      QRX_ERROR("Key fields of index %s are not consecutive in the record. file = %s", r->index_name,
                f->db_name);
      return QRXKY_INVALID;
    }
    r->widths[k] = f->widths[field];
    r->key_len += r->widths[k];
  }
  // Every field's type was checked when the record length was measured.
  for (int32_t i = 0; i < first; ++i) r->key_offset += f->widths[i];
  void *buf = nullptr;
  if (OSV1_GetMem(r->key_len, &buf, nullptr) != 0) {
    *why = QRXKY_R_NO_OBJECT;
    return QRXKY_NO_STORAGE;
  }
  r->keybuf = static_cast<uint8_t *>(buf);
  return 0;
}

void release_file(void *block) {
  auto *f = static_cast<File *>(static_cast<Request *>(block)->file);
  OSV1_FreeMem(f->primary.keybuf, nullptr);
  free_object(f);
}

void release_request(void *block) {
  auto *r = static_cast<Request *>(block);
  OSV1_FreeMem(r->keybuf, nullptr);
  free_object(r);  // drops the pin on the file, which may release it
}

// Copies a caller's key into the zeroed key buffer and points a field value at each key part whose
// first byte the key reaches; later parts stay null, so a partial key finds the first entry that
// begins with it whatever the later parts hold. 0, or 1 for a key longer than the key length.
int32_t parse_key(Request *r, const void *key, int32_t key_len) {
  if (static_cast<uint32_t>(key_len) > r->key_len) {
    QRX_ERROR("Invalid key length %d", key_len);
    return QRXKY_INVALID;
  }
  std::fill(std::begin(r->values), std::end(r->values), nullptr);
  std::memset(r->keybuf, 0, r->key_len);
  if (key_len > 0) std::memcpy(r->keybuf, key, static_cast<size_t>(key_len));
  uint32_t at = 0;
  for (uint32_t k = 0; k < r->parts && at < static_cast<uint32_t>(key_len); at += r->widths[k++])
    r->values[k] = r->keybuf + at;
  return 0;
}

int32_t position(Request *r, const void *key, int32_t key_len, uint32_t *reason) {
  File *f = r->file;
  int32_t rc = 0, shown = 0;
  const char *text = "";
  if (key == nullptr) {
    rc = ifindhead(f->db, r->index);
  } else if (key == kTail) {
    rc = ifindtail(f->db, r->index);
  } else {
    if (key_len < 0) return refused(r, "qrxky1sp", reason);
    if (parse_key(r, key, key_len) != 0) {
      QRX_ERROR("ParseKey failed. key = %.*s, keyLength = %d", key_len, static_cast<const char *>(key),
                key_len);
      return done(r, QRXKY_INVALID, QRXKY_R_NEUTRAL, reason);
    }
    shown = key_len, text = static_cast<const char *>(key);
    rc = ifindkey(f->db, r->index, r->values);
  }
  if (rc == 1 || rc == 2 || rc == 3) {
    r->fwd_started = r->bwd_started = 0;
    return done(r, QRXKY_OK, QRXKY_R_NEUTRAL, reason);
  }
  if (rc == -2 || rc == -3) return done(r, QRXKY_NOT_FOUND, QRXKY_R_EOF, reason);
  if (rc == -1) {
    const Mapped m("SetCursorPosition");
    QRX_ERROR("isam error. errno = %d,file = %s, key = %.*s", errno_now(), f->db_name, shown, text);
    return done(r, m, reason);
  }
  QRX_ERROR("Unknown isam rc = %d", rc);
  return done(r, QRXKY_ABNORMAL, QRXKY_R_NEUTRAL, reason);
}

int32_t read_sequential(Request *r, int32_t forward, void *buf, int32_t buf_len, int32_t *rec_len,
                        uint32_t *reason) {
  if (buf_len < 0 || (buf == nullptr && buf_len > 0) || rec_len == nullptr)
    return refused(r, "qrxky1rs", reason);
  *rec_len = 0;
  File *f = r->file;
  const auto step = [&] { return forward != 0 ? ifindnext(f->db, r->index) : ifindprev(f->db, r->index); };
  const auto read = [&](uint32_t *len) {
    return ireadrec(f->db, r->index, buf, static_cast<uint32_t>(buf_len), len);
  };
  int32_t rc = 1;
  if (forward != 0 ? r->fwd_started : r->bwd_started) rc = step();
  uint32_t len = 0;
  if (rc == 1) {
    rc = read(&len);
    r->fwd_started = r->bwd_started = 1;
    // Another index object's delete or change moved this one off its record onto the entry after it:
    // the read moves once in its own direction (forward onto that entry) and reads what it finds.
    while (rc == -4) {
      rc = step();
      if (rc == 1) rc = read(&len);
    }
  }
  if (rc == 1) {
    *rec_len = static_cast<int32_t>(std::min(len, static_cast<uint32_t>(buf_len)));
    return succeeded(r);
  }
  if (rc == -2 || rc == -3) return done(r, QRXKY_NOT_FOUND, QRXKY_R_EOF, reason);
  if (rc == -1) {
    const Mapped m("ReadSequential");
    QRX_ERROR("isam error. errno = %d.file = %s, index = %s", errno_now(), f->db_name, r->index_name);
    return done(r, m, reason);
  }
  QRX_ERROR("Unknown isam rc = %d", rc);
  return done(r, QRXKY_ABNORMAL, QRXKY_R_NEUTRAL, reason);
}

// Finds a read by key repeats when changes through other handles keep moving the record it found.
constexpr int kMovedRetries = 100;

int32_t read_by_key(Request *r, const void *key, int32_t key_len, void *buf, int32_t buf_len,
                    int32_t *rec_len, uint32_t *reason) {
  if (key_len < 0 || buf_len < 0 || (key == nullptr && key_len > 0) || (buf == nullptr && buf_len > 0) ||
      rec_len == nullptr)
    return refused(r, "qrxky1gr", reason);
  *rec_len = 0;
  File *f = r->file;
  const char *text = key_len > 0 ? static_cast<const char *>(key) : "";
  if (parse_key(r, key, key_len) != 0) {
    QRX_ERROR("ParseKey failed. key = %.*s, keyLength = %d", key_len, text, key_len);
    return done(r, QRXKY_INVALID, QRXKY_R_NEUTRAL, reason);
  }
  // A record found at or after the key is matched against the given bytes at the key offset.
  if (key_len > 0 &&
      static_cast<uint64_t>(buf_len) < uint64_t{r->key_offset} + static_cast<uint32_t>(key_len)) {
    QRX_ERROR("Buffer of %d bytes does not reach the key (offset %d, length %d). file = %s", buf_len,
              static_cast<int>(r->key_offset), key_len, f->db_name);
    return done(r, QRXKY_INVALID, QRXKY_R_NEUTRAL, reason);
  }
  // The find and the read are two steps of the database: a change through another handle between them
  // can move the record the find stood on (the read then says -4). The record is then looked for again,
  // so that a read by key gives the record the key names now, or not found, never a failure.
  int32_t found = 0, rc = -4;
  uint32_t len = 0;
  for (int attempt = 0; attempt < kMovedRetries && rc == -4; ++attempt) {
    found = ifindkey(f->db, r->index, r->values);
    if (found != 2 && found != 3) break;
    rc = ireadrec(f->db, r->index, buf, static_cast<uint32_t>(buf_len), &len);
  }
  if (found == 2 || found == 3) {
    if (rc == 1) {
      if (found == 3 && key_len > 0 &&
          std::memcmp(key, static_cast<const uint8_t *>(buf) + r->key_offset, static_cast<size_t>(key_len)) !=
              0)
        return done(r, QRXKY_NOT_FOUND, QRXKY_R_NEUTRAL, reason);
      *rec_len = static_cast<int32_t>(std::min(len, static_cast<uint32_t>(buf_len)));
      return succeeded(r);
    }
    if (rc == -2 || rc == -3) return done(r, QRXKY_NOT_FOUND, QRXKY_R_NEUTRAL, reason);
    if (rc == -1) {
      const Mapped m("GetRecord");
      QRX_ERROR("ireadrec failed. errno = %d,file = %s, key = %.*s", errno_now(), f->db_name, key_len, text);
      return done(r, m, reason);
    }
    QRX_ERROR("Unknown ireadrec rc = %d", rc);
    return done(r, QRXKY_ABNORMAL, QRXKY_R_NEUTRAL, reason);
  }
  if (found == -2 || found == -3) return done(r, QRXKY_NOT_FOUND, QRXKY_R_NEUTRAL, reason);
  if (found == -1) {
    const Mapped m("GetRecord");
    QRX_ERROR("ifindkey failed. errno = %d,file = %s, key = %.*s", errno_now(), f->db_name, key_len, text);
    return done(r, m, reason);
  }
  QRX_ERROR("Unknown ifindnext/prev rc = %d", found);
  return done(r, QRXKY_ABNORMAL, QRXKY_R_NEUTRAL, reason);
}

// A record of the file's record length: the caller's bytes, or a blank-padded copy of a shorter record.
class FullRecord {
 public:
  FullRecord(const void *rec, int32_t len, uint32_t full) : bytes_(static_cast<const uint8_t *>(rec)) {
    if (static_cast<uint32_t>(len) == full) return;
    copy_ = static_cast<uint8_t *>(qrx::mem::alloc(full));
    if (copy_ != nullptr) {
      std::memset(copy_, ' ', full);
      if (len > 0) std::memcpy(copy_, rec, static_cast<size_t>(len));
    }
    bytes_ = copy_;
  }
  ~FullRecord() { std::free(copy_); }
  FullRecord(const FullRecord &) = delete;
  FullRecord &operator=(const FullRecord &) = delete;
  const uint8_t *bytes() const { return bytes_; }

 private:
  const uint8_t *bytes_;
  uint8_t *copy_ = nullptr;
};

void flush_unless_deferred(File *f) {
  // A failed flush is reported by the ISAM layer (message QRX0101); the change itself is done.
  if ((f->usage.load() & kDeferFlush) == 0) iflush_db(f->db);
}

int32_t add_record(Request *r, const void *key, int32_t key_len, const void *rec, int32_t rec_len,
                   uint32_t *reason) {
  if (key_len < 0 || rec_len < 0 || (key == nullptr && key_len > 0) || (rec == nullptr && rec_len > 0))
    return refused(r, "qrxky1ar", reason);
  File *f = r->file;
  if (static_cast<uint32_t>(rec_len) > f->rec_len) {
    QRX_ERROR("add rec  failed - file = %s, reclen = %d, maxreclen = %d\n", f->db_name, rec_len,
              static_cast<int>(f->rec_len));
    return done(r, QRXKY_INVALID, QRXKY_R_NEUTRAL, reason);
  }
  if (static_cast<uint32_t>(key_len) > r->key_len) {
    QRX_ERROR("Invalid key length %d", key_len);
    return done(r, QRXKY_INVALID, QRXKY_R_NEUTRAL, reason);
  }
  const FullRecord data(rec, rec_len, f->rec_len);
  if (data.bytes() == nullptr) return done(r, QRXKY_NO_STORAGE, QRXKY_R_NO_COPY, reason);
  // The record is indexed by its own key bytes; a key given beside it must be (a prefix of) them.
  const uint8_t *own = data.bytes() + r->key_offset;
  if (key_len > 0 && std::memcmp(key, own, static_cast<size_t>(key_len)) != 0) {
    QRX_ERROR("add rec failed - key differs from the record's key. file = %s, index = %s, key = %.*s",
              f->db_name, r->index_name, key_len, static_cast<const char *>(key));
    return done(r, QRXKY_INVALID, QRXKY_R_NEUTRAL, reason);
  }
  const int32_t rc = iaddrec2(f->db, r->index, own, r->key_len, data.bytes(), f->rec_len);
  if (rc == 1) {
    flush_unless_deferred(f);
    return succeeded(r);
  }
  const Mapped m("AddRecord");
  QRX_ERROR("iaddrec2 failed - status = %d, errno = %d,file = %s, index = %s, key = %.*s", rc, errno_now(),
            f->db_name, r->index_name, static_cast<int>(r->key_len), reinterpret_cast<const char *>(own));
  return done(r, m, reason);
}

int32_t replace_record(Request *r, const void *rec, int32_t rec_len, uint32_t *reason) {
  if (rec_len < 0 || (rec == nullptr && rec_len > 0)) return refused(r, "qrxky1re", reason);
  File *f = r->file;
  if (static_cast<uint32_t>(rec_len) > f->rec_len) {
    QRX_ERROR("replace rec failed - file = %s, reclen = %d, maxreclen = %d\n", f->db_name, rec_len,
              static_cast<int>(f->rec_len));
    return done(r, QRXKY_INVALID, QRXKY_R_NEUTRAL, reason);
  }
  const FullRecord data(rec, rec_len, f->rec_len);
  if (data.bytes() == nullptr) return done(r, QRXKY_NO_STORAGE, QRXKY_R_NO_COPY, reason);
  const int32_t rc = imodrec2(f->db, r->index, data.bytes(), f->rec_len);
  if (rc == 1) {
    flush_unless_deferred(f);
    // The change stepped the index on to the entry after the record: back onto it, so the next read in
    // sequence moves on from the record replaced.
    ifindprev(f->db, r->index);
    return succeeded(r);
  }
  const auto line = [&] {
    QRX_ERROR("imodrec2 failed - status = %d, errno = %d,file = %s, index = %s, rec = %.*s", rc, errno_now(),
              f->db_name, r->index_name, rec_len, rec_len > 0 ? static_cast<const char *>(rec) : "");
  };
  if (rc == -2 || rc == -3 || rc == -4) {  // not on a record, or moved off it by another index object
    line();
    return done(r, QRXKY_NO_KEY, QRXKY_R_NEUTRAL, reason);
  }
  const Mapped m("ReplaceRecord");
  line();
  return done(r, m, reason);
}

int32_t delete_record(Request *r, uint32_t *reason) {
  put(reason, QRXKY_R_NEUTRAL);
  File *f = r->file;
  const int32_t rc = idelrec(f->db, r->index);
  if (rc == 1) {
    flush_unless_deferred(f);
    r->fwd_started = 0;  // the index stands on the entry after the record: the next forward read reads it
    return done(r, QRXKY_OK, QRXKY_R_NEUTRAL, reason);
  }
  const Mapped m("DeleteRecord");
  QRX_ERROR("idelrec failed - status = %d, errno = %d,file = %s, index = %s", rc, errno_now(), f->db_name,
            r->index_name);
  return done(r, m, reason);
}

// Runs body on the live request the handle names; status 2, nothing touched, when there is none.
template <class Body>
int32_t with_request(KeyHandle handle, Body body) {
  if (handle.seq != 0 || handle.aux != 0) return QRXKY_BAD_HANDLE;
  const Pin pin = slot_pin(handle.slot, Kind::kRequest);
  if (!pin) return QRXKY_BAD_HANDLE;
  Request *r = pin.get<Request>();
  if (r->closed.load()) return QRXKY_BAD_HANDLE;
  return body(r);
}

bool is_primary(const Request *r) {
  return r == &r->file->primary;
}

}  // namespace

int32_t DiagnoseError(const char *context, uint32_t *reason) {
  // Status and reason by isam_errno 0 .. 22 (9 goes by the B-tree code), and by B-tree code 1 .. 22.
  struct Row {
    int32_t status;
    uint32_t why;
  };
  static constexpr Row kIsam[] = {{0, 26}, {1, 26}, {1, 26}, {3, 19}, {5, 27}, {7, 41}, {6, 27}, {8, 20},
                                  {5, 26}, {8, 26}, {5, 28}, {1, 39}, {2, 26}, {6, 27}, {5, 27}, {6, 27},
                                  {6, 27}, {4, 26}, {1, 26}, {6, 27}, {1, 27}, {4, 26}, {10, 26}};
  static constexpr Row kCbt[] = {{8, 26}, {8, 20}, {8, 20}, {7, 41}, {8, 20}, {7, 41}, {8, 20}, {8, 20},
                                 {8, 20}, {8, 20}, {8, 20}, {8, 20}, {8, 20}, {8, 20}, {8, 20}, {8, 20},
                                 {8, 20}, {4, 27}, {4, 27}, {8, 13}, {8, 20}, {5, 28}, {5, 27}};
  const int32_t e = *qrxiseno();
  Row row{QRXKY_ABNORMAL, QRXKY_R_NEUTRAL};
  if (e == QRXIS_CBT) {
    const uint32_t cb = *qrxcbecd();
    if (cb >= 1 && cb < std::size(kCbt))
      row = kCbt[cb];
    else
      QRX_ERROR("cberrcode %d encountered performing %s", static_cast<int>(cb), context);
  } else if (e >= 0 && static_cast<size_t>(e) < std::size(kIsam)) {
    row = kIsam[e];
  } else {
    QRX_ERROR("isam_errno %d encountered performing %s", e, context);
  }
  put(reason, row.why);
  return row.status;
}

int32_t failure_status(const char *context, uint32_t *reason) {
  const int32_t status = DiagnoseError(context, reason);
  if (status != 0) return status;
  put(reason, QRXKY_R_NEUTRAL);
  return QRXKY_ABNORMAL;
}

int32_t ky1_of(const char *name, int32_t name_len, int32_t usage, uint32_t *rec_len, uint32_t *key_offset,
               uint32_t *key_len, KeyHandle *adapter, uint32_t *reason) {
  put(reason, QRXKY_R_NEUTRAL);
  if (name_len < 0 || rec_len == nullptr || key_offset == nullptr || key_len == nullptr ||
      adapter == nullptr) {
    QRX_ERROR("qrxky1of: invalid length or missing output");
    return QRXKY_INVALID;
  }
  File *f = make_object<File>();
  if (f == nullptr) {
    put(reason, QRXKY_R_NO_OBJECT);
    return QRXKY_ABNORMAL;
  }
  if (parse_name(f, name, name_len) != 0) {
    free_object(f);
    return QRXKY_INVALID;
  }
  f->usage.store(static_cast<uint32_t>(usage));
  f->db = iopen_db(f->db_name, (usage & QRXKY_USAGE_WRITE) != 0 ? 2 : 1);
  if (f->db == nullptr) {
    const Mapped m("OpenFile");
    QRX_ERROR("iopen_db failed. errno = %d, file = %s", errno_now(), f->db_name);
    free_object(f);
    put(reason, m.why);
    return m.status;
  }
  uint32_t why = QRXKY_R_NEUTRAL;
  int32_t status = describe_fields(f, &why);
  if (status == 0) status = build_request(&f->primary, f, nullptr, &why);
  if (status == 0) {
    f->slot = f->primary.slot = slot_issue(Kind::kRequest, &f->primary, 0, release_file);
    if (f->slot == 0) status = QRXKY_NO_STORAGE, why = QRXKY_R_NO_OBJECT;
  }
  if (status != 0) {
    close_index(&f->primary);
    iclose_db(f->db);
    OSV1_FreeMem(f->primary.keybuf, nullptr);
    free_object(f);
    put(reason, why);
    return status;
  }
  *rec_len = f->rec_len;
  *key_offset = f->primary.key_offset;
  *key_len = f->primary.key_len;
  *adapter = KeyHandle{0, 0, f->slot};
  return 0;
}

int32_t ky1_cf(KeyHandle adapter, uint32_t *reason) {
  return with_request(adapter, [&](Request *r) -> int32_t {
    File *f = r->file;
    if (!is_primary(r)) return QRXKY_BAD_HANDLE;  // a cursor's request goes with qrxky1dc
    {
      std::lock_guard<std::mutex> g(f->mu);
      if (f->closing) return QRXKY_BAD_HANDLE;
      if (f->cursors != 0) {
        QRX_ERROR("Close of %s refused: %d cursors still open", f->db_name, static_cast<int>(f->cursors));
        put(reason, QRXKY_R_NEUTRAL);
        return QRXKY_BAD_HANDLE;
      }
      f->closing = true;
    }
    r->closed.store(true);
    put(reason, QRXKY_R_NEUTRAL);
    close_index(r);
    if (iclose_db(f->db) != 1) QRX_ERROR("iclose_db failed. errno = %d, file = %s", errno_now(), f->db_name);
    slot_retire(f->slot);
    return QRXKY_OK;
  });
}

int32_t ky1_ff(KeyHandle adapter, uint32_t *reason) {
  return with_request(adapter, [&](Request *r) -> int32_t {
    File *f = r->file;
    put(reason, QRXKY_R_NEUTRAL);
    f->usage.fetch_or(kDeferFlush);
    if (iflush_db(f->db) == 1) return QRXKY_OK;
    const Mapped m("FlushFile");
    QRX_ERROR("iflush_db failed. errno = %d, file = %s", errno_now(), f->db_name);
    put(reason, m.why);
    return m.status;
  });
}

int32_t ky1_cc(KeyHandle adapter, const void *key, int32_t key_len, int32_t, KeyHandle *cursor,
               uint32_t *reason) {
  return with_request(adapter, [&](Request *p) -> int32_t {
    File *f = p->file;
    if (!is_primary(p)) return QRXKY_BAD_HANDLE;
    put(reason, QRXKY_R_NEUTRAL);
    if (cursor == nullptr || key_len < 0) {
      QRX_ERROR("qrxky1cc: invalid length or missing output");
      return QRXKY_INVALID;
    }
    {
      std::lock_guard<std::mutex> g(f->mu);
      if (f->closing) return QRXKY_BAD_HANDLE;
      ++f->cursors;
    }
    const auto forget = [f] {
      std::lock_guard<std::mutex> g(f->mu);
      --f->cursors;
    };
    Request *r = make_object<Request>();
    if (r == nullptr) {
      forget();
      put(reason, QRXKY_R_NO_OBJECT);
      return QRXKY_ABNORMAL;
    }
    r->file_pin = slot_pin(f->slot, Kind::kRequest);
    uint32_t why = QRXKY_R_NEUTRAL;
    int32_t status = build_request(r, f, p->index_name, &why);
    if (status == 0) {
      // No key (address or length 0, even with address -1) is an all-zero key of length 0: the first
      // entry at or after it, and an empty file is no failure. Address -1 with a length positions on the
      // last entry.
      static const uint32_t zero_word = 0;
      const bool no_key = key == nullptr || key_len == 0;
      const void *at = no_key ? &zero_word : key;
      status = position(r, at, no_key ? 0 : key_len, &why);
      if (status != 0) {
        const int shown = no_key || at == kTail ? 0 : key_len;
        QRX_ERROR("qrxky1sp failed status = %d,reason = %d. file = %s index = %s key = %.*s", status,
                  static_cast<int>(why), f->db_name, r->index_name, shown,
                  shown > 0 ? static_cast<const char *>(key) : "");
      }
    }
    if (status == 0 && (r->slot = slot_issue(Kind::kRequest, r, 0, release_request)) == 0)
      status = QRXKY_NO_STORAGE, why = QRXKY_R_NO_OBJECT;
    if (status != 0) {
      close_index(r);
      release_request(r);
      forget();
      put(reason, why);
      return status;
    }
    *cursor = KeyHandle{0, 0, r->slot};
    return QRXKY_OK;
  });
}

int32_t ky1_dc(KeyHandle cursor, int32_t, uint32_t *reason) {
  return with_request(cursor, [&](Request *r) -> int32_t {
    if (is_primary(r) || r->closed.exchange(true)) return QRXKY_BAD_HANDLE;
    put(reason, QRXKY_R_NEUTRAL);
    close_index(r);
    {
      File *f = r->file;
      std::lock_guard<std::mutex> g(f->mu);
      --f->cursors;
    }
    slot_retire(r->slot);
    return QRXKY_OK;
  });
}

int32_t ky1_sp(KeyHandle adapter, const void *key, int32_t key_len, int32_t, uint32_t *reason) {
  return with_request(adapter, [&](Request *r) { return position(r, key, key_len, reason); });
}

int32_t ky1_rs(KeyHandle adapter, int32_t forward, void *buf, int32_t buf_len, int32_t, int32_t *rec_len,
               uint32_t *reason) {
  return with_request(adapter,
                      [&](Request *r) { return read_sequential(r, forward, buf, buf_len, rec_len, reason); });
}

int32_t ky1_ru(KeyHandle adapter, int32_t forward, void *buf, int32_t buf_len, int32_t sync, int32_t *rec_len,
               uint32_t *reason) {
  return ky1_rs(adapter, forward, buf, buf_len, sync, rec_len, reason);
}

int32_t ky1_gr(KeyHandle adapter, const void *key, int32_t key_len, void *buf, int32_t buf_len,
               int32_t *rec_len, int32_t, uint32_t *reason) {
  return with_request(
      adapter, [&](Request *r) { return read_by_key(r, key, key_len, buf, buf_len, rec_len, reason); });
}

int32_t ky1_gu(KeyHandle adapter, const void *key, int32_t key_len, void *buf, int32_t buf_len,
               int32_t *rec_len, int32_t sync, uint32_t *reason) {
  return ky1_gr(adapter, key, key_len, buf, buf_len, rec_len, sync, reason);
}

int32_t ky1_ar(KeyHandle adapter, const void *key, int32_t key_len, const void *rec, int32_t rec_len, int32_t,
               uint32_t *reason) {
  return with_request(adapter, [&](Request *r) { return add_record(r, key, key_len, rec, rec_len, reason); });
}

int32_t ky1_re(KeyHandle adapter, const void *rec, int32_t rec_len, int32_t, uint32_t *reason) {
  return with_request(adapter, [&](Request *r) { return replace_record(r, rec, rec_len, reason); });
}

int32_t ky1_dr(KeyHandle adapter, int32_t, uint32_t *reason) {
  return with_request(adapter, [&](Request *r) { return delete_record(r, reason); });
}

int32_t ky1_rr(KeyHandle adapter, int32_t, uint32_t *) {
  return with_request(adapter, [](Request *) -> int32_t { return QRXKY_OK; });
}

int32_t ky1_ca(KeyHandle adapter, uint32_t *) {
  return with_request(adapter, [](Request *r) { return r->last_status.load(); });
}

}  // namespace qrx::keyed

// ---------------------------------------------------------------------------------------------------
// Exported entry points: no exception crosses into C; one that escapes a body is an abnormal condition.
// ---------------------------------------------------------------------------------------------------
namespace {

template <class Body>
int32_t guarded(const char *name, uint32_t *reason, Body body) noexcept {
  QRX_ENTRY();
  int32_t status = QRXKY_ABNORMAL;
  try {
    status = body();
  } catch (...) {
    QRX_ERROR("%s ended by an exception", name);
    if (reason != nullptr) *reason = QRXKY_R_CONDITION;
  }
  QRX_EXIT(status);
  return status;
}

using namespace qrx::keyed;

}  // namespace

extern "C" QRX_API int32_t qrxky1of(const char *name, int32_t name_len, int32_t usage, uint32_t *rec_len,
                                    uint32_t *key_offset, uint32_t *key_len, KeyHandle *adapter,
                                    uint32_t *reason) {
  return guarded("qrxky1of", reason, [&] {
    return ky1_of(name, name_len, usage, rec_len, key_offset, key_len, adapter, reason);
  });
}
extern "C" QRX_API int32_t qrxky1cf(KeyHandle adapter, uint32_t *reason) {
  return guarded("qrxky1cf", reason, [&] { return ky1_cf(adapter, reason); });
}
extern "C" QRX_API int32_t qrxky1ff(KeyHandle adapter, uint32_t *reason) {
  return guarded("qrxky1ff", reason, [&] { return ky1_ff(adapter, reason); });
}
extern "C" QRX_API int32_t qrxky1cc(KeyHandle adapter, const void *key, int32_t key_len, int32_t sync,
                                    KeyHandle *cursor, uint32_t *reason) {
  return guarded("qrxky1cc", reason, [&] { return ky1_cc(adapter, key, key_len, sync, cursor, reason); });
}
extern "C" QRX_API int32_t qrxky1dc(KeyHandle cursor, int32_t sync, uint32_t *reason) {
  return guarded("qrxky1dc", reason, [&] { return ky1_dc(cursor, sync, reason); });
}
extern "C" QRX_API int32_t qrxky1sp(KeyHandle adapter, const void *key, int32_t key_len, int32_t sync,
                                    uint32_t *reason) {
  return guarded("qrxky1sp", reason, [&] { return ky1_sp(adapter, key, key_len, sync, reason); });
}
extern "C" QRX_API int32_t qrxky1rs(KeyHandle adapter, int32_t forward, void *buf, int32_t buf_len,
                                    int32_t sync, int32_t *rec_len, uint32_t *reason) {
  return guarded("qrxky1rs", reason,
                 [&] { return ky1_rs(adapter, forward, buf, buf_len, sync, rec_len, reason); });
}
extern "C" QRX_API int32_t qrxky1ru(KeyHandle adapter, int32_t forward, void *buf, int32_t buf_len,
                                    int32_t sync, int32_t *rec_len, uint32_t *reason) {
  return guarded("qrxky1ru", reason,
                 [&] { return ky1_ru(adapter, forward, buf, buf_len, sync, rec_len, reason); });
}
extern "C" QRX_API int32_t qrxky1gr(KeyHandle adapter, const void *key, int32_t key_len, void *buf,
                                    int32_t buf_len, int32_t *rec_len, int32_t sync, uint32_t *reason) {
  return guarded("qrxky1gr", reason,
                 [&] { return ky1_gr(adapter, key, key_len, buf, buf_len, rec_len, sync, reason); });
}
extern "C" QRX_API int32_t qrxky1gu(KeyHandle adapter, const void *key, int32_t key_len, void *buf,
                                    int32_t buf_len, int32_t *rec_len, int32_t sync, uint32_t *reason) {
  return guarded("qrxky1gu", reason,
                 [&] { return ky1_gu(adapter, key, key_len, buf, buf_len, rec_len, sync, reason); });
}
extern "C" QRX_API int32_t qrxky1ar(KeyHandle adapter, const void *key, int32_t key_len, const void *rec,
                                    int32_t rec_len, int32_t sync, uint32_t *reason) {
  return guarded("qrxky1ar", reason,
                 [&] { return ky1_ar(adapter, key, key_len, rec, rec_len, sync, reason); });
}
extern "C" QRX_API int32_t qrxky1re(KeyHandle adapter, const void *rec, int32_t rec_len, int32_t sync,
                                    uint32_t *reason) {
  return guarded("qrxky1re", reason, [&] { return ky1_re(adapter, rec, rec_len, sync, reason); });
}
extern "C" QRX_API int32_t qrxky1dr(KeyHandle adapter, int32_t sync, uint32_t *reason) {
  return guarded("qrxky1dr", reason, [&] { return ky1_dr(adapter, sync, reason); });
}
extern "C" QRX_API int32_t qrxky1rr(KeyHandle adapter, int32_t sync, uint32_t *reason) {
  return guarded("qrxky1rr", reason, [&] { return ky1_rr(adapter, sync, reason); });
}
extern "C" QRX_API int32_t qrxky1ca(KeyHandle adapter, uint32_t *reason) {
  return guarded("qrxky1ca", nullptr, [&] { return ky1_ca(adapter, reason); });
}
