// demo_keyed.cc - the third part of `qrx demo`: the keyed-file service of qrxky.h on a sample database of
// fixed-width fields. Records are added, read by whole and partial key, walked with cursors both ways,
// updated and deleted through held records and by key, and changed by two threads through cursors of
// their own; every result is compared with an in-memory copy of what the file must hold (key bytes ->
// record bytes, in the index's order), and every step is timed.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "db_tool.h"
#include "qrxky.h"

namespace qrx::tool {

namespace {

// REGION (I_CHAR 4), ID (I_INT), NAME (I_CHAR 20), BAL (I_DOUBLE), QTY (I_SHORT): 38 bytes a record. The
// unique PrimaryIndex is on REGION + ID, so a key is a record's first 8 bytes and a region alone is a
// partial key. IDs are positive, so the index's order is the order of the key bytes.
const char *const kFields[] = {"REGION,C4", "ID,I", "NAME,C20", "BAL,D", "QTY,H", nullptr};
const char *const kRegions[] = {"AFRI", "AMER", "ASIA", "EURO", "OCEA"};
constexpr int32_t kRecLen = 38, kKeyLen = 8;
using Model = std::map<std::string, std::string>;  // key bytes -> record bytes

std::string make_rec(const char *region, int32_t id, const std::string &name, double bal, int16_t qty) {
  std::string r(kRecLen, ' ');
  std::memcpy(r.data(), region, 4);
  qrxis_put_i32(r.data() + 4, id);
  r.replace(8, std::min<size_t>(name.size(), 20), name, 0, 20);
  qrxis_put_f64(r.data() + 28, bal);
  qrxis_put_i16(r.data() + 36, qty);
  return r;
}

// The same record with a new balance, quantity and name.
std::string changed(std::string r, const char *mark) {
  qrxis_put_f64(r.data() + 28, qrxis_get_f64(r.data() + 28) + 1.25);
  qrxis_put_i16(r.data() + 36, static_cast<int16_t>(qrxis_get_i16(r.data() + 36) + 1));
  r.replace(8, 4, mark, 4);
  return r;
}

std::string id_text(const std::string &k) {
  return k.substr(0, 4) + "/" + std::to_string(qrxis_get_i32(k.data() + 4));
}

// Sets why (once) when the condition fails; the condition.
bool check(bool ok, std::string &why, const std::string &what) {
  if (!ok && why.empty()) why = what;
  return ok;
}

struct Keyed {
  KeyHandle file{};
  Model model;
  char buf[kRecLen] = {};
  int32_t len = 0;
  std::string got() const { return std::string(buf, static_cast<size_t>(len)); }

  // Reads the cursor to its end, or up to the first record that does not begin with `stop`, comparing each
  // record with the model's from `it` to `end` (reverse iterators for a backward walk). The number of
  // records read; why set when a record differs, one is missing or one is too many.
  template <class It>
  uint64_t walk(KeyHandle c, int32_t dir, It it, It end, const std::string &stop, std::string &why) {
    uint64_t n = 0;
    int32_t st = 0;
    while ((st = ReadNext(c, dir, buf, kRecLen, &len)) == QRXKY_OK &&
           got().compare(0, stop.size(), stop) == 0) {
      if (!check(it != end && got() == it->second, why,
                 "record " + std::to_string(n) + " of the walk differs"))
        return n;
      ++it, ++n;
    }
    uint32_t reason = 0;  // the end of the file is status 5, reason 14
    check((st == QRXKY_OK && !stop.empty()) ||
              (st == QRXKY_NOT_FOUND && GetReason(c, &reason) == 0 && reason == QRXKY_R_EOF),
          why, "the walk ended with status " + std::to_string(st));
    check(it == end, why, "the walk ended early, after " + std::to_string(n) + " records");
    return n;
  }
};

// One thread's share of the two-thread step: an update cursor from `from` up to `to` (empty: the end).
// Every record is compared with the model (which no thread changes); every ninth is deleted and every
// fourth updated through the held record, and read back by key. The changes are applied afterwards.
struct Share {
  std::string from, to, why;
  std::vector<std::pair<std::string, std::string>> changes;  // key -> new record ("" deleted)
  uint64_t ops = 0, reads = 0, updates = 0, deletes = 0;

