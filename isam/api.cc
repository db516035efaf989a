// api.cc - exported C entry points of the ISAM layer (contracts in include/qrxis.h).
//
// Each qrx entry point calls its C++ body and is exported a second time under its public name (iopen_db is
// the same function as qrxisopn). No exception leaves an entry point: one that escapes a body counts as
// running out of memory (isam_errno 5) and gives the failure value.
#include <cstdint>

#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace {

using namespace qrx::isam;

template <class R, class Body>
R guarded(const char *name, R failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    QRX_ERROR("%s ended by an exception", name);
    set_errno(Err::kNoMemory);
    return failure;
  }
}

}  // namespace

extern "C" QRX_API int32_t qrxisini(int32_t count, int32_t size) {
  return guarded<int32_t>("qrxisini", -1, [&] { return isam_init(count, size); });
}
extern "C" QRX_API int32_t qrxisxit(void) {
  return guarded<int32_t>("qrxisxit", -1, [] { return isam_exit(); });
}
extern "C" QRX_API void qrxisprt(void) {
  // A trace line whatever the unit's flags: the caller asked for it.
  TLG1_Printf(&qrx_trace_unit_, __LINE__, "%s", isam_error_text(isam_errno()));
}
extern "C" QRX_API const char *qrxismsg(int32_t code) {
  return isam_error_text(code);
}
extern "C" QRX_API void qrxisprg(void (*fn)(uint32_t)) {
  if (Anchor *a = anchor_get()) a->progress = fn;
}
extern "C" QRX_API int32_t *qrxiseno(void) {
  return &isam_errno();
}
extern "C" QRX_API isam_db **qrxiscdb(void) {
  return &curdb();
}

extern "C" QRX_API isam_db *qrxisopn(const char *name, int32_t mode) {
  return guarded<isam_db *>("qrxisopn", nullptr, [&] { return open_db(name, mode); });
}
extern "C" QRX_API int32_t qrxisclo(isam_db *db) {
  return guarded<int32_t>("qrxisclo", -1, [&] { return close_db(db); });
}
extern "C" QRX_API int32_t qrxisfls(isam_db *db) {
  return guarded<int32_t>("qrxisfls", -1, [&] { return flush_db(db); });
}
extern "C" QRX_API isam_db *qrxisdbh(const char *name) {
  return guarded<isam_db *>("qrxisdbh", nullptr, [&] { return db_handle(name); });
}
extern "C" QRX_API isam_index *qrxisih(isam_db *db, const char *name) {
  return guarded<isam_index *>("qrxisih", nullptr, [&] { return index_handle(db, name); });
}
extern "C" QRX_API isam_index *qrxisiop(isam_db *db, const char *name) {
  return guarded<isam_index *>("qrxisiop", nullptr, [&] { return open_index(db, name); });
}
extern "C" QRX_API int32_t qrxisicl(isam_db *db, isam_index *idx) {
  return guarded<int32_t>("qrxisicl", -1, [&] { return close_index(db, idx); });
}
extern "C" QRX_API isam_db *qrxiscrt(const char *name, int32_t blocksize, const char *const *fields) {
  return guarded<isam_db *>("qrxiscrt", nullptr, [&] { return create_db(name, blocksize, fields); });
}
extern "C" QRX_API int32_t qrxismk(isam_db *db, isam_index *idx, const void *const *values) {
  return guarded<int32_t>("qrxismk", -1, [&] { return match_key(db, idx, values); });
}
extern "C" QRX_API int32_t qrxispm(isam_db *db, isam_index *idx, const void *const *values) {
  return guarded<int32_t>("qrxispm", -1, [&] { return partial_match(db, idx, values); });
}

