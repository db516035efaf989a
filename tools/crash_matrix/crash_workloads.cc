// crash_workloads.cc - the three workloads of the crash matrix: a B-tree file changed through cbinsert,
// cbmodify and cbdelete; a database of three indexes (one unique) changed through iaddrec, imodrec
// (records that grow move) and idelrec; and a keyed file of fixed-width fields changed through AddRecord,
// UpdateByKey and DeleteByKey. Each also says how the judge opens, verifies, reads and recovers its files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "crash_matrix.h"
#include "db_tool.h"
#include "host/qrxhost.h"
#include "qrx_tool.h"
#include "qrxcb.h"
#include "qrxis.h"
#include "qrxky.h"

namespace qrx::crash {

namespace {

bool has(const std::vector<std::string> &lines, const std::string &part) {
  for (const std::string &l : lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

// A few letters that depend only on the two numbers: keys and names of varying length.
std::string letters(uint64_t a, uint64_t b, uint32_t len) {
  Rng r(a * 1000003 + b);
  std::string s;
  for (uint32_t k = 0; k < len; ++k) s += static_cast<char>('a' + r.below(26));
  return s;
}

// ---------------------------------------------------------------------------------------------------
// B-tree file: key "k<id>-<letters>", item = the index of the operation that wrote it.
// ---------------------------------------------------------------------------------------------------

constexpr uint32_t kTreeBlock = 512;

class BtreeWorkload : public Workload {
 public:
  const char *name() const override { return "B-tree"; }
  std::string key_of(uint32_t id) const override {
    char head[16];
    std::snprintf(head, sizeof head, "k%06u-", id);
    return head + letters(id, 0, id % 29);
  }
  std::string value_of(uint32_t, uint64_t index) const override { return std::to_string(index); }
  uint32_t id_of(const std::string &key) const override {
    return static_cast<uint32_t>(std::stoul(key.substr(1, 6)));
  }

  bool start(const Config &cfg) override {
    path_ = cfg.dir + "/tree.cbt";
    // Few buffers: blocks are written back by eviction in the middle of operations, not only at flushes.
    return cbinit(6, kTreeBlock) == 1;
  }
  bool make() override {
    t_ = cbcreate(path_.c_str(), nullptr, kTreeBlock);
    return t_ != nullptr;
  }
  bool apply(const Op &op) override {
    const std::string k = key_of(op.id);
    const uint32_t len = static_cast<uint32_t>(k.size());
    const uint32_t item = static_cast<uint32_t>(op.index);
    if (op.kind == Op::kAdd) return cbinsert(t_, k.data(), len, item, 0) == 1;
    uint32_t old = 0;
    if (cbfind(t_, k.data(), len, &old) != 2) return false;
    if (op.kind == Op::kDelete) return cbdelete(t_, k.data(), len, old) == 1;
    return cbmodify(t_, k.data(), len, old, k.data(), len, item, 0) == 1;
  }
  bool flush() override { return cbflush(t_) == 1; }
  bool close() override {
    const bool ok = cbclose(t_) == 1;
    t_ = nullptr;
    return ok;
  }
  bool open() override {
    t_ = cbopen(path_.c_str(), 2, nullptr);
    return t_ != nullptr && *qrxcbecd() == 0;
  }

  Observation observe(const Config &cfg) override {
    Observation o;
    path_ = cfg.dir + "/tree.cbt";
    if (cbinit(16, kTreeBlock) != 1) return o.note = "cbinit failed", o;
    cbt_tree *t = cbopen(path_.c_str(), 2, nullptr);
    const std::vector<std::string> lines = take_notices();
    o.opened = t != nullptr;
    if (!o.opened) {
      o.note = std::string("cbopen failed: ") + qrxcberr(static_cast<int32_t>(*qrxcbecd()));
      cbexit();
      return o;
    }
    o.unclean = *qrxcbecd() == 20;
    o.notice = has(lines, "was not closed properly. Verify required") && has(lines, "QRX0001");
    o.verified = cbcheck(t) == 1;
    take_notices();
    if (o.verified) {
      uint32_t item = 0, len = 0;
      std::string key;
      for (int32_t r = cbhead(t, &item); r != -3; r = cbnext(t, &item)) {
        if (r != 1 || cbkeylen(t, &len) != 1) {
          o.note = "the walk of a tree that passed cbcheck failed";
          break;
        }
        key.resize(len);
        if (len > 0 && cbkey(t, key.data(), len) != 1) break;
        o.content[key].push_back(std::to_string(item));
      }
      // A tree that passed the check must also find every entry the walk met: a search descends through
      // the interior nodes the walk never reads.
      for (auto &[key, items] : o.content) {
        uint32_t found = 0;
        if (cbfind(t, key.data(), static_cast<uint32_t>(key.size()), &found) != 2 || items.size() != 1 ||
            std::to_string(found) != items.front())
          items.push_back("not found by cbfind");
      }
    } else {
      // The check wrote the dump by levels; the dump in block order also shows leaves no level reaches.
      o.recovery_ran = true;
      const std::string raw = path_ + ".raw";
      if (FILE *f = std::fopen(raw.c_str(), "w")) {
        qrxcbdmp(t, 1, f);
        std::fclose(f);
      }
      o.recovery_ok = read_dump(cfg.dir + "/tree.dmp", o) | read_dump(raw, o);
    }
    cbclose(t);
    cbexit();
    return o;
  }
  bool recovery_finds_only() const override { return true; }
  uint32_t ops_for(uint32_t configured) const override { return configured * 5; }

 private:
  // Adds every leaf entry of a dump file: lines "NN, offset = ..., len = ..., item = %08lx, key = ...".
  static bool read_dump(const std::string &file, Observation &o) {
    std::ifstream in(file);
    if (!in) return false;
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
      const size_t i = line.find("item = "), k = line.find(", key = ");
      if (i == std::string::npos || k == std::string::npos || line.find("child = ") != std::string::npos)
        continue;
      const uint32_t item = static_cast<uint32_t>(std::stoul(line.substr(i + 7, 8), nullptr, 16));
      o.content[line.substr(k + 8)].push_back(std::to_string(item));
      any = true;
    }
    return any;
  }

  std::string path_;
  cbt_tree *t_ = nullptr;
};

// ---------------------------------------------------------------------------------------------------
// Databases: what the ISAM and keyed workloads share on the judge's side.
// ---------------------------------------------------------------------------------------------------

// Opens the database as its next user would (iopen_db read/write, which verifies an index file that was
// not closed properly), then holds the files against each other with the cross-check of `qrx db verify`;
// when either fails, rebuilds the index file as `qrx db rebuild` does and checks again. The content is
// read from the data file; decode turns a record's field values into its key and value.
Observation observe_db(
    const std::string &name,
    const std::function<std::pair<std::string, std::string>(const uint8_t *const *)> &decode) {
  Observation o;
  if (isaminit(16, 512) != 1) return o.note = "isaminit failed", o;
  isam_db *db = iopen_db(name.c_str(), 2);
  const std::vector<std::string> lines = take_notices();
  o.opened = db != nullptr;
  o.unclean = has(lines, "was not closed properly. Verify required");
  const bool passed = has(lines, "successful") && has(lines, "QRX0002");
  const bool failed = has(lines, "failed") && has(lines, "QRX0003");
  o.notice = o.unclean && has(lines, "QRX0001") && (passed || failed) && !(passed && failed);
  o.library_verify = !o.unclean || passed;
  if (!o.opened) o.note = "iopen_db failed: " + std::string(qrxismsg(*qrxiseno()));
  if (db != nullptr && iclose_db(db) != 1) o.note = "iclose_db failed";
  isamexit();

  const auto cross = [&](std::string &why) {
    tool::CrossCheck c;
    bool read = false;
    {
      tool::IsamSession session(512);  // ends by giving the trace lines back to the default sink
      read = tool::cross_check(name, true, c);
      tool::take_library_lines();
    }
    quiet_library();
    if (read && c.findings.empty()) return true;
    why = c.findings.empty() ? "the cross-check cannot read the files" : c.findings.front();
    return false;
  };
  std::string why;
  o.verified = o.opened && o.library_verify && cross(why);
  if (!o.verified) {
    o.recovery_ran = true;
    // The rebuild prints its summary on standard output and its failure on standard error; the judge's
    // output is the parent's table only, and the failure goes into the note.
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = ::dup(1), saved_err = ::dup(2);
    const std::string err_file = name + ".rebuild-err";
    const int null_fd = ::open("/dev/null", O_WRONLY),
              err_fd = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(null_fd, 1);
    ::dup2(err_fd, 2);
    const int rc = tool::cmd_db_rebuild(name, {}, 0);
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    for (int fd : {saved_out, saved_err, null_fd, err_fd}) ::close(fd);
    quiet_library();
    std::string again, err_line;
    std::ifstream err_in(err_file);
    std::getline(err_in, err_line);
    o.recovery_ok = rc == 0 && cross(again);
    if (!o.recovery_ok)
      o.note = "rebuild " + (rc == 0 ? "left: " + again : "failed: " + err_line) + "; verification: " + why;
  }
  tool::DataFile df;
  if (!df.open(tool::data_file_name(name), why)) {
    o.note += " data file: " + why;
    return o;
  }
  const tool::DataWalk w = df.walk(
      [&](uint32_t, uint32_t, const uint8_t *const *values) {
        auto [k, v] = decode(values);
        o.content[k].push_back(v);
      },
      [](uint32_t, uint32_t) {});
  if (!w.problem.empty()) o.note += " data file damaged at " + w.problem;
  return o;
}

// ---------------------------------------------------------------------------------------------------
// ISAM database: ID (unique index BYID), NAME (a text whose length changes, so modifies move records),
// CITY (8 characters) and AMT (a double); BYNAME over NAME, BYCITY over CITY and AMT.
// ---------------------------------------------------------------------------------------------------

const char *const kIsamFields[] = {"ID,I", "NAME", "CITY,C8", "AMT,D", nullptr};

class IsamWorkload : public Workload {
 public:
  const char *name() const override { return "ISAM"; }
  std::string key_of(uint32_t id) const override { return std::to_string(id); }
  std::string value_of(uint32_t id, uint64_t index) const override {
    return name_of(id, index) + "|" + city_of(id, index) + "|" + std::to_string(amount_of(id, index));
  }

  bool start(const Config &cfg) override {
    name_ = cfg.dir + "/isam";
    return isaminit(6, 512) == 1;
  }
  bool make() override {
    db_ = icreate_db(name_.c_str(), 512, kIsamFields);
    if (db_ == nullptr) return false;
    const char *byid[] = {"ID,I", nullptr}, *byname[] = {"NAME", nullptr},
               *bycity[] = {"CITY,C8", "AMT,D", nullptr};
    return imkindex(db_, "BYID,U", byid) == 1 && imkindex(db_, "BYNAME", byname) == 1 &&
           imkindex(db_, "BYCITY", bycity) == 1 && iclose_db(db_) == 1 && open();
  }
  bool apply(const Op &op) override {
    char id[4];
    qrxis_put_i32(id, static_cast<int32_t>(op.id));
    if (op.kind != Op::kAdd) {
      const void *key[] = {id, nullptr};
      if (ifindkey(db_, byid_, key) != 2) return false;
      if (op.kind == Op::kDelete) return idelrec(db_, byid_) == 1;
    }
    const std::string nm = name_of(op.id, op.index), city = city_of(op.id, op.index);
    char amt[8];
    qrxis_put_f64(amt, static_cast<double>(amount_of(op.id, op.index)));
    const void *values[] = {id, nm.c_str(), city.data(), amt, nullptr};
    return op.kind == Op::kAdd ? iaddrec(db_, nullptr, values) == 1 : imodrec(db_, byid_, values) == 1;
  }
  bool flush() override { return iflush_db(db_) == 1; }
  bool close() override {
    const bool ok = iclose_db(db_) == 1;
    db_ = nullptr;
    return ok;
  }
  bool open() override {
    db_ = iopen_db(name_.c_str(), 2);
    byid_ = db_ != nullptr ? ihandle(db_, "BYID") : nullptr;
    return byid_ != nullptr;
  }

  Observation observe(const Config &cfg) override {
    return observe_db(cfg.dir + "/isam", [this](const uint8_t *const *v) {
      const int32_t id = qrxis_get_i32(v[0]);
      return std::make_pair(std::to_string(id),
                            std::string(reinterpret_cast<const char *>(v[1])) + "|" +
                                std::string(reinterpret_cast<const char *>(v[2]), 8) + "|" +
                                std::to_string(static_cast<int64_t>(qrxis_get_f64(v[3]))));
    });
  }

 private:
  // Names of 1 to 40 letters: a modify that lengthens one moves the record.
  static std::string name_of(uint32_t id, uint64_t index) {
    return letters(id, index, 1 + (id + index) % 40);
  }
  static std::string city_of(uint32_t id, uint64_t index) { return letters(index, id, 8); }
  static int64_t amount_of(uint32_t id, uint64_t index) {
    return static_cast<int64_t>(id) * 1000 + int64_t(index % 997);
  }

  std::string name_;
  isam_db *db_ = nullptr;
  isam_index *byid_ = nullptr;
};

// ---------------------------------------------------------------------------------------------------
// Keyed file: ID (I_INT, the unique "PrimaryIndex"), NAME (I_CHAR 20), BAL (I_DOUBLE): 32-byte records
// with the key in the first 4 bytes, and the index BYNAME over NAME.
// ---------------------------------------------------------------------------------------------------

constexpr int32_t kKeyedRecord = 4 + 20 + 8;

class KeyedWorkload : public Workload {
 public:
  const char *name() const override { return "keyed file"; }
  std::string key_of(uint32_t id) const override { return std::to_string(id); }
  std::string value_of(uint32_t id, uint64_t index) const override {
    return name_of(id, index) + "|" + std::to_string(balance_of(id, index));
  }

  bool start(const Config &cfg) override {
    name_ = cfg.dir + "/keyed";
    return isaminit(6, 512) == 1;
  }
  bool make() override {
    const char *fields[] = {"ID,I", "NAME,C20", "BAL,D", nullptr};
    isam_db *db = icreate_db(name_.c_str(), 512, fields);
    if (db == nullptr) return false;
    const char *primary[] = {"ID,I", nullptr}, *byname[] = {"NAME,C20", nullptr};
    return imkindex(db, "PrimaryIndex,U", primary) == 1 && imkindex(db, "BYNAME", byname) == 1 &&
           iclose_db(db) == 1 && open();
  }
  bool apply(const Op &op) override {
    char rec[kKeyedRecord];
    qrxis_put_i32(rec, static_cast<int32_t>(op.id));
    const std::string nm = name_of(op.id, op.index);
    std::memcpy(rec + 4, nm.data(), 20);
    qrxis_put_f64(rec + 24, static_cast<double>(balance_of(op.id, op.index)));
    if (op.kind == Op::kAdd) return AddRecord(file_, rec, 4, rec, kKeyedRecord) == 0;
    if (op.kind == Op::kDelete) return DeleteByKey(file_, rec, 4) == 0;
    return UpdateByKey(file_, rec, 4, rec, kKeyedRecord) == 0;
  }
  bool durable_by_itself() const override { return !deferred_; }
  bool flush() override {
    deferred_ = true;
    return FlushFile(file_) == 0;
  }
  bool close() override {
    uint32_t reason = 0;
    return CloseFile(file_, &reason) == 0;
  }
  bool open() override {
    uint32_t reason = 0;
    deferred_ = false;
    return OpenKeyedFile(name_.data(), static_cast<int32_t>(name_.size()), QRXKY_USAGE_WRITE, &file_,
                         &reason) == 0;
  }

  Observation observe(const Config &cfg) override {
    return observe_db(cfg.dir + "/keyed", [](const uint8_t *const *v) {
      return std::make_pair(std::to_string(qrxis_get_i32(v[0])),
                            std::string(reinterpret_cast<const char *>(v[1]), 20) + "|" +
                                std::to_string(static_cast<int64_t>(qrxis_get_f64(v[2]))));
    });
  }

 private:
  static std::string name_of(uint32_t id, uint64_t index) {
    std::string n = letters(id, index, 1 + (id + index) % 20);
    return n + std::string(20 - n.size(), ' ');
  }
  static int64_t balance_of(uint32_t id, uint64_t index) {
    return static_cast<int64_t>(id) * 100000 + int64_t(index);
  }

  std::string name_;
  KeyHandle file_{};
  bool deferred_ = false;
};

}  // namespace

Workload *btree_workload() {
  static BtreeWorkload w;
  return &w;
}
Workload *isam_workload() {
  static IsamWorkload w;
  return &w;
}
Workload *keyed_workload() {
  static KeyedWorkload w;
  return &w;
}

}  // namespace qrx::crash
