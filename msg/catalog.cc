// catalog.cc - the message catalog's anchor, components and open records: qrxm1in, qrxm1om, qrxm1cm,
// qrxm1te, qrxm1sd, qrxm2sc and qrxm2cc.
//
// Every operation holds the family mutex for its whole run, so no thread ever meets a half-made anchor or
// a list in the middle of a change, even when the host forgets to serialise its calls.
#include <cstring>
#include <new>

#include "host/qrxhost.h"
#include "host/qrxtrace.h"
#include "msg/catalog.h"

QRX_TRACE_UNIT();

namespace qrx::msg {
namespace {

RGY1_Name anchor_name() {
  return RGY1_Name{"MSG1C", 5, 5};
}

qrxm_handle handle_of(const OpenRecord *rec) {
  return qrxm_handle{rec->seq, 0, rec->slot};
}

// Copies at most n characters of src, stopping at a NUL, into dst and NUL-terminates it.
void copy_bounded(char *dst, const char *src, size_t n) {
  size_t i = 0;
  for (; src != nullptr && i < n && src[i] != '\0'; ++i) dst[i] = src[i];
  dst[i] = '\0';
}

// The handle table's release step of an open record: its memory goes back.
void release_record(void *rec) {
  OSV1_FreeMem(rec, nullptr);
}

// Unlinks and frees a component that has no open record left: 0 or the free's code.
int32_t drop_component(Component *comp) {
  comp->link.unlink();
  int32_t st = 0;
  OSV1_FreeMem(comp, &st);
  return st;
}

// Ends one open of a live record: at an open count of 0 the record leaves its component's list and the
// handle table (its memory goes once the last pin is let go), and an emptied component goes too.
int32_t close_record(OpenRecord *rec) {
  if (--rec->open_count > 0) return kOk;
  Component *comp = rec->component;
  rec->link.unlink();
  keyed::slot_retire(rec->slot);  // no new pin from here on; the memory goes with the last one
  return comp->opens.empty() ? drop_component(comp) : kOk;
}

// A new open record of the component over the table, made inside a guard frame. 0 with *out
// set and the record on the component's list; otherwise the record is gone and the status says why.
int32_t open_new(Anchor *anchor, Component *comp, const qrxm_entry *table, int32_t mode, const char *suffix,
                 OpenRecord **out) {
  int32_t status = kOk;
  OpenRecord *rec = nullptr;
  const int32_t cond = XFR1_Guard(__FILE__, __LINE__, [&] {
    void *mem = nullptr;
    if ((status = OSV1_GetMem(sizeof(OpenRecord), &mem, nullptr)) != 0) {
      QRX_ERROR("open record not obtained, status = %d", status);
      return;
    }
    rec = static_cast<OpenRecord *>(mem);
    rec->seq = ++anchor->open_counter;
    rec->aux = 0;
    rec->component = comp;
    rec->table = table;
    rec->anchor = anchor;
    rec->open_count = 1;
    rec->code[0] = '\0';
    std::memcpy(rec->prefix, anchor->prefix, sizeof anchor->prefix);
    copy_bounded(rec->prefix + std::strlen(rec->prefix), suffix, kPrefixLen);
    if ((rec->output = output_of(mode)) == nullptr) {
      OSV1_FreeMem(rec, nullptr);
      rec = nullptr;
      status = kInvalid;
      QRX_ERROR("output mode %d is invalid", mode);
      XFR1_Chain *chain = XFR1_Thread();
      qrxerec(chain)->code = status;
      XFR1__Raise(chain, qrxerec(chain)->code);
      return;  // not reached: the raise resumes after the guard
    }
    if ((rec->slot = keyed::slot_issue(keyed::Kind::kCatalog, rec, 0, release_record)) == 0) {
      OSV1_FreeMem(rec, nullptr);
      rec = nullptr;
      status = kAbnormal;
      QRX_ERROR("no slot for an open record");
      return;
    }
    comp->opens.push_front(&rec->link);
    rec->link.self = rec;
  });
  if (cond != 0 && status == kOk) status = kAbnormal;
  if (status == kOk) *out = rec;
  return status;
}

}  // namespace

std::mutex &family_mutex() {
  // Never destroyed (exit handlers may still call the family); made in place, so that the first use cannot
  // fail for want of memory.
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex *m = new (storage) std::mutex;
  return *m;
}

Anchor *find_anchor(int32_t *status) {
  const RGY1_Name name = anchor_name();
  void *p = nullptr;
  int32_t ctx = 0;
  *status = RGY1_LocateAnchorAddress(&name, &p, &ctx);
  return *status == RGY1_OK ? static_cast<Anchor *>(p) : nullptr;
}

Component *find_component(Anchor *anchor, const char *name) {
  for (Link *l = anchor->components.next; l != &anchor->components; l = l->next) {
    auto *comp = static_cast<Component *>(l->self);
    if (std::memcmp(comp->name, name, kNameLen) == 0) return comp;
  }
  return nullptr;
}

OpenRecord *check_handle(qrxm_handle handle, keyed::Pin *pin) {
  *pin = keyed::slot_pin(handle.slot, keyed::Kind::kCatalog);
  if (!*pin) return nullptr;
  auto *rec = pin->get<OpenRecord>();
  if (rec->seq != handle.seq || handle.aux != 0) {
    pin->reset();
    return nullptr;
  }
  return rec;
}

}  // namespace qrx::msg