extern "C" QRX_API int32_t qrxisgrc(isam_db *db, isam_index *idx, void **fields, void *buf, int32_t size) {
  return guarded<int32_t>("qrxisgrc", -1, [&] {
    return get_rec(db, idx, reinterpret_cast<uint8_t **>(fields), static_cast<uint8_t *>(buf), size);
  });
}
extern "C" QRX_API int32_t igetrec2(isam_db *db, isam_index *idx, void *const *dests, const int32_t *widths) {
  return guarded<int32_t>("igetrec2", -1, [&] { return get_rec2(db, idx, dests, widths); });
}
extern "C" QRX_API int32_t qrxisrrc(isam_db *db, isam_index *idx, void *buf, uint32_t size, uint32_t *len) {
  return guarded<int32_t>("qrxisrrc", -1,
                          [&] { return read_rec(db, idx, static_cast<uint8_t *>(buf), size, len); });
}
extern "C" QRX_API int32_t qrxisgrl(isam_db *db, isam_index *idx, uint32_t *len) {
  return guarded<int32_t>("qrxisgrl", -1, [&] { return get_reclen(db, idx, len); });
}
extern "C" QRX_API int32_t qrxisadd(isam_db *db, isam_index *idx, const void *const *fields) {
  return guarded<int32_t>("qrxisadd", -1, [&] { return add_rec(db, idx, fields); });
}
extern "C" QRX_API int32_t qrxisad2(isam_db *db, isam_index *idx, const void *key, uint32_t keylen,
                                    const void *data, uint32_t len) {
  return guarded<int32_t>("qrxisad2", -1, [&] { return add_rec2(db, idx, key, keylen, data, len); });
}
extern "C" QRX_API int32_t qrxisdel(isam_db *db, isam_index *idx) {
  return guarded<int32_t>("qrxisdel", -1, [&] { return del_rec(db, idx); });
}
extern "C" QRX_API int32_t qrxismod(isam_db *db, isam_index *idx, const void *const *fields) {
  return guarded<int32_t>("qrxismod", -1, [&] { return mod_rec(db, idx, fields); });
}
extern "C" QRX_API int32_t qrxismd2(isam_db *db, isam_index *idx, const void *data, uint32_t len) {
  return guarded<int32_t>("qrxismd2", -1, [&] { return mod_rec2(db, idx, data, len); });
}

