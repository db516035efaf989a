// db_cmds.cc - `qrx db create | get | scan | export | copy | rename | destroy | index add | index rm |
// dump`: each one a short run of the library's exported calls, checked before anything is written.
#include <set>

#include "db_tool.h"

namespace qrx::tool {

namespace {

// Removes the files of a database that is to be replaced; false with a line when one stays.
bool remove_db_files(const std::string &name) {
  if (!not_written_elsewhere(name, "it is not replaced")) return false;
  for (const std::string &f : {data_file_name(name), index_file_name(name)})
    if (is_file(f) && qrxcb_unlink(f.c_str()) != 0 && is_file(f)) {
      fail(f + ": cannot be removed");
      return false;
    }
  return true;
}

// The key values given on the command line in their stored form, one per key field from the first;
// ptrs gets a pointer to each and a null pointer behind them. false with a line.
bool key_values(OpenDb &db, isam_index *idx, const std::string &index, const std::vector<std::string> &text,
                std::vector<std::string> &stored, std::vector<const void *> &ptrs) {
  const int32_t count = igetdesc_count(db.db, idx);
  if (count < 1) {
    fail(db.name + ": the " + (index.empty() ? std::string("Physical Index") : "index " + index) +
         " has no key to search by");
    return false;
  }
  if (text.size() > static_cast<size_t>(count)) {
    fail(db.name + ": index " + index + " has " + std::to_string(count) + " key field" +
         (count > 1 ? "s" : "") + "; " + std::to_string(text.size()) + " values were given");
    return false;
  }
  stored.assign(text.size(), "");
  for (size_t k = 0; k < text.size(); ++k) {
    const int32_t f = igetdesc_fldnbr(db.db, idx, static_cast<int32_t>(k));
    std::string why;
    if (f < 0 || f >= static_cast<int32_t>(db.fields.size())) {
      fail(db.name + ": index " + index + ": " + isam_error_text());
      return false;
    }
    if (!parse_value(db.fields[static_cast<size_t>(f)], text[k], stored[k], why)) {
      fail("key value " + std::to_string(k + 1) + " (" + db.fields[static_cast<size_t>(f)].desc +
           "): " + why);
      return false;
    }
  }
  ptrs.clear();
  for (const std::string &s : stored) ptrs.push_back(s.data());
  ptrs.push_back(nullptr);
  return true;
}

}  // namespace

int cmd_db_create(const CreateOptions &o) {
  std::vector<FieldDesc> fields;
  std::set<std::string> names;
  for (const std::string &d : o.fields) {
    fields.push_back(describe_field(d));
    if (fields.back().name.empty()) return fail("field '" + d + "' has no name");
    if (!names.insert(fields.back().name).second) return fail("two fields are named " + fields.back().name);
  }
  if (fields.empty()) return fail("a database needs at least one --field");
  std::vector<std::pair<std::string, std::vector<std::string>>> indexes;
  for (const std::string &arg : o.indexes) {
    std::string name, why;
    std::vector<std::string> specs;
    if (!parse_index_arg(arg, fields, name, specs, why)) return fail(why);
    for (const auto &i : indexes)
      if (i.first == name) return fail("two indexes are named " + name);
    indexes.emplace_back(name, specs);
  }
  if (!o.force && !check_db_files(o.name, false)) return 1;
  if (o.force && !remove_db_files(o.name)) return 1;
  IsamSession session(o.blksize);
  if (!session.ok()) return 1;
  std::vector<const char *> descs;
  for (const std::string &d : o.fields) descs.push_back(d.c_str());
  descs.push_back(nullptr);
  OpenDb db;
  db.name = o.name;
  db.fields = fields;
  db.db = icreate_db(o.name.c_str(), static_cast<int32_t>(o.blksize), descs.data());
  if (db.db == nullptr) return fail(o.name + ": cannot create the database: " + isam_error_text());
  for (const auto &[name, specs] : indexes) {
    std::string why;
    if (!make_index(db, name, specs, 0, why)) {
      db.close();
      idestroy_db(o.name.c_str());
      return fail(o.name + ": " + why + "; the database was removed again");
    }
  }
  if (!db.close()) return 1;
  std::printf("created %s: %zu field%s, %zu index%s (%s, %s)\n", o.name.c_str(), fields.size(),
              fields.size() == 1 ? "" : "s", indexes.size(), indexes.size() == 1 ? "" : "es",
              data_file_name(o.name).c_str(), index_file_name(o.name).c_str());
  return 0;
}

int cmd_db_get(const std::string &name, const std::string &index, const std::vector<std::string> &values,
               bool csv) {
  IsamSession session(db_blksize(name));
  OpenDb db;
  if (!session.ok() || !db.open(name, 1)) return 1;
  isam_index *idx = db.index(index);
  std::vector<std::string> stored;
  std::vector<const void *> ptrs;
  if (idx == nullptr || !key_values(db, idx, index, values, stored, ptrs)) return 1;
  RecordPrinter out(db.fields, csv, stdout);
  std::vector<uint8_t> buf;
  std::vector<void *> fields;
  int32_t r = ifindkey(db.db, idx, ptrs.data());
  if (r == -1) return fail(name + ": the search failed: " + isam_error_text());
  for (r = 1; r == 1 && imatchkey(db.db, idx, ptrs.data()) == 1; r = ifindnext(db.db, idx)) {
    if (read_current(db.db, idx, buf, fields, db.fields.size()) != 1)
      return fail(name + ": a record cannot be read: " + isam_error_text());
    out.add(fields.data());
  }
  if (r == -1) return fail(name + ": the walk failed: " + isam_error_text());
  take_library_lines();
  if (out.count() == 0) return fail("no record of " + name + " has that key in " + index);
  out.finish();
  return 0;
}

int cmd_db_scan(const std::string &name, const std::string &index, const std::vector<std::string> &from,
                uint64_t limit, bool csv) {
  if (!from.empty() && index.empty()) return fail("--from needs an index: the file order has no keys");
  IsamSession session(db_blksize(name));
  OpenDb db;
  if (!session.ok() || !db.open(name, 1)) return 1;
  isam_index *idx = db.index(index);
  std::vector<std::string> stored;
  std::vector<const void *> ptrs;
  if (idx == nullptr || (!from.empty() && !key_values(db, idx, index, from, stored, ptrs))) return 1;
  RecordPrinter out(db.fields, csv, stdout);
  std::vector<uint8_t> buf;
  std::vector<void *> fields;
  // A key not found leaves the index on the next greater entry, or after the last one.
  int32_t r = from.empty() ? ifindhead(db.db, idx) : ifindkey(db.db, idx, ptrs.data());
  if (r == 2 || r == 3) r = 1;
  for (; r == 1 && (limit == 0 || out.count() < limit); r = ifindnext(db.db, idx)) {
    const int32_t got = read_current(db.db, idx, buf, fields, db.fields.size());
    if (got == -3) break;
    if (got != 1) return fail(name + ": a record cannot be read: " + isam_error_text());
    out.add(fields.data());
  }
  if (r == -1) return fail(name + ": the walk failed: " + isam_error_text());
  out.finish();
  take_library_lines();
  return 0;
}

int cmd_db_export(const std::string &name, const std::string &index) {
  return cmd_db_scan(name, index, {}, 0, true);
}

int cmd_db_copy(const std::string &src, const std::string &dst, const std::string &index, uint32_t blksize,
                bool into, bool force) {
  if (!check_db_files(src, true)) return 1;
  if (data_file_name(src) == data_file_name(dst)) return fail(src + " and " + dst + " name the same files");
  if (into && !check_db_files(dst, true)) return 1;
  if (!into && !force && !check_db_files(dst, false)) return 1;
  IsamSession session(std::max(db_blksize(src), std::max(blksize, db_blksize(dst, 0))));
  if (!session.ok()) return 1;
  {
    OpenDb source;  // a source that cannot be opened leaves the destination as it is
    if (!source.open(src, 1) || !source.close()) return 1;
  }
  if (!into && force && !remove_db_files(dst)) return 1;
  int32_t r = 0;
  uint64_t copied = 0;
  {
    LibraryProgress bar("copying", count_records(src));
    r = icopy_database(src.c_str(), dst.c_str(), index.empty() ? nullptr : index.c_str(),
                       static_cast<int32_t>(blksize), into ? 0 : 1);
    copied = bar.count();
  }
  if (r != 1)
    return fail("copy of " + src + " to " + dst + " failed after " + std::to_string(copied) +
                " records: " + isam_error_text() + (copied > 0 ? "; " + dst + " keeps what was copied" : ""));
  std::printf("copied %s to %s: %llu records read, %s holds %llu\n", src.c_str(), dst.c_str(),
              static_cast<unsigned long long>(copied), dst.c_str(),
              static_cast<unsigned long long>(count_records(dst)));
  return 0;
}

int cmd_db_rename(const std::string &from, const std::string &to, bool force) {
  if (!check_db_files(from, true)) return 1;
  if (!is_file(index_file_name(from)))
    return fail(from + " has no index file " + index_file_name(from) + "; qrx db rebuild makes one");
  if (data_file_name(from) == data_file_name(to)) return fail(from + " and " + to + " name the same files");
  if (!force && !check_db_files(to, false)) return 1;
  if (force && !remove_db_files(to)) return 1;
  IsamSession session(512);
  if (!session.ok()) return 1;
  if (qrxisren(from.c_str(), to.c_str()) != 1)
    return fail("rename of " + from + " failed: " + isam_error_text());
  std::printf("renamed %s to %s\n", from.c_str(), to.c_str());
  return 0;
}

int cmd_db_destroy(const std::string &name) {
  if (!check_db_files(name, true)) return 1;
  const bool had_index = is_file(index_file_name(name));
  IsamSession session(512);
  if (!session.ok()) return 1;
  // Without an index file the library reports the second removal as failed; the data file went.
  if (idestroy_db(name.c_str()) != 1 && (had_index || is_file(data_file_name(name))))
    return fail("destroy of " + name + " failed: " + isam_error_text());
  take_library_lines();
  std::printf("removed %s%s\n", data_file_name(name).c_str(),
              had_index ? (" and " + index_file_name(name)).c_str() : "");
  return 0;
}

int cmd_db_index_add(const std::string &name, const std::string &index) {
  IsamSession session(db_blksize(name));
  OpenDb db;
  if (!session.ok() || !db.open(name, 2)) return 1;
  std::string iname, why;
  std::vector<std::string> specs;
  if (!parse_index_arg(index, db.fields, iname, specs, why)) return fail(why);
  if (!make_index(db, iname, specs, count_records(name), why)) return fail(name + ": " + why);
  if (!db.close()) return 1;
  std::string keys;
  for (const std::string &s : specs) keys += (keys.empty() ? "" : " + ") + s;
  std::printf("made index %s of %s over %s\n", iname.c_str(), name.c_str(), keys.c_str());
  return 0;
}

int cmd_db_index_rm(const std::string &name, const std::string &index) {
  IsamSession session(db_blksize(name));
  OpenDb db;
  if (!session.ok() || !db.open(name, 2) || db.index(index) == nullptr) return 1;
  if (index == "Physical Index") return fail("the Physical Index is the data file's own order; it stays");
  int32_t r = 0;
  {
    LibraryProgress bar("removing the index", count_records(name));
    r = irmindex(db.db, index.c_str());
  }
  if (r != 1) return fail(name + ": removing index " + index + " failed: " + isam_error_text());
  if (!db.close()) return 1;
  std::printf("removed index %s of %s\n", index.c_str(), name.c_str());
  return 0;
}

int cmd_db_dump(const std::string &name) {
  if (!check_db_files(name, true)) return 1;
  if (!is_file(index_file_name(name))) return fail(name + " has no index file to dump");
  IsamSession session(db_blksize(name));
  if (!session.ok()) return 1;
  if (qrxisdmp(name.c_str()) != 1) return fail(name + ": the dump failed: " + isam_error_text());
  std::printf("dump of %s written to %s.DMP\n", index_file_name(name).c_str(), name.c_str());
  return 0;
}

}  // namespace qrx::tool
