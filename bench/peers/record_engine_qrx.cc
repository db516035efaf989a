// record_engine_qrx.cc - this library's ISAM layer behind the record benchmark's engine interface.
//
// The database has the five fields "ID,I", "NAME,C", "CITY,C", "AMOUNT,D", "CODE,C8" (texts compared
// byte for byte, like every peer's) and the indexes "BYID,U", "BYNAME" and "BYCITY" (CITY + AMOUNT); its
// index file has 4096-byte blocks. The cache budget is split in two halves: the buffer pool of the index
// file (4096-byte buffers) and the page cache of the data file (QRX_DBCACHE, 4096-byte pages). The
// layer is started at create and ended at close, so that the next create starts from a fresh pool and a
// fresh database object.
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "bench/peers/records.h"
#include "qrxis.h"

namespace qrx::peers {
namespace {

constexpr const char *kFields[] = {"ID,I", "NAME,C", "CITY,C", "AMOUNT,D", "CODE,C8", nullptr};

class QrxRecordEngine final : public RecordEngine {
 public:
  ~QrxRecordEngine() override {
    if (db_ != nullptr) iclose_db(db_);
    if (started_) isamexit();
  }

  const char *name() const override { return "qrx"; }
  std::vector<std::string> files(const std::string &base) const override {
    return {base + ".DB", base + ".IDX"};
  }

  void create(const std::string &base, uint64_t cache_bytes) override {
    const auto half = static_cast<int32_t>(std::max<uint64_t>(cache_bytes / 2 / kPageSize, 16));
    if (setenv("QRX_DBCACHE", std::to_string(half).c_str(), 1) != 0) fail("setenv");
    if (isaminit(half, kPageSize) != 1) fail("isaminit");
    started_ = true;
    for (const auto &f : files(base)) remove_file(f);
    db_ = icreate_db(base.c_str(), kPageSize, kFields);
    if (db_ == nullptr) fail("icreate_db");
    const char *by_id[] = {"ID,I", nullptr};
    const char *by_name[] = {"NAME,C", nullptr};
    const char *by_city[] = {"CITY,C", "AMOUNT,D", nullptr};
    if (imkindex(db_, "BYID,U", by_id) != 1 || imkindex(db_, "BYNAME", by_name) != 1 ||
        imkindex(db_, "BYCITY", by_city) != 1)
      fail("imkindex");
    by_id_ = handle("BYID");
    by_name_ = handle("BYNAME");
    by_city_ = handle("BYCITY");
    physical_ = handle("Physical Index");
  }

  void flush() override {
    if (iflush_db(db_) != 1) fail("iflush_db");
  }

  void close() override {
    isam_db *db = db_;
    db_ = nullptr;
    if (db != nullptr && iclose_db(db) != 1) fail("iclose_db");
    if (started_) {
      started_ = false;
      if (isamexit() != 1) fail("isamexit");
    }
  }

  void add(const Record &r) override {
    Stored s(r);
    if (iaddrec(db_, nullptr, s.fields) != 1) fail("iaddrec");
  }

  bool get_by_id(uint32_t id, Record *out) override { return find_id(id) && read_rec(by_id_, out); }

  bool get_by_name(const char *name, Record *out) override {
    const void *key[] = {name, nullptr};
    const int32_t r = ifindkey(db_, by_name_, key);
    if (r == -1) fail("ifindkey");
    return r == 2 && read_rec(by_name_, out);
  }

  uint32_t range(const char *city, double amount, uint32_t count, RangeDigest &d) override {
    uint8_t amt[8];
    qrxis_put_f64(amt, amount);
    const void *key[] = {city, amt, nullptr};
    int32_t r = ifindkey(db_, by_city_, key);
    if (r == -1) fail("ifindkey");
    // After a find that gave 3 the index stands on the next greater entry, or past its last one: the
    // read then gives -3.
    uint32_t got = 0;
    Record rec;
    while (got < count) {
      r = get(by_city_, &rec);
      if (r != 1) break;
      d.add(rec);
      ++got;
      if (got < count && (r = ifindnext(db_, by_city_)) != 1) break;
    }
    if (r == -1) fail("igetrec or ifindnext");
    return got;
  }