extern "C" QRX_API int32_t qrxisfhd(isam_db *db, isam_index *idx) {
  return guarded<int32_t>("qrxisfhd", -1, [&] { return find_head(db, idx); });
}
extern "C" QRX_API int32_t qrxisftl(isam_db *db, isam_index *idx) {
  return guarded<int32_t>("qrxisftl", -1, [&] { return find_tail(db, idx); });
}
extern "C" QRX_API int32_t qrxisfnx(isam_db *db, isam_index *idx) {
  return guarded<int32_t>("qrxisfnx", -1, [&] { return find_next(db, idx); });
}
extern "C" QRX_API int32_t qrxisfpv(isam_db *db, isam_index *idx) {
  return guarded<int32_t>("qrxisfpv", -1, [&] { return find_prev(db, idx); });
}
extern "C" QRX_API int32_t qrxisfky(isam_db *db, isam_index *idx, const void *const *values) {
  return guarded<int32_t>("qrxisfky", -1, [&] { return find_key(db, idx, values); });
}
extern "C" QRX_API int32_t qrxisfrc(isam_db *db, isam_index *idx, const void *const *fields) {
  return guarded<int32_t>("qrxisfrc", -1, [&] { return find_rec(db, idx, fields); });
}
extern "C" QRX_API int32_t qrxismrk(isam_db *db, isam_index *idx) {
  return guarded<int32_t>("qrxismrk", -1, [&] { return mark_rec(db, idx); });
}
extern "C" QRX_API int32_t qrxisfmk(isam_db *db, isam_index *idx) {
  return guarded<int32_t>("qrxisfmk", -1, [&] { return find_mark(db, idx); });
}
extern "C" QRX_API const char *const *qrxisgde(isam_db *db, isam_index *idx) {
  return guarded<const char *const *>("qrxisgde", nullptr, [&] { return get_desc(db, idx); });
}
extern "C" QRX_API int32_t qrxisgdc(isam_db *db, isam_index *idx) {
  return guarded<int32_t>("qrxisgdc", -1, [&] { return get_desc_count(db, idx); });
}
extern "C" QRX_API int32_t qrxisgdn(isam_db *db, isam_index *idx, int32_t k) {
  return guarded<int32_t>("qrxisgdn", -1, [&] { return get_desc_fldnbr(db, idx, k); });
}
extern "C" QRX_API int32_t qrxisgds(isam_db *db, isam_index *idx, int32_t k) {
  return guarded<int32_t>("qrxisgds", -1, [&] { return get_desc_fldstart(db, idx, k); });
}
extern "C" QRX_API int32_t qrxisgdl(isam_db *db, isam_index *idx, int32_t k) {
  return guarded<int32_t>("qrxisgdl", -1, [&] { return get_desc_fldlen(db, idx, k); });
}
extern "C" QRX_API int32_t qrxisgfc(isam_db *db) {
  return guarded<int32_t>("qrxisgfc", -1, [&] { return get_fld_count(db); });
}
extern "C" QRX_API const uint8_t *qrxisgfd(isam_db *db) {
  return guarded<const uint8_t *>("qrxisgfd", nullptr, [&] { return get_fld_desc(db); });
}
extern "C" QRX_API int32_t qrxisgft(isam_db *db, int32_t n) {
  return guarded<int32_t>("qrxisgft", -1, [&] { return get_fld_type(db, n); });
}
extern "C" QRX_API int32_t igetfldlen(isam_db *db, int32_t n) {
  return guarded<int32_t>("igetfldlen", -1, [&] { return get_fld_len(db, n); });
}
extern "C" QRX_API const char *const *qrxisgfn(isam_db *db) {
  return guarded<const char *const *>("qrxisgfn", nullptr, [&] { return get_fld_names(db); });
}
extern "C" QRX_API const char *const *qrxisgin(isam_db *db) {
  return guarded<const char *const *>("qrxisgin", nullptr, [&] { return get_index_names(db); });
}
extern "C" QRX_API int32_t getdisk(void) {
  set_errno(Err::kNone);
  return 0;
}
extern "C" QRX_API int32_t qrxisshd(isam_db *db, isam_index *idx, const char *sep) {
  return guarded<int32_t>("qrxisshd", -1, [&] { return show_desc(db, idx, sep); });
}
extern "C" QRX_API int32_t qrxisshf(isam_db *db, const char *sep) {
  return guarded<int32_t>("qrxisshf", -1, [&] { return show_fields(db, sep); });
}
extern "C" QRX_API int32_t qrxisshi(isam_db *db, const char *sep) {
  return guarded<int32_t>("qrxisshi", -1, [&] { return show_indexes(db, sep); });
}
extern "C" QRX_API int32_t qrxisshw(isam_db *db, isam_index *idx, const void *key, const char *sep) {
  return guarded<int32_t>("qrxisshw", -1,
                          [&] { return show_key(db, idx, static_cast<const uint8_t *>(key), sep); });
}
extern "C" QRX_API int32_t qrxisshr(const void *const *fields, const char *sep) {
  return guarded<int32_t>("qrxisshr", -1,
                          [&] { return show_record(reinterpret_cast<const uint8_t *const *>(fields), sep); });
}
extern "C" QRX_API int32_t qrxisshk(isam_db *db, isam_index *idx, const char *sep) {
  return guarded<int32_t>("qrxisshk", -1, [&] { return show_keyed(db, idx, sep); });
}

