// damage_exercise.h - the damaged-file exercise shared by the libFuzzer target (fuzz/damage_fuzzer.cc) and
// the seeded CTest run (tests/cbt/damage_fuzz_test.cc). A valid multi-level index is built once; each run
// damages a copy of its bytes, then opens, walks both ways, searches, changes, verifies and dumps it.
//
// Damage input: records of 6 bytes, a 32-bit big-endian position (modulo the file's size), a mode and a
// value. Mode 0 sets the byte, mode 1 sets the aligned 32-bit word to value - 8 (small block numbers,
// counts and offsets, negative ones included), mode 2 XORs the byte. Damage in block 0's first 28 bytes
// has the control record's parity made right again, so that it reaches the tree.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cbt/codec.h"
#include "qrxcb.h"

namespace qrx::damage {

constexpr uint32_t kKeys = 1500;
constexpr uint32_t kParityOff = 28;  // vparity: XOR of the fourteen halfwords at 0..27

// 1 to 23 letters and the serial number, so every key differs.
inline std::string key_of(uint32_t i) {
  return std::string(i * 7 % 23 + 1, char('a' + i % 26)) + std::to_string(i);
}

// Builds the valid file (512-byte blocks, depth 3 or more) at path; returns its bytes, empty on failure.
inline std::vector<uint8_t> build_base(const std::string &path) {
  cbt_tree *t = cbcreate(path.c_str(), nullptr, 512);
  bool ok = t != nullptr;
  for (uint32_t i = 0; i < kKeys && ok; ++i)
    ok = cbinsert(t, key_of(i).data(), uint32_t(key_of(i).size()), i, 0) == 1;
  ok = ok && cbdepth(t) >= 3 && qrxcbver(t) == 1;
  if (!t || cbclose(t) != 1 || !ok) return {};
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void apply_damage(std::vector<uint8_t> &file, const uint8_t *data, size_t size) {
  bool ctl_damaged = false;
  for (size_t at = 0; at + 6 <= size; at += 6) {
    const uint32_t pos = codec::load_u32(data, at) % static_cast<uint32_t>(file.size());
    const uint8_t mode = data[at + 4] % 3, value = data[at + 5];
    if (mode == 1 && (pos & ~3u) + 4 <= file.size()) {
      // Small words (links, counts, offsets) and, for the top values, block numbers far past the end.
      const int32_t word = value < 240 ? int32_t{value} - 8 : (int32_t{value} - 239) << 20;
      codec::store_u32(file.data(), pos & ~3u, static_cast<uint32_t>(word));
    } else {
      file[pos] = mode == 2 ? file[pos] ^ value : value;
    }
    ctl_damaged |= pos < kParityOff;
  }
  uint16_t p = 0;
  for (uint32_t i = 0; i < kParityOff; i += 2) p ^= codec::load_u16(file.data(), i);
  if (ctl_damaged) codec::store_u32(file.data(), kParityOff, p);
}

// Writes the damaged copy to path, runs every operation on it and calls check(op, result) after each.
// Returns qrxcbver's result, or -2 when the file did not open. The file and its .dmp are removed; a handle
// whose close failed keeps its name registered, so callers give every run a path of its own.
template <class Check>
int32_t exercise(const std::string &path, const std::vector<uint8_t> &base, const uint8_t *data, size_t size,
                 Check check) {
  std::vector<uint8_t> file = base;
  apply_damage(file, data, size);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(file.data()), std::streamsize(file.size()));
  cbt_tree *t = cbopen(path.c_str(), 2, nullptr);
  int32_t verified = -2;
  if (t) {
    uint32_t item = 0;
    int32_t r = cbhead(t, &item);
    for (uint32_t n = 0; r == 1 && n < kKeys + 50; ++n) r = cbnext(t, &item);
    check("cbnext", r);
    r = cbtail(t, &item);
    for (uint32_t n = 0; r == 1 && n < kKeys + 50; ++n) r = cbprev(t, &item);
    check("cbprev", r);
    for (uint32_t i = 0; i < kKeys; i += 37) {
      const std::string k = key_of(i), nk = k + "~";
      const auto len = uint32_t(k.size());
      char buf[64];
      uint32_t want = i;
      check("cbfind", cbfind(t, k.data(), len, &item));
      check("cbkey", cbkey(t, buf, sizeof buf));
      check("cbmark", cbmark(t));
      check("cbfinditem", cbfinditem(t, k.data(), len, &want));
      check("cbfindmark", cbfindmark(t, &item));
      check("cbinsert", cbinsert(t, nk.data(), len + 1, i + 1, 1));
      check("cbdelete", cbdelete(t, k.data(), len, i));
      check("cbmodify", cbmodify(t, nk.data(), len + 1, i + 1, k.data(), len, i, i % 2));
    }
    verified = qrxcbver(t);
    if (FILE *null = std::fopen("/dev/null", "w")) {
      for (int32_t mode : {0, 1}) qrxcbdmp(t, mode, null);
      std::fclose(null);
    }
    cbclose(t);
  }
  unlink(path.c_str());
  unlink((path.substr(0, path.rfind('.')) + ".dmp").c_str());
  return verified;
}

}  // namespace qrx::damage