  void scan(RecordDigest &d) override {
    Record rec;
    int32_t r = ifindhead(db_, physical_);
    for (; r == 1; r = ifindnext(db_, physical_)) {
      if (!read_rec(physical_, &rec)) fail("igetrec");
      d.add(rec);
    }
    if (r != -3) fail("ifindnext");
  }

  bool set_code(uint32_t id, const char (&code)[kCodeLen]) override {
    Record rec;
    if (!get_by_id(id, &rec)) return false;
    std::memcpy(rec.code, code, kCodeLen);
    Stored s(rec);
    if (imodrec(db_, by_id_, s.fields) != 1) fail("imodrec");
    return true;
  }

  bool set_name(uint32_t id, const char *name) override {
    Record rec;
    if (!get_by_id(id, &rec)) return false;
    std::strncpy(rec.name, name, kNameMax);
    rec.name[kNameMax] = '\0';
    Stored s(rec);
    if (imodrec(db_, by_id_, s.fields) != 1) fail("imodrec");
    return true;
  }

  bool remove(uint32_t id) override {
    if (!find_id(id)) return false;
    if (idelrec(db_, by_id_) != 1) fail("idelrec");
    return true;
  }

 private:
  // A record's field values in their stored form.
  struct Stored {
    uint8_t id[4];
    uint8_t amount[8];
    const void *fields[6];
    explicit Stored(const Record &r) {
      qrxis_put_u32(id, r.id);
      qrxis_put_f64(amount, r.amount);
      fields[0] = id, fields[1] = r.name, fields[2] = r.city, fields[3] = amount, fields[4] = r.code;
      fields[5] = nullptr;
    }
  };

  [[noreturn]] static void fail(const char *what) {
    throw EngineError(std::string(what) + " failed: " + qrxismsg(*qrxiseno()) + " (isam error " +
                      std::to_string(*qrxiseno()) + ", B-tree error " + std::to_string(*qrxcbecd()) + ")");
  }

  isam_index *handle(const char *name) {
    isam_index *idx = ihandle(db_, name);
    if (idx == nullptr) fail("ihandle");
    return idx;
  }

  bool find_id(uint32_t id) {
    uint8_t key[4];
    qrxis_put_u32(key, id);
    const void *values[] = {key, nullptr};
    const int32_t r = ifindkey(db_, by_id_, values);
    if (r == -1) fail("ifindkey");
    return r == 2;
  }

  // The current record of idx, every field decoded into *out: 1, or igetrec's result.
  int32_t get(isam_index *idx, Record *out) {
    void *f[6];
    const int32_t r = igetrec(db_, idx, f, buf_, sizeof buf_);
    if (r != 1) return r;
    out->id = qrxis_get_u32(f[0]);
    std::strncpy(out->name, static_cast<const char *>(f[1]), kNameMax);
    out->name[kNameMax] = '\0';
    std::strncpy(out->city, static_cast<const char *>(f[2]), sizeof out->city - 1);
    out->city[sizeof out->city - 1] = '\0';
    out->amount = qrxis_get_f64(f[3]);
    std::memcpy(out->code, f[4], kCodeLen);
    return 1;
  }
  bool read_rec(isam_index *idx, Record *out) {
    const int32_t r = get(idx, out);
    if (r == -1) fail("igetrec");
    return r == 1;
  }

  isam_db *db_ = nullptr;
  isam_index *by_id_ = nullptr, *by_name_ = nullptr, *by_city_ = nullptr, *physical_ = nullptr;
  bool started_ = false;
  uint8_t buf_[256] = {};
};

}  // namespace

std::unique_ptr<RecordEngine> make_qrx_record_engine() {
  return std::make_unique<QrxRecordEngine>();
}

}  // namespace qrx::peers