extern "C" QRX_API int32_t qrxiscpd(const char *src, const char *dst, const char *idxname, int32_t blocksize,
                                    int32_t create) {
  return guarded<int32_t>("qrxiscpd", -1,
                          [&] { return copy_database(src, dst, idxname, blocksize, create); });
}
extern "C" QRX_API int32_t qrxiscpy(const char *src, const char *dst, const char *idxname,
                                    int32_t blocksize) {
  return guarded<int32_t>("qrxiscpy", -1, [&] { return copy_database(src, dst, idxname, blocksize, 1); });
}
extern "C" QRX_API int32_t qrxisdst(const char *name) {
  return guarded<int32_t>("qrxisdst", -1, [&] { return destroy_db(name); });
}
extern "C" QRX_API int32_t qrxisren(const char *from, const char *to) {
  return guarded<int32_t>("qrxisren", -1, [&] { return rename_db(from, to); });
}
extern "C" QRX_API int32_t qrxismki(isam_db *db, const char *name, const char *const *specs) {
  return guarded<int32_t>("qrxismki", -1, [&] { return mk_index(db, name, specs); });
}
extern "C" QRX_API int32_t qrxisrmi(isam_db *db, const char *name) {
  return guarded<int32_t>("qrxisrmi", -1, [&] { return rm_index(db, name); });
}
extern "C" QRX_API int32_t qrxisnew(isam_db *db, int32_t blocksize, int32_t overwrite) {
  return guarded<int32_t>("qrxisnew", -1, [&] { return new_index_file(db, blocksize, overwrite); });
}
extern "C" QRX_API int32_t qrxisver(const char *name) {
  return guarded<int32_t>("qrxisver", -1, [&] { return verify_db(name); });
}
extern "C" QRX_API int32_t qrxisdmp(const char *name) {
  return guarded<int32_t>("qrxisdmp", -1, [&] { return dump_db(name); });
}
extern "C" QRX_API const char *match_namelist(const char *name, const char *const *list) {
  return guarded<const char *>("match_namelist", nullptr,
                               [&] { return qrx::isam::match_namelist(name, list); });
}

extern "C" QRX_API int32_t isaminit(int32_t, int32_t) __attribute__((alias("qrxisini")));
extern "C" QRX_API int32_t isamexit(void) __attribute__((alias("qrxisxit")));
extern "C" QRX_API void iprterr(void) __attribute__((alias("qrxisprt")));
extern "C" QRX_API isam_db *iopen_db(const char *, int32_t) __attribute__((alias("qrxisopn")));
extern "C" QRX_API int32_t iclose_db(isam_db *) __attribute__((alias("qrxisclo")));
extern "C" QRX_API int32_t iflush_db(isam_db *) __attribute__((alias("qrxisfls")));
extern "C" QRX_API isam_db *idbhandle(const char *) __attribute__((alias("qrxisdbh")));
extern "C" QRX_API isam_index *ihandle(isam_db *, const char *) __attribute__((alias("qrxisih")));
extern "C" QRX_API isam_index *iopen_index(isam_db *, const char *) __attribute__((alias("qrxisiop")));
extern "C" QRX_API int32_t iclose_index(isam_db *, isam_index *) __attribute__((alias("qrxisicl")));
extern "C" QRX_API isam_db *icreate_db(const char *, int32_t, const char *const *)
    __attribute__((alias("qrxiscrt")));
extern "C" QRX_API int32_t imatchkey(isam_db *, isam_index *, const void *const *)
    __attribute__((alias("qrxismk")));
extern "C" QRX_API int32_t ipartialmatch(isam_db *, isam_index *, const void *const *)
    __attribute__((alias("qrxispm")));
extern "C" QRX_API int32_t igetrec(isam_db *, isam_index *, void **, void *, int32_t)
    __attribute__((alias("qrxisgrc")));
extern "C" QRX_API int32_t ireadrec(isam_db *, isam_index *, void *, uint32_t, uint32_t *)
    __attribute__((alias("qrxisrrc")));
extern "C" QRX_API int32_t igetreclen(isam_db *, isam_index *, uint32_t *) __attribute__((alias("qrxisgrl")));
extern "C" QRX_API int32_t iaddrec(isam_db *, isam_index *, const void *const *)
    __attribute__((alias("qrxisadd")));
