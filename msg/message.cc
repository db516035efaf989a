// message.cc - building and writing catalog messages: qrxm1bm, qrxm1wm, qrxm1wf, qrxm2gc, qrxm2wm and the
// output routines qrxmrpo, qrxmrpl, qrxmrpu.
//
// A built message is the open's prefix and a bounded piece of the table entry's text, never more than the
// room it is built into; its length counts exactly the characters written, so no descriptor handed on
// claims bytes that were not written.
#include <cstdio>
#include <cstring>

#include "host/qrxtrace.h"
#include "msg/catalog.h"
#include "msg/format.h"

QRX_TRACE_UNIT();

namespace qrx::msg {
namespace {

// The value of a decimal text as atol reads it (leading white space, a sign, then digits), saturated
// instead of overflowing: a huge number is simply past any table's end.
int64_t number_of(const char *s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  const bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  int64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s)
    if (v <= INT32_MAX) v = v * 10 + (*s - '0');
  return negative ? -v : v;
}

int32_t write_out(const qrxm_desc *desc, int32_t *status) {
  if (desc == nullptr || (desc->text == nullptr && desc->length > 0)) return kInvalid;
  flockfile(stdout);  // the line stays whole among other threads' writes to standard output
  if (desc->length > 0) std::fwrite(desc->text, 1, desc->length, stdout);
  std::putc('\n', stdout);
  std::fflush(stdout);
  funlockfile(stdout);
  if (status != nullptr) *status = QRXM_WRITTEN;
  return kOk;
}

// The routines an open writes through. They are the exported ones' own bodies under hidden names, so that
// a host function of an exported name never takes their place.
int32_t rp_o(qrxm_handle, const qrxm_desc *desc, uint16_t, int32_t *status) {
  return write_out(desc, status);
}
int32_t rp_l(qrxm_handle, const qrxm_desc *desc, uint16_t, int32_t *status) {
  return write_out(desc, status);
}
int32_t rp_u(qrxm_handle, const qrxm_desc *desc, uint16_t, int32_t *status) {
  return write_out(desc, status);
}

// Passes text[0..length) to the record's output routine and returns the routine's result.
int32_t output(const OpenRecord *rec, char *text, size_t length, uint16_t attribute) {
  qrxm_desc desc{text, static_cast<uint16_t>(kMaxText), static_cast<uint16_t>(length)};
  int32_t status = 0;
  return rec->output(qrxm_handle{rec->seq, 0, rec->slot}, &desc, attribute, &status);
}

// A current message taken from an open: its built text and attribute, and the open it came from.
struct Current {
  char text[kMaxText];
  size_t length = 0;
  uint16_t attr = 0;
  OpenRecord *rec = nullptr;
};

// Takes the current message of the first open of the component that has one: builds it into cur, empties
// the code and gives the record. 6 without an anchor, 5 when there is no such component or code, or the
// code names no entry. Caller holds the mutex.
int32_t take_current(const char *name, Current *cur) {
  int32_t status = kOk;
  Anchor *anchor = find_anchor(&status);
  if (anchor == nullptr) return kNoAnchor;
  Component *comp = find_component(anchor, name);
  if (comp == nullptr) return kNotFound;
  for (Link *l = comp->opens.next; l != &comp->opens; l = l->next) {
    auto *rec = static_cast<OpenRecord *>(l->self);
    if (rec->code[0] == '\0') continue;
    status = build(rec, rec->code, cur->text, kMaxText, &cur->length, &cur->attr);
    rec->code[0] = '\0';
    cur->rec = rec;
    return status;
  }
  return kNotFound;
}

}  // namespace

qrxm_output_fn output_of(int32_t mode) {
  switch (mode) {
    case QRXM_OUTPUT_RPO:
      return rp_o;
    case QRXM_OUTPUT_RPL:
      return rp_l;
    case QRXM_OUTPUT_RPU:
      return rp_u;
    default:
      return nullptr;
  }
}

