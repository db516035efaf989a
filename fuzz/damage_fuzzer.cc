// damage_fuzzer.cc - libFuzzer target: the fuzzer's input damages a valid multi-level index file, which is
// then opened, walked both ways, searched, changed, verified and dumped. Any crash, sanitizer report or
// hang (libFuzzer's -timeout) is a finding. The same loop runs with fixed seeds in
// tests/cbt/damage_fuzz_test.cc.
//
// Input: records of 6 bytes, each one damage: a 32-bit big-endian position in the file (taken modulo the
// file's size), a mode and a value. Mode 0 sets the byte, mode 1 sets the aligned 32-bit word around the
// position to value - 8 (small block numbers, counts and offsets, negative ones included), mode 2 XORs the
// byte. After damaging block 0's first 28 bytes the control record's parity is made right again, so that
// the damage reaches the tree instead of stopping at the parity check.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cbt/codec.h"
#include "qrxcb.h"

namespace {

constexpr uint32_t kBlksize = 512;
constexpr uint32_t kKeys = 1500;
constexpr uint32_t kParityOff = 28;  // vparity: XOR of the fourteen halfwords at 0..27

std::string g_dir;
std::vector<uint8_t> g_base;
std::vector<std::string> g_keys;
uint64_t g_runs = 0;

std::string key_of(uint32_t i) {
  // Deterministic words of 1 to 24 letters with the serial number, so every key differs.
  uint64_t x = i * 0x9e3779b97f4a7c15ULL + 12345;
  std::string k;
  for (int n = static_cast<int>(x % 24) + 1; n > 0; --n) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    k += static_cast<char>('a' + (x >> 59) % 26);
  }
  return k + std::to_string(i);
}

bool write_all(const std::string &path, const std::vector<uint8_t> &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> read_all(const std::string &path) {
  std::vector<uint8_t> v;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return v;
  uint8_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
  std::fclose(f);
  return v;
}

void fix_parity(std::vector<uint8_t> &file) {
  uint16_t p = 0;
  for (uint32_t i = 0; i < kParityOff; i += 2) p ^= qrx::codec::load_u16(file.data(), i);
  qrx::codec::store_u32(file.data(), kParityOff, p);
}

void exercise(cbt_tree *t) {
  uint32_t item = 0;
  int32_t r = cbhead(t, &item);
  for (uint32_t n = 0; r == 1 && n < kKeys + 50; ++n) r = cbnext(t, &item);
  r = cbtail(t, &item);
  for (uint32_t n = 0; r == 1 && n < kKeys + 50; ++n) r = cbprev(t, &item);
  for (uint32_t i = 0; i < kKeys; i += 97) {
    const std::string &k = g_keys[i];
    cbfind(t, k.data(), static_cast<uint32_t>(k.size()), &item);
    char buf[64];
    cbkey(t, buf, sizeof buf);
  }
  for (uint32_t i = 0; i < 20; ++i) {
    const std::string k = "new" + std::to_string(i * 7919);
    cbinsert(t, k.data(), static_cast<uint32_t>(k.size()), i, 1);
  }
  for (uint32_t i = 1; i < kKeys; i += 41) {
    const std::string &k = g_keys[i];
    cbdelete(t, k.data(), static_cast<uint32_t>(k.size()), i);
  }
  const std::string &m = g_keys[2];
  const std::string nk = m + "~";
  cbmodify(t, m.data(), static_cast<uint32_t>(m.size()), 2, nk.data(), static_cast<uint32_t>(nk.size()), 2,
           1);
  qrxcbver(t);
  if (FILE *null = std::fopen("/dev/null", "w")) {
    qrxcbdmp(t, 0, null);
    qrxcbdmp(t, 1, null);
    std::fclose(null);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);  // thousands of expected error lines
  char tmpl[] = "/tmp/qrxfuzz.XXXXXX";
  if (!mkdtemp(tmpl)) abort();
  g_dir = tmpl;
  if (cbinit(64, 4096) != 1) abort();
  const std::string base = g_dir + "/base.idx";
  cbt_tree *t = cbcreate(base.c_str(), nullptr, kBlksize);
  if (!t) abort();
  for (uint32_t i = 0; i < kKeys; ++i) {
    g_keys.push_back(key_of(i));
    if (cbinsert(t, g_keys[i].data(), static_cast<uint32_t>(g_keys[i].size()), i, 0) != 1) abort();
  }
  if (cbdepth(t) < 3 || qrxcbver(t) != 1 || cbclose(t) != 1) abort();
  g_base = read_all(base);
  unlink(base.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<uint8_t> file = g_base;
  bool ctl_damaged = false;
  for (size_t at = 0; at + 6 <= size; at += 6) {
    const uint32_t pos = qrx::codec::load_u32(data, at) % static_cast<uint32_t>(file.size());
    const uint8_t mode = data[at + 4] % 3;
    const uint8_t value = data[at + 5];
    if (mode == 0) {
      file[pos] = value;
    } else if (mode == 1) {
      const uint32_t w = pos & ~3u;
      if (w + 4 <= file.size())
        qrx::codec::store_u32(file.data(), w, static_cast<uint32_t>(int32_t{value} - 8));
    } else {
      file[pos] ^= value;
    }
    ctl_damaged |= pos < kParityOff;
  }
  if (ctl_damaged) fix_parity(file);
  // A file of its own per run: a handle whose close fails keeps its name registered.
  const std::string path = g_dir + "/d" + std::to_string(g_runs++) + ".idx";
  if (!write_all(path, file)) return 0;
  if (cbt_tree *t = cbopen(path.c_str(), 2, nullptr)) {
    exercise(t);
    cbclose(t);
  }
  unlink(path.c_str());
  unlink((g_dir + "/d" + std::to_string(g_runs - 1) + ".dmp").c_str());
  return 0;
}