extern "C" QRX_API int32_t iaddrec2(isam_db *, isam_index *, const void *, uint32_t, const void *, uint32_t)
    __attribute__((alias("qrxisad2")));
extern "C" QRX_API int32_t idelrec(isam_db *, isam_index *) __attribute__((alias("qrxisdel")));
extern "C" QRX_API int32_t imodrec(isam_db *, isam_index *, const void *const *)
    __attribute__((alias("qrxismod")));
extern "C" QRX_API int32_t imodrec2(isam_db *, isam_index *, const void *, uint32_t)
    __attribute__((alias("qrxismd2")));
extern "C" QRX_API int32_t ifindhead(isam_db *, isam_index *) __attribute__((alias("qrxisfhd")));
extern "C" QRX_API int32_t ifindtail(isam_db *, isam_index *) __attribute__((alias("qrxisftl")));
extern "C" QRX_API int32_t ifindnext(isam_db *, isam_index *) __attribute__((alias("qrxisfnx")));
extern "C" QRX_API int32_t ifindprev(isam_db *, isam_index *) __attribute__((alias("qrxisfpv")));
extern "C" QRX_API int32_t ifindkey(isam_db *, isam_index *, const void *const *)
    __attribute__((alias("qrxisfky")));
extern "C" QRX_API int32_t ifindrec(isam_db *, isam_index *, const void *const *)
    __attribute__((alias("qrxisfrc")));
extern "C" QRX_API int32_t imarkrec(isam_db *, isam_index *) __attribute__((alias("qrxismrk")));
extern "C" QRX_API int32_t ifindmark(isam_db *, isam_index *) __attribute__((alias("qrxisfmk")));
extern "C" QRX_API const char *const *igetdesc(isam_db *, isam_index *) __attribute__((alias("qrxisgde")));
extern "C" QRX_API int32_t igetdesc_count(isam_db *, isam_index *) __attribute__((alias("qrxisgdc")));
extern "C" QRX_API int32_t igetdesc_fldnbr(isam_db *, isam_index *, int32_t)
    __attribute__((alias("qrxisgdn")));
extern "C" QRX_API int32_t igetdesc_fldstart(isam_db *, isam_index *, int32_t)
    __attribute__((alias("qrxisgds")));
extern "C" QRX_API int32_t igetdesc_fldlen(isam_db *, isam_index *, int32_t)
    __attribute__((alias("qrxisgdl")));
extern "C" QRX_API int32_t igetfldcount(isam_db *) __attribute__((alias("qrxisgfc")));
extern "C" QRX_API const uint8_t *igetflddesc(isam_db *) __attribute__((alias("qrxisgfd")));
extern "C" QRX_API int32_t igetfldtype(isam_db *, int32_t) __attribute__((alias("qrxisgft")));
extern "C" QRX_API const char *const *igetfldnames(isam_db *) __attribute__((alias("qrxisgfn")));
extern "C" QRX_API const char *const *igetindexnames(isam_db *) __attribute__((alias("qrxisgin")));
extern "C" QRX_API int32_t showdesc(isam_db *, isam_index *, const char *) __attribute__((alias("qrxisshd")));
extern "C" QRX_API int32_t icopy_database(const char *, const char *, const char *, int32_t, int32_t)
    __attribute__((alias("qrxiscpd")));
extern "C" QRX_API int32_t idestroy_db(const char *) __attribute__((alias("qrxisdst")));
extern "C" QRX_API int32_t imkindex(isam_db *, const char *, const char *const *)
    __attribute__((alias("qrxismki")));
extern "C" QRX_API int32_t irmindex(isam_db *, const char *) __attribute__((alias("qrxisrmi")));
extern "C" QRX_API int32_t inew_index_file(isam_db *, int32_t, int32_t) __attribute__((alias("qrxisnew")));
extern "C" QRX_API int32_t iverify_db(const char *) __attribute__((alias("qrxisver")));