int32_t build(const OpenRecord *rec, const char *number, char *text, size_t max, size_t *length,
              uint16_t *attribute) {
  const int64_t n = number_of(number);
  int64_t i = 0;
  while (i <= n && rec->table[i].text != nullptr) ++i;  // the table ends at its first entry without text
  if (n < 0 || i <= n) {
    QRX_ERROR("message number %lld is outside the table", static_cast<long long>(n));
    return kNotFound;
  }
  const qrxm_entry &entry = rec->table[n];
  size_t len = 0;
  for (const char *p = rec->prefix; *p != '\0' && len < max; ++p) text[len++] = *p;
  const size_t declared = entry.length < 0 ? 0 : static_cast<size_t>(entry.length);
  for (size_t k = 0; k < declared && k < kMaxEntry && entry.text[k] != '\0' && len < max; ++k)
    text[len++] = entry.text[k];
  *length = len;
  *attribute = entry.attribute;
  return kOk;
}

}  // namespace qrx::msg

using namespace qrx::msg;

extern "C" {

QRX_API int32_t qrxmrpo(qrxm_handle h, const qrxm_desc *desc, uint16_t attribute, int32_t *status) {
  return rp_o(h, desc, attribute, status);
}
QRX_API int32_t qrxmrpl(qrxm_handle h, const qrxm_desc *desc, uint16_t attribute, int32_t *status) {
  return rp_l(h, desc, attribute, status);
}
QRX_API int32_t qrxmrpu(qrxm_handle h, const qrxm_desc *desc, uint16_t attribute, int32_t *status) {
  return rp_u(h, desc, attribute, status);
}

QRX_API int32_t qrxm1bm(qrxm_handle handle, const char *number, qrxm_desc *desc, uint16_t *attribute) {
  if (number == nullptr || desc == nullptr || (desc->text == nullptr && desc->max > 0)) return kInvalid;
  std::lock_guard<std::mutex> g(family_mutex());
  qrx::keyed::Pin pin;
  const OpenRecord *rec = check_handle(handle, &pin);
  if (rec == nullptr) return kBadHandle;
  size_t length = 0;
  uint16_t attr = 0;
  const int32_t status = build(rec, number, desc->text, desc->max, &length, &attr);
  if (status != kOk) return status;
  desc->length = static_cast<uint16_t>(length);
  if (attribute != nullptr) *attribute = attr;
  return kOk;
}

QRX_API int32_t qrxm1wm(qrxm_handle handle, const char *number) {
  if (number == nullptr) return kInvalid;
  std::lock_guard<std::mutex> g(family_mutex());
  qrx::keyed::Pin pin;
  const OpenRecord *rec = check_handle(handle, &pin);
  if (rec == nullptr) return kBadHandle;
  char text[kMaxText];
  size_t length = 0;
  uint16_t attr = 0;
  const int32_t status = build(rec, number, text, sizeof text, &length, &attr);
  return status != kOk ? status : output(rec, text, length, attr);
}

QRX_API int32_t qrxm1wf(qrxm_handle handle, const char *number, const uintptr_t inserts[QRXM_INSERTS]) {
  if (number == nullptr) return kInvalid;
  static const uintptr_t kNoInserts[QRXM_INSERTS] = {};
  std::lock_guard<std::mutex> g(family_mutex());
  qrx::keyed::Pin pin;
  const OpenRecord *rec = check_handle(handle, &pin);
  if (rec == nullptr) return kBadHandle;
  char text[kMaxText], formatted[kMaxText];
  size_t length = 0;
  uint16_t attr = 0;
  const int32_t status = build(rec, number, text, sizeof text, &length, &attr);
  if (status != kOk) return status;
  length = format_inserts(text, length, inserts != nullptr ? inserts : kNoInserts, QRXM_INSERTS, formatted,
                          sizeof formatted);
  return output(rec, formatted, length, attr);
}

QRX_API int32_t qrxm2gc(const char *name, qrxm_desc *desc) {
  if (name == nullptr || desc == nullptr || (desc->text == nullptr && desc->max > 0)) return kInvalid;
  std::lock_guard<std::mutex> g(family_mutex());
  Current cur;
  const int32_t status = take_current(name, &cur);
  if (status != kOk) return status;
  const size_t n = cur.length < desc->max ? cur.length : desc->max;
  if (n > 0) std::memcpy(desc->text, cur.text, n);
  desc->length = static_cast<uint16_t>(n);
  return kOk;
}

QRX_API int32_t qrxm2wm(const char *name) {
  if (name == nullptr) return kInvalid;
  std::lock_guard<std::mutex> g(family_mutex());
  Current cur;
  const int32_t status = take_current(name, &cur);
  return status != kOk ? status : output(cur.rec, cur.text, cur.length, cur.attr);
}

}  // extern "C"
