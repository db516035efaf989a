// keyed_fuzzer.cc - libFuzzer target for the keyed-file service. The input: a database's data and index
// files, each a 2-byte big-endian length and its bytes (an index file of length 0 is none), then steps of
// 16 bytes (missing bytes are 0, the ordinary choice): an operation, a handle (issued in this run, perhaps
// closed, or forged from one), keys and records cut from the last record read with a byte changed, and
// lengths right, zero, negative, one off or far too long, in heap buffers of exactly what a correct
// library may touch. An operation is called through the table qrxkygfs gives for the handle or (bit 7)
// for another handle of the run: the public names are those very functions. Every run ends with Terminate
// and isamexit; a crash, sanitizer report, leak or hang is a finding. Seeds: scripts/fuzz.sh.
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/scratch.h"
#include "host/qrxhost.h"
#include "isam/isam.h"
#include "qrxky.h"

namespace {

std::string g_dir, g_base;

struct S {  // a run: its input, handles and last record; and the arguments of the current step
  const uint8_t *p, *end, *stop;  // the input left, the current step's end, the input's end
  std::vector<KeyHandle> pool{{0, 0, 0}};
  std::string last{};
  KeyHandle h{}, out{};
  const qrxky_base_table *b{};
  const qrxky_update_table *u{};
  uint8_t x{};  // the step's choice byte
  std::vector<uint8_t> kb{}, rb{}, ob{};
  const void *k{}, *r{};
  int32_t kl{}, rl{}, ol{}, got{};
  uint32_t off{}, klen{}, rlen{}, w{};

