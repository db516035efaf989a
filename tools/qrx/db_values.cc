// db_values.cc - field values between their stored form (qrxis.h, convention 3) and text: what `qrx db`
// reads from CSV files and command lines and what it prints. A value printed and read back gives the
// same stored bytes: floating values are printed in their shortest exact form, binary values as hex.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "db_files.h"
#include "qrxis.h"

namespace qrx::tool {

namespace {

std::string quoted(const std::string &text) {
  constexpr size_t kShown = 40;
  return "'" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "'";
}

// A whole decimal number in [lo, hi]; false with why.
bool parse_integer(const std::string &text, int64_t lo, int64_t hi, const FieldDesc &f, int64_t &out,
                   std::string &why) {
  const char *b = text.data(), *e = b + text.size();
  if (b != e && *b == '+') ++b;  // from_chars takes no '+'
  const auto [p, ec] = std::from_chars(b, e, out);
  if (text.empty() || ec == std::errc::invalid_argument || p != e || (b != text.data() && *b == '-')) {
    why = quoted(text) + " is not a whole number";
    return false;
  }
  if (ec == std::errc::result_out_of_range || out < lo || out > hi) {
    why = quoted(text) + " is out of range for " + type_name(f) + " (" + std::to_string(lo) + " to " +
          std::to_string(hi) + ")";
    return false;
  }
  return true;
}

template <class F>
bool parse_floating(const std::string &text, const FieldDesc &f, F &out, std::string &why) {
  errno = 0;
  char *end = nullptr;
  out = sizeof(F) == 4 ? static_cast<F>(std::strtof(text.c_str(), &end))
                       : static_cast<F>(std::strtod(text.c_str(), &end));
  if (text.empty() || end != text.c_str() + text.size() ||
      std::isspace(static_cast<unsigned char>(text[0]))) {
    why = quoted(text) + " is not a number";
    return false;
  }
  if (errno == ERANGE && std::isinf(out)) {
    why = quoted(text) + " is out of range for " + type_name(f);
    return false;
  }
  return true;
}

template <class F>
std::string shortest(F v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string format_value(const FieldDesc &f, const uint8_t *v) {
  switch (f.type) {
    case I_STRING:
    case I_CSTRING:
      return reinterpret_cast<const char *>(v);
    case I_INT:
    case I_LONG:
      return std::to_string(qrxis_get_i32(v));
    case I_UNSIGNED:
      return std::to_string(qrxis_get_u32(v));
    case I_SHORT:
      return std::to_string(qrxis_get_i16(v));
    case I_FLOAT:
      return shortest(qrxis_get_f32(v));
    case I_DOUBLE:
      return shortest(qrxis_get_f64(v));
    case I_BINARY: {
      static const char kHex[] = "0123456789abcdef";
      std::string out;
      for (uint32_t i = 0; i < f.width; ++i) out += {kHex[v[i] >> 4], kHex[v[i] & 15]};
      return out;
    }
    default: {
      std::string out(reinterpret_cast<const char *>(v), f.width);
      while (!out.empty() && (out.back() == ' ' || out.back() == '\0')) out.pop_back();
      return out;
    }
  }
}

bool parse_value(const FieldDesc &f, const std::string &text, std::string &stored, std::string &why) {
  int64_t n = 0;
  stored.clear();
  switch (f.type) {
    case I_STRING:
    case I_CSTRING:
      if (text.find('\0') != std::string::npos) {
        why = "a text cannot hold a NUL byte";
        return false;
      }
      stored = text;
      stored.push_back('\0');
      return true;
    case I_INT:
    case I_LONG:
    case I_UNSIGNED:
    case I_SHORT: {
      const bool is_short = f.type == I_SHORT, is_unsigned = f.type == I_UNSIGNED;
      const int64_t lo = is_unsigned ? 0 : (is_short ? INT16_MIN : INT32_MIN);
      const int64_t hi = is_unsigned ? int64_t{UINT32_MAX} : (is_short ? INT16_MAX : INT32_MAX);
      if (!parse_integer(text, lo, hi, f, n, why)) return false;
      stored.resize(is_short ? 2 : 4);
      if (is_short)
        qrxis_put_i16(stored.data(), static_cast<int16_t>(n));
      else
        qrxis_put_u32(stored.data(), static_cast<uint32_t>(n));
      return true;
    }
    case I_FLOAT: {
      float v = 0;
      if (!parse_floating(text, f, v, why)) return false;
      stored.resize(4);
      qrxis_put_f32(stored.data(), v);
      return true;
    }
    case I_DOUBLE: {
      double v = 0;
      if (!parse_floating(text, f, v, why)) return false;
      stored.resize(8);
      qrxis_put_f64(stored.data(), v);
      return true;
    }
    case I_BINARY: {
      if (text.size() % 2 != 0 || text.size() / 2 > f.width) {
        why = quoted(text) + " is not up to " + std::to_string(f.width) + " bytes in hexadecimal";
        return false;
      }
      stored.assign(f.width, '\0');
      for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) {
          why = quoted(text) + " is not hexadecimal";
          return false;
        }
        stored[i / 2] = static_cast<char>(hi * 16 + lo);
      }
      return true;
    }
    default:
      if (text.size() > f.width) {
        why = quoted(text) + " is " + std::to_string(text.size()) + " bytes long; the field holds " +
              std::to_string(f.width);
        return false;
      }
      stored = text;
      stored.resize(f.width, ' ');
      return true;
  }
}

}  // namespace qrx::tool