using namespace qrx::msg;

extern "C" {

QRX_API int32_t qrxm1in(const char *prefix) {
  std::lock_guard<std::mutex> g(family_mutex());
  const RGY1_Name name = anchor_name();
  void *p = nullptr;
  const int32_t rc = RGY1_LocateCreateAnchor(&name, sizeof(Anchor), &p, nullptr);
  if (rc == RGY1_OK) return kInitialised;
  if (rc != RGY1_CREATED) {
    QRX_ERROR("LocateCreateAnchor failed, status = %d", rc);
    return rc;
  }
  auto *anchor = static_cast<Anchor *>(p);
  std::memcpy(anchor->eye, "MSAB", 4);
  anchor->components.init_empty();
  anchor->open_counter = 0;
  anchor->reserved = 0;
  copy_bounded(anchor->prefix, prefix, kPrefixLen);
  return kOk;
}

QRX_API int32_t qrxm1om(const char *name, const qrxm_entry *const *table_ref, int32_t mode,
                        const char *suffix, qrxm_handle *handle) {
  if (name == nullptr || table_ref == nullptr || *table_ref == nullptr || handle == nullptr) return kInvalid;
  std::lock_guard<std::mutex> g(family_mutex());
  int32_t status = kOk;
  Anchor *anchor = find_anchor(&status);
  if (anchor == nullptr) return kNoAnchor;
  Component *comp = find_component(anchor, name);
  if (comp == nullptr) {
    void *mem = nullptr;
    if ((status = OSV1_GetMem(sizeof(Component), &mem, nullptr)) != 0) {
      QRX_ERROR("component not obtained, status = %d", status);
      return status;
    }
    comp = static_cast<Component *>(mem);
    std::memcpy(comp->eye, "MSUB", 4);
    std::memcpy(comp->name, name, kNameLen);
    comp->word = 0;
    comp->opens.init_empty();
    anchor->components.push_front(&comp->link);
    comp->link.self = comp;
  }
  const qrxm_entry *table = *table_ref;
  OpenRecord *rec = nullptr;
  for (Link *l = comp->opens.next; l != &comp->opens && rec == nullptr; l = l->next)
    if (static_cast<OpenRecord *>(l->self)->table == table) rec = static_cast<OpenRecord *>(l->self);
  if (rec != nullptr) {
    ++rec->open_count;
  } else if ((status = open_new(anchor, comp, table, mode, suffix, &rec)) != kOk) {
    if (comp->opens.empty()) drop_component(comp);  // only a component without other opens goes
    return status;
  }
  *handle = handle_of(rec);
  return kOk;
}

QRX_API int32_t qrxm1cm(qrxm_handle handle) {
  std::lock_guard<std::mutex> g(family_mutex());
  qrx::keyed::Pin pin;
  OpenRecord *rec = check_handle(handle, &pin);
  return rec == nullptr ? kBadHandle : close_record(rec);
}

QRX_API int32_t qrxm1te(void) {
  std::lock_guard<std::mutex> g(family_mutex());
  int32_t status = kOk;
  Anchor *anchor = find_anchor(&status);
  if (anchor == nullptr) return status;
  // Each close may free the component walked: every step starts again from the anchor.
  while (!anchor->components.empty()) {
    auto *comp = static_cast<Component *>(anchor->components.next->self);
    const int32_t st = comp->opens.empty() ? drop_component(comp)
                                           : close_record(static_cast<OpenRecord *>(comp->opens.next->self));
    if (status == kOk) status = st;
  }
  const RGY1_Name name = anchor_name();
  int32_t ctx = 0;
  RGY1_ForgetAnchorAddress(&name, &ctx);
  OSV1_FreeMem(anchor, nullptr);  // nobody else can hold it: every user of it runs under the family mutex
  return status;
}

QRX_API int32_t qrxm1sd(qrxm_handle handle, int32_t mode) {
  std::lock_guard<std::mutex> g(family_mutex());
  qrx::keyed::Pin pin;
  OpenRecord *rec = check_handle(handle, &pin);
  if (rec == nullptr) return kBadHandle;
  const qrxm_output_fn fn = output_of(mode);
  if (fn == nullptr) return kInvalid;
  rec->output = fn;
  return kOk;
}

QRX_API int32_t qrxm2sc(qrxm_handle handle, const char *code) {
  if (code == nullptr) return kInvalid;
  std::lock_guard<std::mutex> g(family_mutex());
  qrx::keyed::Pin pin;
  OpenRecord *rec = check_handle(handle, &pin);
  if (rec == nullptr) return kBadHandle;
  copy_bounded(rec->code, code, kCodeLen);
  return kOk;
}

QRX_API int32_t qrxm2cc(qrxm_handle handle) {
  std::lock_guard<std::mutex> g(family_mutex());
  qrx::keyed::Pin pin;
  OpenRecord *rec = check_handle(handle, &pin);
  if (rec == nullptr) return kBadHandle;
  rec->code[0] = '\0';
  return kOk;
}

}  // extern "C"