  uint8_t u8() { return p < end ? *p++ : 0; }
  // What a correct library may touch of a name or a buffer it fills: at most 255 bytes or a record.
  size_t room(int32_t n) const { return n <= 0 ? 0 : std::min<size_t>(size_t(n), std::max(rlen, 65536u)); }
  // A length: right, small, too long by 1 or more, one short, 0, negative, `far` or long.
  int32_t length(int32_t right, int32_t far = INT32_MAX) {
    const int32_t c = u8(), n = c >> 3;
    const int32_t lengths[] = {right, n, right + 1 + n, right - 1, 0, -1 - (n << 26), far, 6144 + n};
    return lengths[c % 8];
  }
  // Key or record bytes, as many as the length says: the last record read from byte `from` on with one
  // byte changed; or none at address 0 (or at -1, the no-key address of cursors).
  const void *arg(std::vector<uint8_t> &v, uint32_t from, uint32_t right, int32_t *len, bool cursor) {
    const uint8_t c = u8(), m = u8();
    v = std::vector<uint8_t>(size_t(std::max(0, *len = length(int32_t(right), 70000))));
    for (size_t i = 0; i < v.size() && !last.empty(); ++i) v[i] = uint8_t(last[(from + i) % last.size()]);
    if (m != 0 && !v.empty()) v[m % v.size()] ^= m;
    if (c % 4 == 3 && (c & 4)) *len = 0;
    return c % 4 != 3 ? v.data() : (cursor && (c & 8) ? QRXKY_KEY_TAIL : QRXKY_KEY_HEAD);
  }
  // After an operation: a record read becomes the last one, a handle issued joins the pool.
  void done(int32_t rc, bool issued) {
    if (rc == 0 && got >= 0) last.assign(ob.begin(), ob.begin() + std::min(size_t(got), ob.size()));
    if (rc == 0 && issued) pool.push_back(out);
  }
};

// The database with an index name or none, a blank, a long name, or a database that is not there.
void open_file(S &s) {
  static const char *const tails[] = {"", ":PrimaryIndex", ":BYNAME", ":BYGAP", ":", " x:BYNAME", ":NO", "x"};
  std::string name = (s.x & 8 ? g_dir + "/none" : g_base) + tails[s.x % 8];
  if (s.x & 16) name.append(300, s.x & 32 ? ' ' : 'n');
  const int32_t n = s.length(int32_t(name.size()));
  std::vector<char> text(s.room(n), 'z');
  std::copy_n(name.begin(), std::min(name.size(), text.size()), text.begin());
  const qrxky_open_file_fn open = s.x & 64 ? s.b->OpenKeyedFile : OpenKeyedFile;
  s.done(open(text.data(), n, int8_t(s.u8()) + 1, &s.out, &s.w), true);
}

void (*const kOps[])(S &) = {
    open_file,
    [](S &s) { s.done((s.x & 1 ? s.u->OpenUpdateCursor : s.b->OpenCursor)(s.h, s.k, s.kl, &s.out), true); },
    [](S &s) { s.b->RepositionCursor(s.h, s.k, s.kl); },
    [](S &s) { s.done(s.b->ReadNext(s.h, int8_t(s.x), s.ob.data(), s.ol, &s.got), false); },
    [](S &s) { s.done(s.u->ReadNextForUpdate(s.h, int8_t(s.x), s.ob.data(), s.ol, &s.got, &s.out), true); },
    [](S &s) { s.done(s.b->ReadByKey(s.h, s.k, s.kl, s.ob.data(), s.ol, &s.got), false); },
    [](S &s) { s.done(s.u->ReadByKeyForUpdate(s.h, s.k, s.kl, s.ob.data(), s.ol, &s.got, &s.out), true); },
    [](S &s) { (s.x & 1 ? s.u->UpdateByKey : s.b->AddRecord)(s.h, s.k, s.kl, s.r, s.rl); },
    [](S &s) { s.u->DeleteByKey(s.h, s.k, s.kl); },
    [](S &s) { s.u->UpdateHeldRecord(s.h, s.r, s.rl); },
    [](S &s) { (s.x & 1 ? s.u->ReleaseHeldRecord : s.u->DeleteHeldRecord)(s.h); },
    [](S &s) { qrxkygfs(s.h)->asynch->SetAccessMode(s.h, int8_t(s.x) % 3), SetAccessMode(s.h, s.x % 3); },
    [](S &s) { qrxkygfs(s.h)->asynch->CheckAsynch(s.h), CheckAsynch(s.h), s.b->QueryRecLen(s.h, &s.w); },
    [](S &s) { GetReason(s.h, s.x & 1 ? nullptr : &s.w), s.b->QueryKey(s.h, &s.w, &s.w); },
    [](S &s) { (s.x & 1 ? s.b->CloseFile : s.b->CloseCursor)(s.h, &s.w), s.b->GetReason(s.h, &s.w); },
    [](S &s) { s.x & 2 ? s.b->FlushFile(s.h) : (s.x & 1 ? Terminate : Initialize)(); },
};

void step(S &s) {
  s.end = s.p + std::min<ptrdiff_t>(16, s.stop - s.p);
  const uint8_t op = s.u8(), c = s.u8();
  s.h = s.pool[c % s.pool.size()];
  if (c >= 0xE0) s.h = {int16_t(s.h.seq + int8_t(s.u8())), int16_t(c & 1), s.h.slot + int8_t(s.u8())};
  s.x = s.u8(), s.got = -1, s.off = s.klen = s.rlen = 0;
  const qrxky_func_set *t = qrxkygfs(op & 0x80 ? s.pool[s.x % s.pool.size()] : s.h);
  s.b = t->base, s.u = t->update;
  QueryKey(s.h, &s.off, &s.klen), QueryRecLen(s.h, &s.rlen);
  const size_t n = (op & 0x7F) % std::size(kOps);
  s.k = s.arg(s.kb, s.off, s.klen, &s.kl, n == 1 || n == 2);
  s.r = s.arg(s.rb, 0, s.rlen, &s.rl, false);
  s.ob = std::vector<uint8_t>(s.room(s.ol = s.length(int32_t(s.rlen))));
  kOps[n](s);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);  // refused calls and damaged files make many error lines
  qrxhost_set_sleep_hook([](uint32_t) {});   // opens of missing files retry without waiting
  g_dir = qrx::fuzz::scratch_dir("qrxkyfuzz"), g_base = g_dir + "/db";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  S s{data, data + size, data + size};
  for (const char *ext : {".DB", ".IDX"}) {
    const size_t high = s.u8(), low = s.u8(), n = std::min<size_t>(high << 8 | low, size_t(s.end - s.p));
    std::ofstream(g_base + ext, std::ios::binary).write(reinterpret_cast<const char *>(s.p), n);
    if (n == 0 && ext[1] == 'I') std::filesystem::remove(g_base + ext);
    s.p += n;
  }
  for (int n = 0; s.p < s.stop && n < 256; ++n, s.p = s.end) step(s);
  Terminate();
  while (qrx::isam::anchor_peek() != nullptr && qrx::isam::anchor_peek()->initcnt > 0) isamexit();
  return 0;
}
