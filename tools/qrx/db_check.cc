// db_check.cc - `qrx db stat | verify | rebuild`: the data file read by its layout and the index file
// read through the B-tree calls, each held against the other.
//
// The cross-check: every record has exactly one entry in every index, holding the key its fields make;
// every entry points at a record; unique indexes hold no key twice; every hole has one offset key and
// one size key that agree with it, and no key names a hole the data file does not hold; no two holes
// touch. A data file whose walk meets damage is reported at the offset where it stopped; entries and
// keys behind that offset are then not judged.
#include <algorithm>
#include <cstdio>
#include <map>
#include <unordered_map>

#include "db_tool.h"

namespace qrx::tool {

namespace {

constexpr size_t kShownPerKind = 10;  // findings of one kind listed without --all

// Findings grouped by kind: each kind lists its first ones and counts the rest (all of them with --all).
class Findings {
 public:
  Findings(bool all, std::vector<std::string> &out, uint64_t &total) : all_(all), out_(out), total_(total) {}
  void add(const std::string &kind, const std::string &text) {
    ++total_;
    if (all_ || ++shown_[kind] <= kShownPerKind)
      out_.push_back(text);
    else
      ++more_[kind];
  }
  void finish() {
    for (const auto &[kind, n] : more_) out_.push_back("... and " + std::to_string(n) + " more: " + kind);
  }

