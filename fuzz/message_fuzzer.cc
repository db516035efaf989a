// message_fuzzer.cc - libFuzzer target for the message catalog and its formatter. The input: a choice byte,
// then pieces cut at NUL bytes: the anchor's prefix, the open's suffix, the component name (also used as a
// message number and as a current code), then up to eight message texts, the open's table. The formatter
// runs straight on the whole input after the choice byte (into a heap buffer of exactly the room given)
// and through the catalog: every message of the table and one past it is built, written and formatted
// over insert words; the words are either pointers to the pieces (or null) or numbers cut from the input,
// and with numbers every 's' of the texts becomes 'S' so that no number is read as a text address. The
// documented statuses and lengths are checked; a crash, sanitizer report, leak or hang is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "msg/format.h"
#include "qrxmsg.h"

namespace {

void check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "message_fuzzer: %s\n", what);
    std::abort();
  }
}

// The formatter on its own: never more than the room, and a text without a directive is copied as is.
void format_alone(const std::string &fmt, const uintptr_t *words, size_t room) {
  std::vector<char> out(room);
  const size_t n = qrx::msg::format_inserts(fmt.data(), fmt.size(), words, 10, out.data(), room);
  check(n <= room, "format_inserts wrote past its room");
  if (fmt.find('%') == std::string::npos)
    check(n == std::min(room, fmt.size()) && (n == 0 || std::memcmp(out.data(), fmt.data(), n) == 0),
          "a text without directives was not copied as it stands");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);              // numbers outside the table make error lines
  if (!std::freopen("/dev/null", "w", stdout)) abort();  // the output routines write every message
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t c = data[0];
  const bool numbers = c & 1;
  std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
  std::vector<std::string> piece;
  for (size_t at = 0; piece.size() < 11;) {
    const size_t nul = rest.find('\0', at);
    piece.push_back(rest.substr(at, nul == std::string::npos ? std::string::npos : nul - at));
    if (nul == std::string::npos) break;
    at = nul + 1;
  }
  piece.resize(std::max<size_t>(piece.size(), 3));
  if (numbers)
    for (std::string *s : {&rest, &piece[0], &piece[1]})
      for (char &ch : *s) ch = ch == 's' ? 'S' : ch;
  uintptr_t words[QRXM_INSERTS];
  for (size_t i = 0; i < QRXM_INSERTS; ++i) {
    uintptr_t w = 0;
    for (size_t b = 0; b < sizeof w; ++b)
      w = w << 8 | (size > 1 ? data[1 + (i * sizeof w + b) % (size - 1)] : 0);
    words[i] = numbers ? w : (i % 4 == 3 ? 0 : reinterpret_cast<uintptr_t>(piece[i % piece.size()].c_str()));
  }
  format_alone(rest, words, (c >> 1) % 4 == 0 ? 0 : (c >> 1) * 3);

  // The table: texts with their declared length right, short, long (the NUL still ends them) or negative.
  std::vector<std::string> texts(piece.begin() + 3, piece.end());
  for (std::string &t : texts)
    if (numbers)
      for (char &ch : t) ch = ch == 's' ? 'S' : ch;
  std::vector<qrxm_entry> table;
  for (size_t i = 0; i < texts.size(); ++i) {
    const int16_t len = static_cast<int16_t>(texts[i].size()), lens[] = {len, int16_t(len / 2), 300, -1};
    table.push_back({texts[i].c_str(), lens[(c >> (i % 7)) % 4], static_cast<uint16_t>(i)});
  }
  table.push_back({nullptr, 0, 0});
  const qrxm_entry *ref = table.data();
  std::string name = piece[2];
  name.resize(8, ' ');
  const int32_t mode = (c >> 5) % 4;

  check(qrxm1in(piece[0].c_str()) == QRXM_OK, "qrxm1in without an anchor");
  qrxm_handle h{}, again{};
  const int32_t opened = qrxm1om(name.c_str(), &ref, mode, piece[1].c_str(), &h);
  check(opened == (mode <= 2 ? QRXM_OK : QRXM_INVALID), "qrxm1om's status for the output mode");
  if (opened == QRXM_OK) {
    check(qrxm1om(name.c_str(), &ref, 0, "", &again) == QRXM_OK && again.slot == h.slot, "a second open");
    for (size_t i = 0; i <= texts.size() + 1; ++i) {
      const std::string number = i <= texts.size() ? std::to_string(i) : piece[2];
      const bool inside = i < texts.size();
      const uint16_t room = static_cast<uint16_t>((c + i * 37) % 300);
      std::vector<char> buf(room);
      qrxm_desc d{buf.data(), room, 0};
      const int32_t built = qrxm1bm(h, number.c_str(), &d, nullptr);
      if (i <= texts.size()) check(built == (inside ? QRXM_OK : QRXM_NOT_FOUND), "qrxm1bm's status");
      check(built != QRXM_OK || d.length <= room, "qrxm1bm's length past its room");
      qrxm1wm(h, number.c_str());
      qrxm1wf(h, number.c_str(), words);
      qrxm1wf(h, number.c_str(), nullptr);
    }
    qrxm2sc(h, piece[2].c_str());
    std::vector<char> buf(c % 64);
    qrxm_desc d{buf.data(), static_cast<uint16_t>(buf.size()), 0};
    if (qrxm2gc(name.c_str(), &d) == QRXM_OK) check(d.length <= buf.size(), "qrxm2gc's length past its room");
    qrxm2sc(h, "0"), qrxm2wm(name.c_str());
    qrxm1sd(h, c % 4);
    check(qrxm1cm(h) == QRXM_OK && qrxm1cm(again) == QRXM_OK, "closing both opens");
    check(qrxm1wm(h, "0") == QRXM_BAD_HANDLE, "a closed handle still works");
  }
  check(qrxm1te() == QRXM_OK, "qrxm1te");
  return 0;
}
