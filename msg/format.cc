// format.cc - the bounded formatter behind qrxm1wf.
//
// An array of insert words cannot be handed to C varargs portably, so the directives are interpreted
// here, each over one word, with the output cut at the caller's room. Widths and precisions are read
// saturating just above the room: a wider field looks the same once cut, and nothing overflows.
#include "msg/format.h"

namespace qrx::msg {
namespace {

class Out {
 public:
  Out(char *buf, size_t max) : buf_(buf), max_(max) {}
  void put(char c) {
    if (len_ < max_) buf_[len_++] = c;
  }
  void put(const char *s, size_t n) {
    for (size_t i = 0; i < n && len_ < max_; ++i) buf_[len_++] = s[i];
  }
  void fill(char c, size_t n) {
    for (; n > 0 && len_ < max_; --n) buf_[len_++] = c;
  }
  size_t length() const { return len_; }

 private:
  char *buf_;
  size_t max_;
  size_t len_ = 0;
};

struct Directive {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  size_t width = 0;
  bool has_prec = false;
  size_t prec = 0;
  bool whole = false;  // l, ll or z: the whole word
  char conv = 0;
};

size_t read_count(const char *&p, const char *end, size_t cap) {
  size_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) v = v > cap ? v : v * 10 + static_cast<size_t>(*p - '0');
  return v;
}

// Pads body (after its prefix and leading zeros) to the field width.
void put_field(Out &o, const Directive &s, const char *prefix, size_t plen, size_t zeros, const char *body,
               size_t blen, bool zero_pad) {
  const size_t used = plen + zeros + blen;
  const size_t pad = s.width > used ? s.width - used : 0;
  if (!s.left && !zero_pad) o.fill(' ', pad);
  o.put(prefix, plen);
  if (!s.left && zero_pad) o.fill('0', pad);
  o.fill('0', zeros);
  o.put(body, blen);
  if (s.left) o.fill(' ', pad);
}

void put_integer(Out &o, const Directive &s, uintmax_t mag, bool negative) {
  const unsigned base = s.conv == 'o' ? 8 : (s.conv == 'x' || s.conv == 'X' || s.conv == 'p') ? 16 : 10;
  const char *digit = s.conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  char rev[sizeof(uintmax_t) * 3], body[sizeof rev];
  size_t n = 0;
  const bool nonzero = mag != 0;
  if (!(s.has_prec && s.prec == 0 && !nonzero)) {
    do {
      rev[n++] = digit[mag % base];
      mag /= base;
    } while (mag != 0);
  }
  for (size_t i = 0; i < n; ++i) body[i] = rev[n - 1 - i];
  size_t zeros = s.has_prec && s.prec > n ? s.prec - n : 0;
  if (s.conv == 'o' && s.alt && zeros == 0 && (n == 0 || body[0] != '0')) zeros = 1;
  char prefix[3];
  size_t plen = 0;
  if (s.conv == 'd' || s.conv == 'i' || s.conv == 'p') {
    if (negative)
      prefix[plen++] = '-';
    else if (s.plus)
      prefix[plen++] = '+';
    else if (s.space)
      prefix[plen++] = ' ';
  }
  if (s.conv == 'p' || ((s.conv == 'x' || s.conv == 'X') && s.alt && nonzero)) {
    prefix[plen++] = '0';
    prefix[plen++] = s.conv == 'X' ? 'X' : 'x';
  }
  put_field(o, s, prefix, plen, zeros, body, n, s.zero && !s.has_prec);
}

void put_conversion(Out &o, const Directive &s, uintptr_t w) {
  switch (s.conv) {
    case 'd':
    case 'i': {
      const intmax_t v = s.whole ? static_cast<intmax_t>(static_cast<intptr_t>(w))
                                 : static_cast<intmax_t>(static_cast<int32_t>(static_cast<uint32_t>(w)));
      put_integer(o, s, v < 0 ? 0 - static_cast<uintmax_t>(v) : static_cast<uintmax_t>(v), v < 0);
      return;
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      put_integer(o, s, s.whole ? static_cast<uintmax_t>(w) : static_cast<uint32_t>(w), false);
      return;
    case 'p':
      if (w == 0) {
        put_field(o, s, nullptr, 0, 0, "(nil)", 5, false);
      } else {
        put_integer(o, s, w, false);
      }
      return;
    case 'c': {
      const char c = static_cast<char>(static_cast<unsigned char>(w));
      put_field(o, s, nullptr, 0, 0, &c, 1, false);
      return;
    }
    default: {  // 's'
      const char *text = w != 0 ? reinterpret_cast<const char *>(w) : "(null)";
      size_t n = 0;
      while ((!s.has_prec || n < s.prec) && text[n] != '\0') ++n;
      put_field(o, s, nullptr, 0, 0, text, n, false);
    }
  }
}

}  // namespace

size_t format_inserts(const char *fmt, size_t fmt_len, const uintptr_t *words, size_t count, char *out,
                      size_t out_max) {
  Out o(out, out_max);
  const char *p = fmt, *end = fmt + fmt_len;
  size_t used = 0;
  while (p < end && o.length() < out_max) {
    if (*p != '%') {
      o.put(*p++);
      continue;
    }
    const char *start = p++;
    if (p < end && *p == '%') {
      o.put('%');
      ++p;
      continue;
    }
    Directive s;
    for (; p < end; ++p) {
      bool *flag = *p == '-'   ? &s.left
                   : *p == '+' ? &s.plus
                   : *p == ' ' ? &s.space
                   : *p == '#' ? &s.alt
                   : *p == '0' ? &s.zero
                               : nullptr;
      if (flag == nullptr) break;
      *flag = true;
    }
    s.width = read_count(p, end, out_max);
    if (p < end && *p == '.') {
      ++p;
      s.has_prec = true;
      s.prec = read_count(p, end, out_max);
    }
    if (p < end && (*p == 'l' || *p == 'z')) {
      s.whole = true;
      if (*p++ == 'l' && p < end && *p == 'l') ++p;
    }
    s.conv = p < end ? *p++ : 0;
    const bool integer =
        s.conv == 'd' || s.conv == 'i' || s.conv == 'u' || s.conv == 'x' || s.conv == 'X' || s.conv == 'o';
    const bool other = !s.whole && (s.conv == 'c' || s.conv == 's' || s.conv == 'p');
    if ((!integer && !other) || used >= count) {
      o.put(start, static_cast<size_t>(p - start));  // not ours to convert: written as it stands
      continue;
    }
    put_conversion(o, s, words[used++]);
  }
  return o.length();
}

}  // namespace qrx::msg
