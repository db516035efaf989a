// demo.cc - `qrx demo`: its first part builds a sample index file from generated keys, changes it, and checks
// every step against an in-memory copy of what the file must hold; the second part, the database tour, is in
// demo_db.cc, the third, the keyed-file service, in demo_keyed.cc.
//
// Steps of the first part: insert N keys (made-up words with a serial number, so every key is distinct) in
// the order they are generated; delete every fifth; give every seventh of the rest a new key and every
// eleventh a new item (cbmodify); walk a range of 1000 entries from the middle with cbfind and cbnext; walk
// the whole tree; flush and verify; close and print the statistics. Each step's result is compared with the
// copy; the exit status is 0 only when every step succeeded.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "db_tool.h"
#include "qrx_tool.h"
#include "qrxcb.h"

namespace qrx::tool {

std::string make_word(Gen &g) {
  static const char kCons[] = "bdfghklmnprstvz";
  static const char kVow[] = "aeiou";
  std::string k;
  const int syllables = 2 + static_cast<int>(g.next() % 3);
  for (int i = 0; i < syllables; ++i) {
    k += kCons[g.next() % (sizeof kCons - 1)];
    k += kVow[g.next() % (sizeof kVow - 1)];
  }
  return k;
}

namespace {

// A word, then '-' and the serial number: every key is distinct.
std::string make_key(Gen &g, uint32_t serial) {
  return make_word(g) + "-" + std::to_string(serial);
}

using Model = std::map<std::string, uint32_t>;  // key -> item; every key is distinct

int32_t ins(cbt_tree *t, const std::string &k, uint32_t item) {
  return cbinsert(t, k.data(), static_cast<uint32_t>(k.size()), item, 0);
}

// The key at the cursor.
std::string cursor_key(cbt_tree *t) {
  uint32_t len = 0;
  if (cbkeylen(t, &len) != 1) return {};
  std::string k(len, '\0');
  if (len > 0 && cbkey(t, k.data(), len) != 1) return {};
  return k;
}

// Compares `count` entries from the cursor on (the cursor standing on the first) with the model from `it`.
bool walk_matches(cbt_tree *t, Model::const_iterator it, const Model &m, uint64_t count, std::string &why,
                  Progress *progress) {
  uint32_t item = 0;
  if (cbcurr(t, &item) != 1) {
    why = "the cursor is not on an entry";
    return false;
  }
  for (uint64_t n = 0; n < count; ++n) {
    if (it == m.end()) {
      why = "the tree holds more entries than it should";
      return false;
    }
    if (cursor_key(t) != it->first || item != it->second) {
      why = "entry " + std::to_string(n) + " is " + cursor_key(t) + " / " + std::to_string(item) +
            ", expected " + it->first + " / " + std::to_string(it->second);
      return false;
    }
    ++it;
    const int32_t r = cbnext(t, &item);
    if (r == -1) {
      why = "cbnext failed: " + last_error_text();
      return false;
    }
    if (r == -3 && n + 1 < count) {
      why = "the tree ended after " + std::to_string(n + 1) + " entries";
      return false;
    }
    if (progress && n % 1024 == 0) progress->update(n);
  }
  return true;
}

// The first part: the index file. 0 when every step succeeded.
int demo_index_file(const DemoOptions &opt) {
  std::error_code ec;
  std::filesystem::create_directories(opt.dir, ec);
  if (ec) {
    std::fprintf(stderr, "qrx: cannot make %s: %s\n", opt.dir.c_str(), ec.message().c_str());
    return 1;
  }
  const std::string path = (std::filesystem::path(opt.dir) / "demo.idx").string();
  std::filesystem::remove(path, ec);
  std::filesystem::remove(dump_path(path), ec);
  std::printf("qrx demo 1/3, an index file: %u keys into %s (%u-byte blocks)\n\n", opt.keys, path.c_str(),
              opt.blksize);

  Session session(opt.blksize, 1024);
  if (!session.ok()) return 1;
  cbt_tree *t = cbcreate(path.c_str(), nullptr, opt.blksize);
  if (t == nullptr) {
    std::fprintf(stderr, "qrx: cannot create %s: %s\n", path.c_str(), last_error_text().c_str());
    return 1;
  }
  bool ok = true;
  Model model;
  Gen gen(opt.seed);
  std::vector<std::string> keys;
  keys.reserve(opt.keys);

  {
    Step step("insert");
    Progress bar("inserting", opt.keys);
    std::string why;
    for (uint32_t i = 0; i < opt.keys && why.empty(); ++i) {
      keys.push_back(make_key(gen, i));
      if (ins(t, keys.back(), i) != 1) why = "cbinsert of " + keys.back() + " failed: " + last_error_text();
      model.emplace(keys.back(), i);
      if (i % 1024 == 0) bar.update(i);
    }
    bar.finish();
    ok = step.done(why.empty(), why.empty()
                                    ? std::to_string(opt.keys) + " keys, depth " + std::to_string(cbdepth(t))
                                    : why);
  }
  if (ok) {
    Step step("delete every fifth key");
    Progress bar("deleting", opt.keys);
    std::string why;
    uint64_t n = 0;
    for (uint32_t i = 0; i < opt.keys && why.empty(); i += 5, ++n) {
      if (cbdelete(t, keys[i].data(), static_cast<uint32_t>(keys[i].size()), i) != 1)
        why = "cbdelete of " + keys[i] + " failed: " + last_error_text();
      model.erase(keys[i]);
      bar.update(i);
    }
    bar.finish();
    ok = step.done(why.empty(), why.empty() ? std::to_string(n) + " keys deleted" : why);
  }
  if (ok) {
    Step step("modify keys and items");
    Progress bar("modifying", opt.keys);
    std::string why;
    uint64_t moved = 0, items = 0;
    for (uint32_t i = 0; i < opt.keys && why.empty(); ++i) {
      if (i % 5 == 0) continue;  // deleted
      const std::string &k = keys[i];
      std::string nk = k;
      uint32_t nitem = i;
      if (i % 7 == 3) {
        nk = "re-" + k;  // a new key, elsewhere in the tree
        ++moved;
      } else if (i % 11 == 4) {
        nitem = i + 0x1000000u;  // the same key, a new item
        ++items;
      } else {
        continue;
      }
      if (cbmodify(t, k.data(), static_cast<uint32_t>(k.size()), i, nk.data(),
                   static_cast<uint32_t>(nk.size()), nitem, 0) != 1)
        why = "cbmodify of " + k + " failed: " + last_error_text();
      model.erase(k);
      model.emplace(nk, nitem);
      if (i % 1024 == 0) bar.update(i);
    }
    bar.finish();
    ok = step.done(why.empty(), why.empty()
                                    ? std::to_string(moved) + " keys and " + std::to_string(items) +
                                          " items changed, " + std::to_string(model.size()) + " entries"
                                    : why);
  }
  if (ok && !model.empty()) {
    Step step("walk a range from the middle");
    Model::const_iterator it = model.cbegin();
    std::advance(it, model.size() / 3);
    uint32_t item = 0;
    std::string why;
    const uint64_t count = std::min<uint64_t>(1000, static_cast<uint64_t>(std::distance(it, model.cend())));
    const int32_t r = cbfind(t, it->first.data(), static_cast<uint32_t>(it->first.size()), &item);
    if (r != 2)
      why = "cbfind of " + it->first + " gave " + std::to_string(r);
    else
      walk_matches(t, it, model, count, why, nullptr);
    ok = step.done(why.empty(), why.empty() ? std::to_string(count) + " entries from " + it->first : why);
  }
  if (ok) {
    Step step("walk the whole tree");
    Progress bar("walking", model.size());
    uint32_t item = 0;
    std::string why;
    const int32_t r = cbhead(t, &item);
    if (model.empty()) {
      if (r != -3) why = "an empty tree gave " + std::to_string(r);
    } else if (r != 1) {
      why = "cbhead gave " + std::to_string(r);
    } else if (walk_matches(t, model.begin(), model, model.size(), why, &bar) && cbcurr(t, &item) != -3) {
      why = "the tree holds more entries than it should";
    }
    bar.finish();
    ok = step.done(why.empty(), why.empty() ? std::to_string(model.size()) + " entries in order" : why);
  }
  if (ok) {
    Step step("flush and verify");
    std::string why;
    if (cbflush(t) != 1)
      why = "cbflush failed: " + last_error_text();
    else if (qrxcbchk(t) != 1)
      why = "the verification failed; dump written to " + dump_path(path);
    ok = step.done(why.empty(), why.empty() ? "consistent" : why);
  }
  {
    Step step("close");
    const bool closed = cbclose(t) == 1;
    ok = step.done(closed, closed ? path : "cbclose failed: " + last_error_text()) && ok;
  }
  if (ok) {
    std::printf("\n");
    IndexStats s;
    if (!show_index_stats(path, s)) return 1;
    if (!s.problem.empty() || s.entries != static_cast<int64_t>(model.size())) {
      std::printf("\nqrx demo: the statistics do not match the %zu entries expected\n", model.size());
      return 1;
    }
  }
  return ok ? 0 : 1;
}

}  // namespace

int cmd_demo(const DemoOptions &opt) {
  bool ok = demo_index_file(opt) == 0;
  if (ok) {
    std::printf("\n");
    ok = demo_database(opt.dir, opt.records, opt.blksize, opt.seed) == 0;
  }
  if (ok) {
    std::printf("\n");
    ok = demo_keyed(opt.dir, opt.keyed, opt.blksize, opt.seed) == 0;
  }
  std::printf("\nqrx demo: %s\n", ok ? "every step succeeded" : "FAILED");
  return ok ? 0 : 1;
}

}  // namespace qrx::tool
