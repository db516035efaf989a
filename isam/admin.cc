// admin.cc - whole-database and whole-index operations: icopy_database, idestroy_db, qrxisren, imkindex,
// irmindex, inew_index_file, iverify_db, qrxisdmp and match_namelist.
//
// They are built from the layer's own operations. None of them undoes earlier steps when a later one
// fails: a failed copy leaves what was copied, a failed imkindex may leave its description in the file,
// a failed irmindex leaves the index partly emptied. An index that imkindex accepts is parsed by the same
// rules as the next open, so it always opens again.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {
namespace {

// Index numbers an index may take: descriptions are 0 (the "Physical Index"), the free-space keys use
// the two numbers above kMaxIndexNumber.
constexpr int32_t kNumbers = kMaxIndexNumber + 1;

// Whether another open for writing (another process, or a tree opened on the file by name here) holds
// the file lock of a database file. A file that is missing or cannot be opened read/write holds none.
// The probe's own lock goes with its close.
bool written_elsewhere(const char *file) {
  const int fd = ::open(file, O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = qrxcb_LockFile(fd) != 0;
  ::close(fd);
  return held;
}

void report_progress(uint32_t count) {
  if (Anchor *a = anchor_peek(); a != nullptr && a->progress != nullptr) a->progress(count);
}

// The empty value of a field of that type: an empty text, zeros, or spaces over a declared length.
std::string empty_value(const Db *db, int32_t f) {
  const uint8_t type = db->types[static_cast<size_t>(f)];
  const int32_t declared = db->lengths.empty() ? 1 : db->lengths[static_cast<size_t>(f)];
  switch (type) {
    case I_CHAR:
    case I_BINARY:
      return std::string(static_cast<size_t>(declared), ' ');
    case I_SHORT:
      return std::string(2, '\0');
    case I_DOUBLE:
      return std::string(8, '\0');
    case I_INT:
    case I_UNSIGNED:
    case I_LONG:
    case I_FLOAT:
      return std::string(4, '\0');
    default:
      return std::string(1, '\0');
  }
}

// Copies the records of src, in the order of idx, into dst. 1 when the walk reached the end.
int32_t I_copy_recs(Db *src, Index *idx, Db *dst, int32_t create) {
  const int32_t scount = get_fld_count(src), dcount = get_fld_count(dst);
  if (scount < 0 || dcount < 0) return -1;
  if (dcount < scount) {
    set_errno(Err::kFieldNumber);
    return -1;
  }
  // Destination fields beyond the source's get the empty value of their type.
  std::vector<std::string> empty;
  for (int32_t f = 0; f < dcount; ++f) empty.push_back(empty_value(dst, f));
  std::vector<uint8_t *> fields(static_cast<size_t>(dcount) + 1, nullptr);
  std::vector<uint8_t> buf;
  uint32_t count = 0;
  int32_t r = find_head(src, idx);
  for (; r == 1; r = find_next(src, idx)) {
    uint32_t len = 0;
    if ((r = get_reclen(src, idx, &len)) != 1) break;
    if (len == 0) continue;
    buf.resize(len + 1);
    if ((r = get_rec(src, idx, fields.data(), buf.data(), static_cast<int32_t>(buf.size()))) != 1) break;
    for (int32_t f = scount; f < dcount; ++f)
      fields[static_cast<size_t>(f)] = reinterpret_cast<uint8_t *>(empty[static_cast<size_t>(f)].data());
    fields[static_cast<size_t>(dcount)] = nullptr;
    if (add_rec(dst, nullptr, reinterpret_cast<const void *const *>(fields.data())) != 1) {
      // Into an existing database, a record that a unique index already holds counts as copied.
      const uint32_t code = *qrxcbecd();
      if (create != 0 || isam_errno() != static_cast<int32_t>(Err::kCbt) || (code != 17 && code != 18)) {
        r = -1;
        break;
      }
      set_errno(Err::kNone);
      *qrxcbecd() = 0;
    }
    report_progress(++count);
  }
  return r == -3 ? 1 : -1;
}

// The destination of a copy: opened when create is 0 and it can be, otherwise made with the source's
// fields (create becomes 1); then every index of the source is made in it. Null on failure.
Db *I_mk_new_db(Db *src, const char *dst, int32_t blocksize, int32_t *create) {
  const char *const *fieldnames = get_fld_names(src);
  if (fieldnames == nullptr) return nullptr;
  Db *db = *create == 0 ? open_db(dst, 2) : nullptr;
  if (db == nullptr) {
    *create = 1;
    if ((db = create_db(dst, blocksize, fieldnames)) == nullptr) return nullptr;
  }
  std::vector<std::pair<std::string, std::vector<std::string>>> indexes;
  for (Index *i = src->indexes.next; i != &src->indexes; i = i->next) {
    if (i->number == 0) continue;
    const char *const *desc = get_desc(src, i);
    if (desc == nullptr) {
      close_db(db);
      return nullptr;
    }
    indexes.push_back({i->name, {}});
    for (; *desc != nullptr; ++desc) indexes.back().second.emplace_back(*desc);
  }
  for (auto it = indexes.begin(); it != indexes.end(); ++it) {
    std::vector<const char *> specs;
    for (const auto &spec : it->second) specs.push_back(spec.c_str());
    specs.push_back(nullptr);
    Anchor *a = anchor_peek();
    void (*saved)(uint32_t) = a != nullptr ? a->progress : nullptr;
    if (a != nullptr) a->progress = nullptr;
    const int32_t made = mk_index(db, it->first.c_str(), specs.data());
    if (a != nullptr) a->progress = saved;
    if (made == 1) continue;
    if (*create == 0 && isam_errno() == static_cast<int32_t>(Err::kDupIndex)) {
      set_errno(Err::kNone);
      continue;
    }
    close_db(db);
    return nullptr;
  }
  return db;
}

// Appends text and its NUL to the description key being built; on overflow the error line names what
// did not fit.
bool add_piece(ThreadData *td, uint32_t *at, const char *what, const char *text) {
  if (I_col_str(td->keybuf, td->keybufsize, at, text)) return true;
  QRX_ERROR("%s %s is too long. buffer size = %d, bytes left = %d", what, text,
            static_cast<int>(td->keybufsize), static_cast<int>(td->keybufsize - *at));
  set_errno(Err::kKeyTooLong);
  return false;
}

// The lowest index number that no index object of db has, or -1 (isam_errno 13).
int32_t I_newnbr(Db *db) {
  for (int32_t n = 0; n < kNumbers; ++n) {
    bool taken = false;
    {
      std::lock_guard<std::mutex> g(db->mutex);
      for (const Index *i = db->indexes.next; i != &db->indexes && !taken; i = i->next)
        taken = i->number == n;
    }
    if (!taken) return n;
  }
  set_errno(Err::kTooMany);
  return -1;
}

// Adds the entry of every record to the new index idx (a failed fetch or add makes the result -1, the
// walk goes on), then puts idx on its first entry.
int32_t I_existing(Db *db, Index *idx) {
  Index *phys = index_handle(db, kPhysicalIndex);
  if (phys == nullptr) return -1;
  int32_t rc = 1, first = 0;  // the error number of the first failure
  uint32_t count = 0;
  for (int32_t r = find_head(db, phys); r == 1; r = find_next(db, phys)) {
    if (!lock_db(db)) return -1;
    curdb() = db;
    ThreadData *td = I_fetchrec(db, phys->curptr);
    if ((td == nullptr || I_up1index(idx, td, td->recfields, phys->curptr) < 0) && rc == 1)
      rc = -1, first = isam_errno();
    if (td != nullptr) I_rlserec(td);
    unlock(db);
    report_progress(++count);
  }
  if (rc == 1) return find_head(db, idx) == -1 ? -1 : 1;
  isam_errno() = first;
  return rc;
}

// Removes every entry of idx from the front, with the database lock held.
int32_t I_rmentries(Db *db, Index *idx) {
  uint32_t count = 0;
  for (;;) {
    const int32_t r = I_find_head(db, idx);
    if (r == -1) return -1;
    if (r != 1) return 1;
    uint32_t off = 0;
    if (cbcurr(idx->tree, &off) != 1) {
      set_errno(Err::kCbt);
      return -1;
    }
    ThreadData *td = I_fetchrec(db, off);
    if (td == nullptr) return -1;
    const FetchedRecord held(td);
    if (I_del1index(idx, td, td->recfields, off) < 0) return -1;
    report_progress(++count);
  }
}

// Removes idx's description from the index file, with the database lock held.
int32_t I_rmdef(Db *db, Index *idx, const char *name) {
  ThreadData *td = I_GetThreadData();
  if (td == nullptr || td->keybuf == nullptr) {
    set_errno(Err::kNoMemory);
    return -1;
  }
  const int32_t len = I_mkdesc(name, nullptr, td->keybuf, td->keybufsize);
  if (len < 0) {
    set_errno(Err::kKeyTooLong);
    return -1;
  }
  td->keylen = static_cast<uint32_t>(len);
  uint32_t item = 0, found = 0;
  const int32_t r = cbfind(db->desctree, td->keybuf, td->keylen, &item);
  if (r != 2 && r != 3) {
    set_errno(Err::kUnknownIndex);
    return -1;
  }
  std::vector<uint8_t> key;
  if (cbkeylen(db->desctree, &found) != 1) {
    set_errno(Err::kCbt);
    return -1;
  }
  key.resize(found + 1);
  if (cbkey(db->desctree, key.data(), found) != 1) {
    set_errno(Err::kCbt);
    return -1;
  }
  if (found < 2 || key[0] != kDescPrefix ||
      !I_compareIndexName(reinterpret_cast<const char *>(key.data()) + 1, idx->name.c_str())) {
    set_errno(Err::kUnknownIndex);
    return -1;
  }
  if (cbdelete(db->desctree, key.data(), found, item) != 1) {
    set_errno(Err::kCbt);
    return -1;
  }
  return 1;
}

// Opens name read/write and finds an index whose tree is open on its index file (every index shares the
// one tree, so any of them reaches the whole file). The database, with *tree set, or null.
Db *open_with_tree(const char *name, cbt_tree **tree) {
  Db *db = open_db(name, 2);
  if (db == nullptr) {
    QRX_ERROR("Unable to open %s", name != nullptr ? name : "");
    return nullptr;
  }
  *tree = nullptr;
  if (lock_db(db)) {
    for (const Index *i = db->indexes.next; i != &db->indexes && *tree == nullptr; i = i->next)
      *tree = i->tree;
    unlock(db);
  }
  if (*tree == nullptr) {
    QRX_ERROR("Unable to access index for %s", name);
    close_db(db);
    return nullptr;
  }
  curdb() = db;
  return db;
}

}  // namespace

const char *match_namelist(const char *name, const char *const *list) {
  if (name == nullptr || list == nullptr) return nullptr;
  for (; *list != nullptr; ++list)
    if (std::strcmp(*list, name) == 0) return *list;
  return nullptr;
}

int32_t copy_database(const char *src, const char *dst, const char *idxname, int32_t blocksize,
                      int32_t create) {
  set_errno(Err::kNone);
  char sdata[kNameBuf], ddata[kNameBuf], sidx[kNameBuf];
  if (I_mkdata_filename(src, sdata, kNameBuf) == nullptr ||
      I_mkdata_filename(dst, ddata, kNameBuf) == nullptr) {
    QRX_ERROR("Unable to make database names for %s and %s", src != nullptr ? src : "",
              dst != nullptr ? dst : "");
    set_errno(Err::kName);
    return -1;
  }
  if (std::strcmp(sdata, ddata) == 0) {
    QRX_ERROR("Cannot copy database %s to itself", src);
    set_errno(Err::kCopySelf);
    return -1;
  }
  Db *sdb = open_db(src, 2);
  if (sdb == nullptr) {
    QRX_ERROR("Unable to open database %s", src);
    return -1;
  }
  const auto close_source = [&](int32_t rc) {
    const int32_t kept = isam_errno();
    close_db(sdb);
    isam_errno() = kept;
    return rc;
  };
  Index *idx = index_handle(sdb, idxname != nullptr ? idxname : kPhysicalIndex);
  if (idx == nullptr) {
    QRX_ERROR("Unable to open index %s", idxname != nullptr ? idxname : kPhysicalIndex);
    return close_source(-1);
  }
  if (blocksize == 0) {
    if (I_mkindex_filename(src, sidx, kNameBuf) == nullptr) {
      set_errno(Err::kName);
      return close_source(-1);
    }
    blocksize = cbblksize(sidx);
    if (blocksize == -1) blocksize = 512;
  }
  Db *ddb = I_mk_new_db(sdb, dst, blocksize, &create);
  if (ddb == nullptr) {
    QRX_ERROR("Unable to create database %s", dst);
    return close_source(-1);
  }
  const int32_t rc = I_copy_recs(sdb, idx, ddb, create);
  const int32_t kept = isam_errno();
  close_db(ddb);
  isam_errno() = kept;
  return close_source(rc);
}

int32_t destroy_db(const char *name) {
  set_errno(Err::kNone);
  if (db_handle(name) != nullptr) {
    set_errno(Err::kInUse);
    return -1;
  }
  char data[kNameBuf], idx[kNameBuf];
  if (!make_file_names(name, data, idx)) {
    set_errno(Err::kName);
    return -1;
  }
  // Nor is a database another process is writing removed: its writes would go on into unlinked files
  // and be lost at its close.
  if (written_elsewhere(data) || written_elsewhere(idx)) {
    set_errno(Err::kInUse);
    return -1;
  }
  int32_t rc = 1;
  for (const char *file : {data, idx}) {
    if (qrxcb_unlink(file) != 0) {
      set_errno(Err::kNotFound);
      rc = -1;
    }
  }
  return rc;
}

int32_t rename_db(const char *from, const char *to) {
  set_errno(Err::kNone);
  if (db_handle(from) != nullptr || db_handle(to) != nullptr) {
    set_errno(Err::kInUse);
    return -1;
  }
  char fdata[kNameBuf], fidx[kNameBuf], tdata[kNameBuf], tidx[kNameBuf];
  if (!make_file_names(from, fdata, fidx) || !make_file_names(to, tdata, tidx)) {
    set_errno(Err::kName);
    return -1;
  }
  // Nor are files another process is writing moved away from the names it reopens them by, or replaced.
  for (const char *file : {fdata, fidx, tdata, tidx}) {
    if (written_elsewhere(file)) {
      set_errno(Err::kInUse);
      return -1;
    }
  }
  if (std::rename(fdata, tdata) != 0) {
    set_errno(Err::kRename);
    return -1;
  }
  if (std::rename(fidx, tidx) != 0) {
    std::rename(tdata, fdata);
    set_errno(Err::kRename);
    return -1;
  }
  return 1;
}

int32_t mk_index(Db *db, const char *name, const char *const *specs) {
  set_errno(Err::kNone);
  if (!valid_db(db)) return -1;
  if (name == nullptr || specs == nullptr) return refuse_null();
  curdb() = db;
  if (match_namelist(name, get_index_names(db)) != nullptr) {
    QRX_ERROR("Duplicate index name %s", name);
    set_errno(Err::kDupIndex);
    return -1;
  }
  const char *const *fieldnames = get_fld_names(db);
  if (fieldnames == nullptr) return -1;
  ThreadData *td = I_GetThreadData();
  if (td == nullptr || td->keybuf == nullptr) {
    QRX_ERROR("Unable to locate thread variables");
    set_errno(Err::kNoMemory);
    return -1;
  }
  // Each field must be named exactly as described; the name is what the next open will read from it.
  for (const char *const *s = specs; *s != nullptr; ++s) {
    std::string field;
    int32_t start = 0, length = 0;
    I_parse_spec(*s, &field, &start, &length);
    if (match_namelist(field.c_str(), fieldnames) == nullptr) {
      QRX_ERROR("Invalid field name %s", *s);
      set_errno(Err::kNoField);
      return -1;
    }
  }
  td->keybuf[0] = kDescPrefix;
  uint32_t at = 1;
  if (!add_piece(td, &at, "index name", name)) return -1;
  for (const char *const *s = specs; *s != nullptr; ++s)
    if (!add_piece(td, &at, "field", *s)) return -1;
  td->keylen = at;
  const int32_t number = I_newnbr(db);
  if (number < 0) return -1;
  // The description goes in under the database lock: the description handle is the database's own.
  if (!lock_db(db)) return -1;
  curdb() = db;
  Index *idx = nullptr;
  if (cbinsert(db->desctree, td->keybuf, td->keylen, static_cast<uint32_t>(number), 0) != 1) {
    set_errno(Err::kCbt);
  } else if ((idx = make_index(db, td->keybuf, td->keylen, static_cast<uint32_t>(number))) != nullptr) {
    link_front(db->indexes, idx);
    db->nindexes += 1;
  } else {
    // No object stands for the description (out of memory, or its tree did not open): it goes again, so
    // that the next open does not find an index that no record was entered into.
    const int32_t why = isam_errno();
    if (cbdelete(db->desctree, td->keybuf, td->keylen, static_cast<uint32_t>(number)) != 1)
      QRX_ERROR("Unable to remove the description of index %s", name);
    isam_errno() = why;
  }
  unlock(db);
  return idx != nullptr ? I_existing(db, idx) : -1;
}

int32_t rm_index(Db *db, const char *name) {
  set_errno(Err::kNone);
  Index *idx = index_handle(db, name);
  if (idx == nullptr) return -1;
  if (!lock_db(db)) return -1;
  curdb() = db;
  int32_t rc = 1;
  if (idx->number == 0) {
    set_errno(Err::kNotAllowed);
    rc = -1;
  } else if (I_rmentries(db, idx) < 0 || I_rmdef(db, idx, name) < 0) {
    rc = -1;
  } else {
    const std::string removed = idx->name;
    db->nindexes -= 1;
    free_index(idx);
    for (Index *p = db->privindexes.next; p != &db->privindexes;) {
      Index *next = p->next;
      if (p->name == removed) free_index(p);
      p = next;
    }
  }
  unlock(db);
  return rc;
}

int32_t new_index_file(Db *db, int32_t blocksize, int32_t overwrite) {
  set_errno(Err::kNone);
  if (!lock_db(db)) return -1;
  curdb() = db;
  char idxname[kNameBuf];
  int32_t rc = -1;
  if (I_mkindex_filename(db->datafile.c_str(), idxname, kNameBuf) == nullptr) {
    set_errno(Err::kName);
  } else if (close_index_side(db) < 0) {
  } else if (file_exists(idxname) && overwrite != 1) {
    set_errno(Err::kIndexExists);
  } else if (cbt_tree *t = cbcreate(idxname, &I_compare, static_cast<uint32_t>(blocksize)); t == nullptr) {
    set_errno(*qrxcbecd() == 13 ? Err::kBlockSize : Err::kCbt);
  } else {
    uint8_t key[sizeof kPhysicalIndex + 1] = {kDescPrefix};
    std::memcpy(key + 1, kPhysicalIndex, sizeof kPhysicalIndex);
    const bool inserted = cbinsert(t, key, sizeof key, 0, 0) == 1;
    if (cbclose(t) != 1 || !inserted) {
      set_errno(Err::kCbt);
    } else {
      rc = open_index_file(db, idxname);
    }
  }
  unlock(db);
  return rc;
}

int32_t verify_db(const char *name) {
  set_errno(Err::kNone);
  cbt_tree *tree = nullptr;
  Db *db = open_with_tree(name, &tree);
  if (db == nullptr) return -1;
  const int32_t rc = qrxcbver(tree);
  close_db(db);
  return rc;
}

int32_t dump_db(const char *name) {
  set_errno(Err::kNone);
  cbt_tree *tree = nullptr;
  Db *db = open_with_tree(name, &tree);
  if (db == nullptr) return -1;
  char dumpname[255];
  if (std::snprintf(dumpname, sizeof dumpname, "%s.DMP", name) >= static_cast<int>(sizeof dumpname)) {
    close_db(db);
    set_errno(Err::kName);
    return -1;
  }
  FILE *out = std::fopen(dumpname, "w");
  curdb() = db;
  qrxcbdmp(tree, 0, out != nullptr ? out : stdout);
  if (out != nullptr) std::fclose(out);
  close_db(db);
  return 1;
}

}  // namespace qrx::isam