  void run(const Keyed &k) {
    KeyHandle c{}, u{};
    char buf[kRecLen];
    int32_t len = 0;
    uint32_t reason = 0;
    auto it = k.model.lower_bound(from);
    const auto end = to.empty() ? k.model.end() : k.model.lower_bound(to);
    if (it == end) return;  // nothing in this share
    ++ops;
    if (!check(OpenUpdateCursor(k.file, from.data(), kKeyLen, &c) == 0, why, "OpenUpdateCursor failed"))
      return;
    for (; it != end && why.empty(); ++it, ++reads) {
      const int32_t st = ReadNextForUpdate(c, 0, buf, kRecLen, &len, &u);
      ++ops;
      const std::string rec(buf, st == 0 ? static_cast<size_t>(len) : 0);
      if (!check(st == 0 && rec == it->second, why,
                 "record " + id_text(it->first) + " read for update differs"))
        break;
      if (reads % 9 == 4) {
        check(DeleteHeldRecord(u) == 0, why, "DeleteHeldRecord of " + id_text(it->first) + " failed");
        changes.emplace_back(it->first, ""), ++deletes, ++ops;
      } else if (reads % 4 == 1) {
        const std::string fresh = changed(rec, "thrd");
        check(UpdateHeldRecord(u, fresh.data(), kRecLen) == 0, why, "UpdateHeldRecord failed");
        char back[kRecLen];
        check(ReadByKey(k.file, it->first.data(), kKeyLen, back, kRecLen, &len) == 0 &&
                  std::string(back, kRecLen) == fresh,
              why, "the update of " + id_text(it->first) + " did not read back");
        changes.emplace_back(it->first, fresh), ++updates, ops += 2;
      }
    }
    check(CloseCursor(c, &reason) == 0, why, "CloseCursor failed"), ++ops;
  }
};

}  // namespace

int demo_keyed(const std::string &dir, uint32_t records, uint32_t blksize, uint64_t seed) {
  const std::string name = (std::filesystem::path(dir) / "keyed").string();
  std::error_code ec;
  for (const std::string &f : {data_file_name(name), index_file_name(name)}) std::filesystem::remove(f, ec);
  std::printf("qrx demo 3/3, a keyed file: %u records into %s through the keyed-file service\n\n", records,
              name.c_str());
  IsamSession session(blksize);
  if (!session.ok()) return 1;
  Keyed k;
  Gen gen(seed + 3);
  // One line of the table per step, unless a step failed before: fn(why, detail) runs the step and returns
  // the number of service calls it made; a non-empty why fails it, with the library's last error line.
  bool ok = true;
  std::printf("%-34s %-6s %10s %9s %11s  %s\n", "step", "", "operations", "ms", "ops/s", "detail");
  auto step = [&](const char *what, auto &&fn) {
    if (!ok) return;
    std::string why, detail;
    take_library_lines();  // the lines of refusals the steps before asked for
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t ops = fn(why, detail);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    ok = why.empty();
    const std::vector<std::string> lines = take_library_lines();
    if (!ok && !lines.empty()) why += " (the library's last error line: " + lines.back() + ")";
    std::printf("%-34s %-6s %10llu %9.1f %11.0f  %s\n", what, ok ? "ok" : "FAILED",
                static_cast<unsigned long long>(ops), ms, ms > 0 ? ops / ms * 1000 : 0.0,
                (ok ? detail : why).c_str());
    std::fflush(stdout);
  };
  uint32_t reason = 0;
  auto open = [&](int32_t usage, std::string &why) {
    return check(OpenKeyedFile(name.data(), static_cast<int32_t>(name.size()), usage, &k.file, &reason) == 0,
                 why, "OpenKeyedFile failed, reason " + std::to_string(reason));
  };
  step("create the database and open it", [&](std::string &why, std::string &detail) -> uint64_t {
    const char *const key_fields[] = {"REGION,C4", "ID,I", nullptr};
    isam_db *db = icreate_db(name.c_str(), static_cast<int32_t>(blksize), kFields);
    check(db != nullptr && imkindex(db, "PrimaryIndex,U", key_fields) == 1, why, isam_error_text());
    if (db != nullptr) check(iclose_db(db) == 1, why, isam_error_text());
    uint32_t off = 0, klen = 0, rlen = 0;
    if (why.empty() && open(QRXKY_USAGE_WRITE | QRXKY_USAGE_DEFER_FLUSH, why))
      check(QueryKey(k.file, &off, &klen) == 0 && QueryRecLen(k.file, &rlen) == 0 && off == 0 &&
                klen == kKeyLen && rlen == kRecLen,
            why, "the key or record length is not as the fields make it");
    detail = "REGION,C4 ID,I NAME,C20 BAL,D QTY,H; key REGION+ID: 8 of 38 bytes";
    return 4;
  });
  step("add records", [&](std::string &why, std::string &detail) -> uint64_t {
    std::vector<int32_t> ids(records);
    for (uint32_t i = 0; i < records; ++i) ids[i] = static_cast<int32_t>(i + 1);
    for (uint32_t i = records; i > 1; --i) std::swap(ids[i - 1], ids[gen.next() % i]);  // in random order
    uint64_t dups = 0;
    for (uint32_t i = 0; i < records && why.empty(); ++i) {
      const std::string r =
          make_rec(kRegions[gen.next() % std::size(kRegions)], ids[i], make_word(gen),
                   static_cast<double>(gen.next() % 1000000) / 100, int16_t(gen.next() % 500));
      check(AddRecord(k.file, r.data(), kKeyLen, r.data(), kRecLen) == 0, why, "AddRecord failed");
      k.model.emplace(r.substr(0, kKeyLen), r);
      if (i % 100 == 0 && ++dups)
        check(AddRecord(k.file, r.data(), kKeyLen, r.data(), kRecLen) == QRXKY_DUPLICATE, why,
              "a duplicate key was not refused with status 4");
    }
    detail =
        std::to_string(records) + " added in random order, " + std::to_string(dups) + " duplicates refused";
    return records + dups;
  });
  step("read by whole key", [&](std::string &why, std::string &detail) -> uint64_t {
    uint64_t n = 0, absent = 0;
    for (auto it = k.model.begin(); it != k.model.end() && why.empty(); ++it, ++n) {
      check(
          ReadByKey(k.file, it->first.data(), kKeyLen, k.buf, kRecLen, &k.len) == 0 && k.got() == it->second,
          why, "record " + id_text(it->first) + " read by key differs");
      std::string other = it->first;  // the same ID in another region: not there
      std::memcpy(other.data(), kRegions[(n + 1) % std::size(kRegions)], 4);
      if (n % 10 == 0 && other != it->first && ++absent)
        check(ReadByKey(k.file, other.data(), kKeyLen, k.buf, kRecLen, &k.len) == QRXKY_NOT_FOUND, why,
              "a key that is not there was found");
    }
    detail = std::to_string(n) + " records, " + std::to_string(absent) + " absent keys not found";
    return n + absent;
  });
  step("read by partial key", [&](std::string &why, std::string &detail) -> uint64_t {
    uint64_t n = 0, found = 0;
    for (const char *region : kRegions)
      for (int32_t hi = -1; hi <= static_cast<int32_t>(records >> 8) + 2 && why.empty(); ++hi, ++n) {
        std::string part(region, 4);  // the region alone, or with the ID's first three bytes (the last
                                      // two beyond every ID)
        if (hi >= 0) part.resize(kKeyLen), qrxis_put_i32(part.data() + 4, hi << 8), part.resize(7);
        const auto it = k.model.lower_bound(part);
        const bool there = it != k.model.end() && it->first.compare(0, part.size(), part) == 0;
        const int32_t st =
            ReadByKey(k.file, part.data(), static_cast<int32_t>(part.size()), k.buf, kRecLen, &k.len);
        check(there ? st == 0 && k.got() == it->second : st == QRXKY_NOT_FOUND, why,
              "partial key " + std::to_string(part.size()) + " bytes of " + region + " gave status " +
                  std::to_string(st));
        found += there;
      }
    detail =
        std::to_string(n) + " keys of 4 and 7 bytes: " + std::to_string(found) + " found, the rest status 5";
    return n;
  });
  KeyHandle c{};
  // Opens the cursor c without a key, on the first record, and walks it to the end.
  auto walk_all = [&](std::string &why) -> uint64_t {
    return check(OpenCursor(k.file, QRXKY_KEY_HEAD, 0, &c) == 0, why, "OpenCursor failed")
               ? k.walk(c, 0, k.model.begin(), k.model.end(), "", why)
               : 0;
  };
  step("walk forward with a cursor", [&](std::string &why, std::string &detail) -> uint64_t {
    const uint64_t n = walk_all(why);
    detail = std::to_string(n) + " records in key order";
    return n + 2;
  });
  step("walk backward from the tail", [&](std::string &why, std::string &detail) -> uint64_t {
    const uint64_t n = check(RepositionCursor(c, QRXKY_KEY_TAIL, 0) == 0, why, "RepositionCursor failed")
                           ? k.walk(c, 1, k.model.rbegin(), k.model.rend(), "", why)
                           : 0;
    detail = std::to_string(n) + " records in reverse key order";
    return n + 2;
  });
  step("walk each region from its name", [&](std::string &why, std::string &detail) -> uint64_t {
    uint64_t n = 0;
    for (const char *region : kRegions) {
      const std::string part(region, 4);
      const uint64_t got =
          check(RepositionCursor(c, region, 4) == 0, why, "RepositionCursor failed")
              ? k.walk(c, 0, k.model.lower_bound(part), k.model.lower_bound(part + "\xff"), part, why)
              : 0;
      n += got + 1;
      detail += (detail.empty() ? "" : ", ") + part + " " + std::to_string(got);
    }
    check(CloseCursor(c, &reason) == 0, why, "CloseCursor failed");
    return n + 1;
  });
  auto by_key = [&](const char *what, int every, int at, auto &&op) {
    step(what, [&](std::string &why, std::string &detail) -> uint64_t {
      uint64_t n = 0, ops = 0;
      for (auto it = k.model.begin(); it != k.model.end() && why.empty();)
        it = qrxis_get_i32(it->first.data() + 4) % every != at ? std::next(it) : (++n, op(it, why, ops));
      detail = std::to_string(n) + " records, " + std::to_string(k.model.size()) + " left";
      return ops;
    });
  };
  KeyHandle u{};
  by_key("update held records", 3, 1, [&](Model::iterator it, std::string &why, uint64_t &ops) {
    check(ReadByKeyForUpdate(k.file, it->first.data(), kKeyLen, k.buf, kRecLen, &k.len, &u) == 0 &&
              k.got() == it->second,
          why, "ReadByKeyForUpdate of " + id_text(it->first) + " differs");
    it->second = changed(it->second, "held");
    check(UpdateHeldRecord(u, it->second.data(), kRecLen) == 0, why, "UpdateHeldRecord failed");
    check(UpdateHeldRecord(u, it->second.data(), kRecLen) == QRXKY_BAD_HANDLE, why,
          "a second update was allowed");
    ops += 3;
    return ++it;
  });
  by_key("delete held records", 7, 2, [&](Model::iterator it, std::string &why, uint64_t &ops) {
    check(ReadByKeyForUpdate(k.file, it->first.data(), kKeyLen, k.buf, kRecLen, &k.len, &u) == 0 &&
              k.got() == it->second && DeleteHeldRecord(u) == 0,
          why, "reading " + id_text(it->first) + " for update and deleting it failed");
    check(ReadByKey(k.file, it->first.data(), kKeyLen, k.buf, kRecLen, &k.len) == QRXKY_NOT_FOUND, why,
          "a deleted record was still there");
    ops += 3;
    return k.model.erase(it);
  });
  by_key("update and delete by key", 5, 3, [&](Model::iterator it, std::string &why, uint64_t &ops) {
    const std::string key = it->first;
    if (qrxis_get_i32(key.data() + 4) % 2 == 0) {  // half of them deleted, half updated
      check(DeleteByKey(k.file, key.data(), kKeyLen) == 0, why, "DeleteByKey failed");
      it = k.model.erase(it);
      check(UpdateByKey(k.file, key.data(), kKeyLen, key.data(), kKeyLen) == QRXKY_NOT_FOUND &&
                DeleteByKey(k.file, key.data(), kKeyLen) == QRXKY_NOT_FOUND,
            why, "a key deleted by key was still there");
      ops += 3;
      return it;
    }
    it->second = changed(it->second, "bkey");
    check(UpdateByKey(k.file, key.data(), kKeyLen, it->second.data(), kRecLen) == 0 &&
              ReadByKey(k.file, key.data(), kKeyLen, k.buf, kRecLen, &k.len) == 0 && k.got() == it->second,
          why, "UpdateByKey of " + id_text(key) + " did not read back");
    ops += 2;
    return ++it;
  });
  step("two threads, an update cursor each", [&](std::string &why, std::string &detail) -> uint64_t {
    Share share[2];
    std::vector<std::string> keys;
    for (const auto &kv : k.model) keys.push_back(kv.first);
    const size_t half = keys.size() / 2;
    share[0].from = std::string(kKeyLen, '\0');
    share[0].to = share[1].from = half < keys.size() ? keys[half] : std::string(kKeyLen, '\xff');
    std::thread th[2];
    for (int i = 0; i < 2; ++i) th[i] = std::thread([&, i] { share[i].run(k); });
    uint64_t ops = 0;
    for (int i = 0; i < 2; ++i) {
      th[i].join();
      check(share[i].why.empty(), why, "thread " + std::to_string(i + 1) + ": " + share[i].why);
      for (const auto &[key, rec] : share[i].changes)
        rec.empty() ? (void)k.model.erase(key) : (void)(k.model[key] = rec);
      detail += (i ? "; " : "") + std::to_string(share[i].reads) + " read, " +
                std::to_string(share[i].updates) + " updated, " + std::to_string(share[i].deletes) +
                " deleted";
      ops += share[i].ops;
    }
    return ops;
  });
  step("walk the whole file", [&](std::string &why, std::string &detail) -> uint64_t {
    const uint64_t n = walk_all(why);
    check(CloseCursor(c, &reason) == 0, why, "CloseCursor failed");
    detail = std::to_string(n) + " records, each as the model holds it";
    return n + 3;
  });
  step("flush, close and end the service", [&](std::string &why, std::string &detail) -> uint64_t {
    check(FlushFile(k.file) == 0 && CloseFile(k.file, &reason) == 0, why, "FlushFile or CloseFile failed");
    check(ReadByKey(k.file, k.buf, kKeyLen, k.buf, kRecLen, &k.len) == QRXKY_BAD_HANDLE, why,
          "the closed file's handle was not refused");
    check(Terminate() == 0, why, "Terminate failed");
    detail = "a closed file's handle is refused with status 2";
    return 4;
  });
  step("reopen read-only and walk", [&](std::string &why, std::string &detail) -> uint64_t {
    const uint64_t n = open(0, why) ? walk_all(why) : 0;
    check(CloseFile(k.file, &reason) == 0 && Terminate() == 0, why, "CloseFile or Terminate failed");
    detail = std::to_string(n) + " records on disk as the model holds them";
    return n + 5;
  });
  Terminate();  // a step that failed may have left the file open
  step("verify with the cross-check", [&](std::string &why, std::string &detail) -> uint64_t {
    CrossCheck cc;
    check(cross_check(name, false, cc) && cc.findings.empty() && cc.records == k.model.size(), why,
          "the data and index files disagree" + (cc.findings.empty() ? "" : ": " + cc.findings.front()));
    detail = std::to_string(cc.records) + " records, " + std::to_string(cc.entries) + " entries: clean";
    return cc.records;
  });
  return ok ? 0 : 1;
}

}  // namespace qrx::tool