 private:
  bool all_;
  std::vector<std::string> &out_;
  uint64_t &total_;
  std::map<std::string, size_t> shown_, more_;
};

std::string at(uint32_t off) {
  return "offset " + std::to_string(off);
}

// A limit on the keys a walk of the index file may meet: more than the file can hold means a cycle.
uint64_t key_limit(const std::string &idx) {
  constexpr uint64_t kSmallestEntry = 4 + 4 + 4 + 1;  // directory entry and a one-byte key
  return static_cast<uint64_t>(std::max<int64_t>(file_size(idx), 0)) / kSmallestEntry + 1;
}

// The index descriptions of the old index file and its block size; false with why.
bool old_descriptions(const std::string &name, std::vector<IndexDesc> &descs,
                      const std::vector<FieldDesc> &fields, std::string &why) {
  IndexFile ix;
  if (!ix.open(index_file_name(name), 1, why) || !ix.read_descriptions(fields, descs, why)) return false;
  for (const IndexDesc &d : descs)
    if (!d.problem.empty()) {
      why = "index " + d.name + ": " + d.problem;
      return false;
    }
  return true;
}

}  // namespace

bool cross_check(const std::string &name, bool all, CrossCheck &out) {
  Findings found(all, out.findings, out.total);
  const std::string data = data_file_name(name), idx = index_file_name(name);
  DataFile df;
  std::string why;
  if (!df.open(data, why)) {
    found.add("data file", data + ": " + why);
    return false;
  }
  const std::vector<FieldDesc> &fields = df.header().fields;

  IndexFile ix;
  std::vector<IndexDesc> descs;
  bool index_ok = false;
  if (!is_file(idx)) {
    found.add("index file", idx + ": missing; qrx db rebuild " + name + " --index ... makes a new one");
  } else if (!ix.open(idx, 1, why)) {
    found.add("index file", idx + ": " + why);
  } else {
    // Without the descriptions the entries' order is unknown to the check: it takes them byte for byte.
    index_ok = ix.read_descriptions(fields, descs, why);
    if (!index_ok) found.add("index file", idx + ": " + why);
    take_library_lines();
    if (cbcheck(ix.tree()) != 1) {
      found.add("index file", idx + ": the B-tree check failed (dump in " + dump_path(idx) + ")" +
                                  (*qrxcbecd() != 0 ? ": " + last_error_text() : "") +
                                  (index_ok ? "" : "; entries were compared byte for byte"));
      for (const std::string &line : take_library_lines()) found.add("B-tree check", idx + ": " + line);
    }
    for (const IndexDesc &d : descs) {
      if (!d.problem.empty()) found.add("index description", idx + ": index " + d.name + ": " + d.problem);
      if (d.number > 0) ++out.indexes;
    }
  }

  // The data file: what every index must hold, the records and the holes.
  std::map<uint32_t, const IndexDesc *> by_number;
  for (const IndexDesc &d : descs)
    if (d.number > 0 && d.problem.empty()) by_number[d.number] = &d;
  std::map<uint32_t, std::unordered_map<uint32_t, std::string>> expected;  // number -> offset -> key
  std::vector<uint32_t> records;
  std::vector<std::pair<uint32_t, uint32_t>> holes;  // offset, free bytes
  Progress data_bar("checking the data file", df.header().size);
  const DataWalk w = df.walk(
      [&](uint32_t off, uint32_t, const uint8_t *const *values) {
        if (records.size() % 1024 == 0) data_bar.update(off);
        records.push_back(off);
        for (const auto &[n, d] : by_number) expected[n].emplace(off, record_key(*d, fields, values));
      },
      [&](uint32_t off, uint32_t size) {
        if (!holes.empty() && uint64_t{holes.back().first} + 4 + holes.back().second == off)
          found.add("touching holes", data + ": the holes at " + at(holes.back().first) + " and " + at(off) +
                                          " touch (one hole should span both)");
        holes.emplace_back(off, size);
      });
  out.records = w.records;
  out.holes = w.holes;
  data_bar.finish();
  if (!w.problem.empty()) found.add("data file", data + ": damaged at " + w.problem);
  // Behind damage the records are unknown: entries and keys there are not judged.
  const uint64_t judged_end = w.bad_offset >= 0 ? static_cast<uint64_t>(w.bad_offset) : UINT64_MAX;

  if (index_ok) {
    std::map<uint32_t, uint32_t> offset_keys;     // hole offset -> size
    std::multimap<uint32_t, uint32_t> size_keys;  // hole size -> offset
    std::map<uint32_t, std::string> last_key;     // a unique index's previous key
    Progress index_bar("checking the index file", w.records * by_number.size() + 2 * w.holes);
    uint64_t keys = 0;
    const std::string stop = ix.walk(
        [&](const uint8_t *key, uint32_t len, uint32_t item) {
          if (++keys % 1024 == 0) index_bar.update(keys);
          if (key[0] == 0x00) return;
          if (key[0] == 0xFE || key[0] == 0xFF) {
            if (len != 5)
              return found.add("hole keys", idx + ": a free-space key of " + std::to_string(len) + " bytes");
            const uint32_t v = qrxis_get_u32(key + 1);
            if (key[0] == 0xFF) return void(size_keys.emplace(v, item));
            if (!offset_keys.emplace(v, item).second)
              found.add("hole keys", idx + ": two offset keys for the hole at " + at(v));
            return;
          }
          ++out.entries;
          const auto d = by_number.find(key[0]);
          if (d == by_number.end()) {
            const bool described = std::any_of(descs.begin(), descs.end(),
                                               [&](const IndexDesc &x) { return x.number == key[0]; });
            if (!described)
              found.add("entries without index",
                        idx + ": an entry of index number " + std::to_string(key[0]) +
                            ", which has no description (record at " + at(item) + ")");
            return;
          }
          const IndexDesc &desc = *d->second;
          const std::string k(reinterpret_cast<const char *>(key), len);
          if (desc.unique) {
            auto &prev = last_key[desc.number];
            if (!prev.empty() && key_compare(prev.data(), static_cast<uint32_t>(prev.size()), key, len) == 0)
              found.add("unique " + desc.name, "unique index " + desc.name + " holds the key " +
                                                   show_key(desc, fields, k) + " twice (record at " +
                                                   at(item) + ")");
            prev = k;
          }
          if (item >= judged_end) return;
          auto &want = expected[desc.number];
          const auto e = want.find(item);
          if (e == want.end()) {
            const bool is_record = std::binary_search(records.begin(), records.end(), item);
            found.add("stray entries in " + desc.name,
                      is_record ? "index " + desc.name + " holds a second entry for the record at " + at(item)
                                : "index " + desc.name + ": an entry points at " + at(item) +
                                      ", where no record starts");
            return;
          }
          if (e->second != k)
            found.add("wrong keys in " + desc.name, "index " + desc.name + ": the entry for the record at " +
                                                        at(item) + " holds " + show_key(desc, fields, k) +
                                                        "; the record's key is " +
                                                        show_key(desc, fields, e->second));
          want.erase(e);
        },
        key_limit(idx));
    index_bar.finish();
    if (!stop.empty()) found.add("index file", idx + ": " + stop);
    for (auto &[n, want] : expected) {
      std::vector<uint32_t> missing;
      for (const auto &kv : want) missing.push_back(kv.first);
      std::sort(missing.begin(), missing.end());
      for (uint32_t off : missing)
        found.add("records missing from " + by_number[n]->name,
                  "the record at " + at(off) + " has no entry in index " + by_number[n]->name);
    }
    for (const auto &[off, size] : holes) {
      const auto o = offset_keys.find(off);
      if (o == offset_keys.end())
        found.add("holes without keys", "the hole at " + at(off) + " (" + std::to_string(size) +
                                            " bytes) has no offset key; its space is not reused");
      else if (o->second != size)
        found.add("hole keys", "the offset key of the hole at " + at(off) + " says " +
                                   std::to_string(o->second) + " bytes; the hole has " +
                                   std::to_string(size));
      if (o != offset_keys.end()) offset_keys.erase(o);
      auto [lo, hi] = size_keys.equal_range(size);
      while (lo != hi && lo->second != off) ++lo;
      if (lo == hi)
        found.add("holes without keys",
                  "the hole at " + at(off) + " (" + std::to_string(size) + " bytes) has no size key");
      else
        size_keys.erase(lo);
    }
    for (const auto &[off, size] : offset_keys)
      if (off < judged_end)
        found.add("stray hole keys", "an offset key names a hole at " + at(off) + " (" +
                                         std::to_string(size) + " bytes) that the data file does not hold");
    for (const auto &[size, off] : size_keys)
      if (off < judged_end)
        found.add("stray hole keys", "a size key names a hole at " + at(off) + " (" + std::to_string(size) +
                                         " bytes) that the data file does not hold");
  }
  found.finish();
  return true;
}

int cmd_db_verify(const std::string &name, bool all) {
  if (!check_db_files(name, true)) return 1;
  IsamSession session(db_blksize(name));
  if (!session.ok()) return 1;
  CrossCheck c;
  const bool read = cross_check(name, all, c);
  if (read && c.findings.empty()) {
    std::printf("%s: clean: %s, %s, %s holding %s\n", name.c_str(), count_of(c.records, "record").c_str(),
                count_of(c.holes, "hole").c_str(), count_of(c.indexes, "index").c_str(),
                count_of(c.entries, "entry").c_str());
    return 0;
  }
  for (const std::string &f : c.findings) std::printf("%s\n", f.c_str());
  std::printf("%s: NOT clean: %s%s\n", name.c_str(), count_of(c.total, "finding").c_str(),
              all ? "" : " (at most ten of each kind listed; --all lists every one)");
  return 1;
}

int cmd_db_rebuild(const std::string &name, const std::vector<std::string> &index_args, uint32_t blksize) {
  if (!check_db_files(name, true) || !not_written_elsewhere(name, "nothing was rebuilt")) return 1;
  const std::string data = data_file_name(name), idx = index_file_name(name), old = idx + ".old";
  DataFile df;
  std::string why;
  if (!df.open(data, why)) return fail(data + ": " + why + "; nothing was rebuilt");
  std::vector<std::pair<uint32_t, uint32_t>> holes;
  const DataWalk w = df.walk([](uint32_t, uint32_t, const uint8_t *const *) {},
                             [&](uint32_t off, uint32_t size) { holes.emplace_back(off, size); });
  if (!w.problem.empty()) return fail(data + ": damaged at " + w.problem + "; nothing was rebuilt");
  const std::vector<FieldDesc> &fields = df.header().fields;
  if (blksize == 0) blksize = db_blksize(name);
  IsamSession session(std::max(blksize, db_blksize(name)));
  if (!session.ok()) return 1;

  // The indexes: from --index, else from the old file's descriptions.
  std::vector<std::pair<std::string, std::vector<std::string>>> indexes;
  if (!index_args.empty()) {
    for (const std::string &arg : index_args) {
      std::string iname;
      std::vector<std::string> specs;
      if (!parse_index_arg(arg, fields, iname, specs, why)) return fail(why);
      indexes.emplace_back(iname, specs);
    }
  } else {
    std::vector<IndexDesc> descs;
    if (!old_descriptions(name, descs, fields, why))
      return fail(idx + ": " + why + "; name the indexes with --index as create takes them");
    for (const IndexDesc &d : descs)
      if (d.number > 0) indexes.emplace_back(d.name, d.specs);
  }
  take_library_lines();
  if (is_file(idx) && std::rename(idx.c_str(), old.c_str()) != 0)
    return fail(idx + ": cannot be moved to " + old + "; nothing was rebuilt");
  const std::string kept = is_file(old) ? "; the old index file is " + old : "";

  OpenDb db;
  db.note = kept;
  if (!db.open(name, 2, true)) return 1;
  if (inew_index_file(db.db, static_cast<int32_t>(blksize), 0) != 1)
    return fail(idx + ": cannot be made: " + isam_error_text() + kept);
  for (const auto &[iname, specs] : indexes)
    if (!make_index(db, iname, specs, w.records, why)) return fail(name + ": " + why + kept);
  if (!db.close()) return 1;

  // The free-space keys, one of each kind per hole: no library call re-adds them, so they go in through
  // the B-tree calls, in the layout the library keeps them.
  IndexFile ix;
  std::vector<IndexDesc> descs;
  if (!ix.open(idx, 2, why) || !ix.read_descriptions(fields, descs, why))
    return fail(idx + ": " + why + kept);
  for (const auto &[off, size] : holes) {
    const std::string sk = size_hole_key(size), ok = offset_hole_key(off);
    if (cbinsert(ix.tree(), sk.data(), 5, off, 1) != 1 || cbinsert(ix.tree(), ok.data(), 5, size, 0) != 1)
      return fail(idx + ": the key of the hole at " + at(off) + " cannot be added: " + last_error_text() +
                  kept);
  }
  if (!ix.close()) return fail(idx + ": cannot be closed: " + last_error_text() + kept);
  std::printf("rebuilt %s from %s: %s, %s, %s%s\n", idx.c_str(), data.c_str(),
              count_of(indexes.size(), "index").c_str(), count_of(w.records, "record").c_str(),
              count_of(holes.size(), "hole").c_str(), kept.c_str());
  if (w.touching > 0)
    std::printf(
        "note: holes that touch the hole before them: %llu (verify lists them; the data file is left "
        "as it is)\n",
        static_cast<unsigned long long>(w.touching));
  return 0;
}

int cmd_db_stat(const std::string &name) {
  IsamSession session(db_blksize(name));
  OpenDb db;
  if (!session.ok() || !db.open(name, 1)) return 1;
  std::vector<std::pair<std::string, std::string>> indexes;  // name, key fields
  if (const char *const *names = igetindexnames(db.db)) {
    for (; *names; ++names) {
      if (std::string(*names) == "Physical Index") continue;
      std::string keys;
      if (const char *const *desc = igetdesc(db.db, ihandle(db.db, *names)))
        for (; *desc; ++desc) keys += (keys.empty() ? "" : " + ") + std::string(*desc);
      indexes.emplace(indexes.begin(), *names, keys);  // the list is newest first
    }
  }
  db.close();
  take_library_lines();

  const std::string data = data_file_name(name), idx = index_file_name(name);
  DataFile df;
  std::string why;
  if (!df.open(data, why)) return fail(data + ": " + why);
  const DataWalk w = df.walk([](uint32_t, uint32_t, const uint8_t *const *) {}, [](uint32_t, uint32_t) {});
  std::map<std::string, uint64_t> entries;
  uint64_t hole_keys = 0;
  std::string index_problem;
  IndexFile ix;
  std::vector<IndexDesc> descs;
  if (is_file(idx) && ix.open(idx, 1, why) && ix.read_descriptions(db.fields, descs, why)) {
    std::map<uint32_t, std::string> names;
    for (const IndexDesc &d : descs) names[d.number] = d.name;
    index_problem = ix.walk(
        [&](const uint8_t *key, uint32_t, uint32_t) {
          if (key[0] == 0xFE) ++hole_keys;
          if (key[0] != 0 && key[0] < 0xFE) ++entries[names[key[0]]];
        },
        key_limit(idx));
  }
  ix.close();
  IndexStats is;
  const bool have_stats = is_file(idx) && read_index_stats(idx, is, why);

  std::printf("database      %s\n", name.c_str());
  std::printf("data file     %s, %lld bytes\n", data.c_str(), static_cast<long long>(file_size(data)));
  if (!is_file(idx))
    std::printf("index file    none\n");
  else if (have_stats)
    std::printf(
        "index file    %s, %lld bytes: %lld blocks of %u bytes, depth %d, leaf fill %.1f %%\n", idx.c_str(),
        static_cast<long long>(file_size(idx)), static_cast<long long>(is.file_blocks), is.blksize, is.depth,
        is.leaves ? 100.0 * static_cast<double>(is.leaf_used) / (static_cast<double>(is.leaves) * is.blksize)
                  : 0.0);
  std::printf("fields        %zu\n", db.fields.size());
  for (const FieldDesc &f : db.fields) std::printf("  %-22s %s\n", f.desc.c_str(), type_name(f).c_str());
  std::printf("indexes       %zu\n", indexes.size());
  for (const auto &[iname, keys] : indexes)
    std::printf("  %-22s %-36s %llu entries\n", iname.c_str(), keys.c_str(),
                static_cast<unsigned long long>(entries[iname]));
  std::printf("records       %llu, %llu bytes with their length words\n",
              static_cast<unsigned long long>(w.records), static_cast<unsigned long long>(w.record_bytes));
  std::printf("holes         %llu, %llu free bytes in all, %llu with free-space keys\n",
              static_cast<unsigned long long>(w.holes), static_cast<unsigned long long>(w.hole_bytes),
              static_cast<unsigned long long>(hole_keys));
  const uint64_t area = df.header().size - df.header().datastart;
  std::printf("data fill     %.1f %% of the %llu bytes behind the header hold records\n",
              area ? 100.0 * static_cast<double>(w.record_bytes) / static_cast<double>(area) : 100.0,
              static_cast<unsigned long long>(area));
  const std::string problem = !w.problem.empty()                  ? data + " damaged at " + w.problem
                              : !index_problem.empty()            ? idx + ": " + index_problem
                              : have_stats && !is.problem.empty() ? idx + ": " + is.problem
                                                                  : "";
  if (!problem.empty())
    std::printf("problem       %s; run qrx db verify %s\n", problem.c_str(), name.c_str());
  return problem.empty() ? 0 : 1;
}

}  // namespace qrx::tool
