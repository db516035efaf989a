// user_storage.cc - user storage: the anchor "USR1" with its space and attribute records, and the
// operations qrxuscu ... qrxusgr.
//
// One mutex serialises every operation of the family, the making and dropping of the anchor included, so
// no thread ever meets a half-made anchor or a list in the middle of a change, whatever the host does.
// Spaces are found only through the handle table (keyed/handles.h): a handle's slot gives the record, whose
// identifier must equal the handle's. A space leaves the table before its record goes back to its area,
// so no handle ever reaches a freed record (an area keeps freed elements readable: their bytes prove
// nothing). The anchor exists exactly while a top-level space does: every operation that leaves the list
// of top-level spaces empty (a destruction, or a creation that failed or was interrupted) destroys both
// areas and the heap, forgets the anchor and frees its record before it lets go of the mutex.
#include <cstring>
#include <mutex>
#include <new>

#include "host/qrxtrace.h"
#include "keyed/handles.h"
#include "qrxus.h"

QRX_TRACE_UNIT();

namespace qrx::usr {
namespace {

using keyed::Kind;

// A doubly linked list whose members carry `next` and `prev`; both ends are null. A zero-filled list is
// empty, and so is a zero-filled member's link.
template <class T>
struct List {
  T *first;
  T *last;

  bool holds(const T *m) const { return m->prev != nullptr || first == m; }
  void push_front(T *m) {
    m->prev = nullptr;
    m->next = first;
    (first != nullptr ? first->prev : last) = m;
    first = m;
  }
  void remove(T *m) {
    (m->prev != nullptr ? m->prev->next : first) = m->next;
    (m->next != nullptr ? m->next->prev : last) = m->prev;
    m->next = m->prev = nullptr;
  }
};

struct Anchor;
struct Attr;

// An element of "UCSAREA".
struct Space {
  uint16_t id;    // with `zero` and `slot`: the handle
  uint16_t zero;  // always 0
  uint32_t slot;
  Space *parent;  // the space itself for a top-level space
  Anchor *anchor;
  Space *next, *prev;  // on the anchor's list (top level) or the parent's list of children
  List<Space> children;
  List<Attr> attrs;
  int32_t reason;  // of the last operation on the space
  int32_t name_length;
  char name[QRXUS_NAME_MAX];
};

// An element of "ATTRAREA".
struct Attr {
  Attr *next, *prev;  // on the space's attribute list
  char name[QRXUS_NAME_MAX];
  int32_t name_length;
  UsrDescriptor value;  // bytes: a piece of "BUFFERHEAP", or null for a value of length 0
};

// The record of the anchor "USR1".
struct Anchor {
  char eye[4];  // "USAB" once filled
  List<Space> spaces;
  HPM1_Handle space_area;  // "UCSAREA"
  HPM1_Handle attr_area;   // "ATTRAREA"
  HPM1_Handle value_heap;  // "BUFFERHEAP"
  uint16_t counter;        // identifier of the last space made
};

constexpr uint32_t kHeapSize = 5000;

std::mutex &family_mutex() {
  // Never destroyed (hosts may call from exit handlers); made in place, so that the first use cannot fail for
  // want of memory.
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex *m = new (storage) std::mutex;
  return *m;
}

RGY1_Name anchor_name() {
  return RGY1_Name{"USR1", 4, 4};
}

UsrHandle handle_of(const Space *s) {
  return UsrHandle{s->id, 0, s->slot};
}

// A descriptor the operations may read: not null, and with bytes when it has a length.
bool readable(const UsrDescriptor *d) {
  return d != nullptr && (d->bytes != nullptr || d->length == 0);
}
bool name_fits(const UsrDescriptor *d) {
  return d->length >= QRXUS_NAME_MIN && d->length <= QRXUS_NAME_MAX;
}
bool same_name(const char *name, int32_t length, const UsrDescriptor *d) {
  return length == d->length && std::memcmp(name, d->bytes, d->length) == 0;
}

Attr *own_attr(const Space *s, const UsrDescriptor *name) {
  for (Attr *a = s->attrs.first; a != nullptr; a = a->next)
    if (same_name(a->name, a->name_length, name)) return a;
  return nullptr;
}

// The live space a handle names, or null. The caller holds the family mutex.
Space *lookup(UsrHandle h, keyed::Pin &pin) {
  if (h.zero != 0) return nullptr;
  pin = keyed::slot_pin(h.slot, Kind::kUserSpace);
  Space *s = pin ? pin.get<Space>() : nullptr;
  return s != nullptr && s->id == h.id ? s : nullptr;
}

// A piece of `size` bytes from an area or the heap, or null; a failure is written to an error line with
// the space's diagnosis.
void *allocate(const HPM1_Handle &space, uint32_t size, const char *what) {
  void *p = nullptr;
  const int32_t rc = HPM1_AllocateStorage(&space, size, &p);
  if (rc == HPM1_OK) return p;
  int32_t diagnosis = 0;
  HPM1_DiagnoseSpace(&space, &diagnosis);
  QRX_ERROR("Allocation of %u bytes from %s failed, status = %d, reason = %d", size, what, rc, diagnosis);
  return nullptr;
}

// Gives a piece back (a null one is not given); false, after an error line, when the space refuses it.
bool give_back(const HPM1_Handle &space, const void *p, const char *what) {
  const int32_t rc = p == nullptr ? HPM1_OK : HPM1_FreeStorage(&space, const_cast<void *>(p));
  if (rc != HPM1_OK) QRX_ERROR("Giving back %p to %s failed, status = %d", p, what, rc);
  return rc == HPM1_OK;
}

// Runs work() under a guard frame, then settle() under a second one on every path. A condition raised in
// work makes the result 8 with reason 45 in *reason; one raised in settle changes nothing more.
template <class Work, class Settle>
int32_t framed(int line, int32_t *reason, Work &&work, Settle &&settle) {
  int32_t rc = QRXUS_ABNORMAL;
  bool done = false;
  XFR1_Guard(__FILE__, line, [&] {
    rc = work();
    done = true;
  });
  if (!done) {
    QRX_ERROR("Abnormal condition detected");
    rc = QRXUS_ABNORMAL;
    *reason = QRXUS_R_CONDITION;
  }
  XFR1_Guard(__FILE__, line, [&] { settle(); });
  return rc;
}

// Drops the store when no top-level space is left: both areas and the heap, with every piece still in
// them, the anchor's name and its record. A space or piece made by this anchor is never reached again.
void drop_if_empty(Anchor *a) {
  if (a == nullptr || a->spaces.first != nullptr) return;
  // A handle that names no space (a part of the store never made) is refused and harmless.
  HPM1_DestroySpace(&a->space_area);
  HPM1_DestroySpace(&a->attr_area);
  HPM1_DestroySpace(&a->value_heap);
  const RGY1_Name name = anchor_name();
  int32_t ctx = 0;
  RGY1_ForgetAnchorAddress(&name, &ctx);
  a->~Anchor();
  OSV1_FreeMem(a, nullptr);
  QRX_DETAIL("store dropped");
}

// Allocates a space record and fills it (reason 26, a fresh identifier, a slot); *made names it as soon as
// it exists, so that a clean-up finds it. False when the record or its slot cannot be had, with nothing
// left behind.
bool new_space(Anchor *a, Space *parent, const char *name, int32_t length, Space **made) {
  void *p = allocate(a->space_area, sizeof(Space), "UCSAREA");
  if (p == nullptr) return false;
  Space *s = *made = new (p) Space{};
  std::memcpy(s->name, name, static_cast<size_t>(length));
  s->name_length = length;
  s->anchor = a;
  s->reason = QRXUS_R_CREATED;
  a->counter = static_cast<uint16_t>(a->counter == UINT16_MAX ? 1 : a->counter + 1);
  s->id = a->counter;
  s->parent = parent != nullptr ? parent : s;
  s->slot = keyed::slot_issue(Kind::kUserSpace, s, 0, nullptr);
  if (s->slot != 0) return true;
  QRX_ERROR("No slot for space %u", s->id);
  *made = nullptr;
  give_back(a->space_area, s, "UCSAREA");
  return false;
}

// Takes a space out of the handle table and off its list, and gives its record back to "UCSAREA". False
// when the area refuses the record (the space is gone from the store all the same).
bool discard(Space *s) {
  Anchor *a = s->anchor;
  keyed::slot_retire(s->slot);
  List<Space> &list = s->parent == s ? a->spaces : s->parent->children;
  if (list.holds(s)) list.remove(s);
  QRX_DETAIL("space %u (slot %u) destroyed", s->id, s->slot);
  return give_back(a->space_area, s, "UCSAREA");
}

// Unlinks an attribute and gives its value and its record back. False when either is refused.
bool free_attr(Space *s, Attr *at) {
  Anchor *a = s->anchor;
  s->attrs.remove(at);
  const bool value_back = give_back(a->value_heap, at->value.bytes, "BUFFERHEAP");
  return give_back(a->attr_area, at, "ATTRAREA") && value_back;
}

// Destroys root with its subtree without recursion, deepest spaces first: each step destroys a space that
// has no children left (its attributes, then itself) and goes on from its parent. Stops at the first
// storage call that fails: 8 with *status 41.
int32_t destroy_tree(Space *root, int32_t *status) {
  for (Space *s = root;;) {
    while (s->children.first != nullptr) s = s->children.first;
    Space *const up = s->parent;
    const bool last = s == root;
    while (Attr *at = s->attrs.first)
      if (!free_attr(s, at)) return *status = QRXUS_R_STORAGE, QRXUS_ABNORMAL;
    if (!discard(s)) return *status = QRXUS_R_STORAGE, QRXUS_ABNORMAL;
    if (last) return *status = QRXUS_R_OK, QRXUS_OK;
    s = up;
  }
}

// qrxuscu's steps 2 to 5 under the family mutex: finds or makes the store, then the space. *anchor is set
// as soon as the store's record is known to be this family's, *made while a new record is not yet linked.
int32_t create_top(const UsrDescriptor *name, UsrHandle *out, int32_t *status, Anchor **anchor,
                   Space **made) {
  const RGY1_Name rname = anchor_name();
  int32_t ctx = 0;
  void *record = nullptr;
  const int32_t found = RGY1_LocateCreateAnchor(&rname, sizeof(Anchor), &record, &ctx);
  if (found == RGY1_CREATED) {
    Anchor *a = *anchor = new (record) Anchor{};
    HPM1_Handle storage{0};
    int32_t rc = HPM1_GetStorageHandle(&storage, &ctx);
    if (rc == HPM1_OK)
      rc = HPM1_CreateArea(&storage, "UCSAREA", 0, sizeof(Space), sizeof(Space), &a->space_area);
    if (rc == HPM1_OK)
      rc = HPM1_CreateArea(&storage, "ATTRAREA", 0, sizeof(Attr), sizeof(Attr), &a->attr_area);
    if (rc == HPM1_OK) rc = HPM1_CreateHeap(&storage, "BUFFERHEAP", 0, kHeapSize, &a->value_heap);
    if (rc != HPM1_OK) {
      QRX_ERROR("The storage of the store could not be made, status = %d", rc);
      *status = QRXUS_R_STORAGE;
      return QRXUS_ABNORMAL;
    }
    std::memcpy(a->eye, "USAB", 4);
    QRX_DETAIL("store made");
  } else if (found == RGY1_OK && std::memcmp(static_cast<Anchor *>(record)->eye, "USAB", 4) == 0) {
    *anchor = static_cast<Anchor *>(record);
    for (const Space *s = (*anchor)->spaces.first; s != nullptr; s = s->next) {
      if (same_name(s->name, s->name_length, name)) {
        *status = QRXUS_R_DUPLICATE;
        return QRXUS_DUPLICATE;
      }
    }
  } else {
    // Not made now, and not a store this family filled: nothing here may be touched.
    QRX_ERROR("LocateCreateAnchor failed, status = %d", found);
    XFR1__Raise(XFR1_Thread(), found);
  }
  const char *bytes = static_cast<const char *>(name->bytes);
  if (!new_space(*anchor, nullptr, bytes, name->length, made)) {
    *status = QRXUS_R_STORAGE;
    return QRXUS_NO_STORAGE;
  }
  (*anchor)->spaces.push_front(*made);
  QRX_DETAIL("space %u (slot %u) created, name %.*s", (*made)->id, (*made)->slot, name->length, bytes);
  *out = handle_of(*made);
  *made = nullptr;
  return QRXUS_OK;
}

// Runs an operation on the space a handle names: 2 when it names none, else work(space) and then
// settle(space) under framed(), with a condition's reason left in the space.
template <class Work, class Settle>
int32_t on_space(int line, UsrHandle h, Work &&work, Settle &&settle) {
  QRX_ENTRY();
  std::lock_guard<std::mutex> g(family_mutex());
  qrx::keyed::Pin pin;
  Space *s = lookup(h, pin);
  int32_t rc = QRXUS_BAD_HANDLE;
  if (s != nullptr)
    rc = framed(
        line, &s->reason, [&] { return work(s); }, [&] { settle(s); });
  QRX_EXIT(rc);
  return rc;
}
template <class Work>
int32_t on_space(int line, UsrHandle h, Work &&work) {
  return on_space(line, h, work, [](Space *) {});
}

// qrxusga and qrxusgs: the search climbs (inherit) through the ancestors below the top level.
int32_t find_attr(UsrHandle h, const UsrDescriptor *name, UsrDescriptor *value, bool inherit) {
  return on_space(__LINE__, h, [&](Space *s) -> int32_t {
    if (!readable(name) || value == nullptr) return QRXUS_SHORT_NAME;
    if (!name_fits(name)) return s->reason = QRXUS_R_SHORT_ATTR_NAME, QRXUS_SHORT_NAME;
    for (const Space *at = s;;) {
      if (const Attr *a = own_attr(at, name)) {
        if (inherit) s->reason = QRXUS_R_OK;
        *value = a->value;
        return QRXUS_OK;
      }
      at = at->parent;
      if (!inherit || at->parent == at) break;
    }
    s->reason = QRXUS_R_NOT_FOUND;
    return QRXUS_NOT_FOUND;
  });
}

}  // namespace
}  // namespace qrx::usr

using namespace qrx::usr;

extern "C" {

QRX_API int32_t qrxuscu(const UsrDescriptor *name, UsrHandle *space, int32_t *status) {
  if (!readable(name) || space == nullptr || status == nullptr) return QRXUS_SHORT_NAME;
  *status = QRXUS_R_CREATED;
  if (!name_fits(name)) {
    *status = QRXUS_R_SHORT_SPACE_NAME;
    return QRXUS_SHORT_NAME;
  }
  QRX_ENTRY();
  std::lock_guard<std::mutex> g(family_mutex());
  Anchor *anchor = nullptr;
  Space *made = nullptr;
  const int32_t rc = framed(
      __LINE__, status, [&]() -> int32_t { return create_top(name, space, status, &anchor, &made); },
      [&] {
        if (made != nullptr) discard(made);
        drop_if_empty(anchor);
      });
  QRX_EXIT(rc);
  return rc;
}

QRX_API int32_t qrxuscs(UsrHandle parent, UsrHandle *space) {
  Space *made = nullptr;  // allocated and not yet linked: given back by the clean-up
  return on_space(
      __LINE__, parent,
      [&](Space *p) -> int32_t {
        if (space == nullptr) return QRXUS_SHORT_NAME;
        if (!new_space(p->anchor, p, p->name, p->name_length, &made)) {
          p->reason = QRXUS_R_STORAGE;
          return QRXUS_NO_STORAGE;
        }
        p->children.push_front(made);
        QRX_DETAIL("space %u (slot %u) created under space %u", made->id, made->slot, p->id);
        *space = handle_of(made);
        made = nullptr;
        return QRXUS_OK;
      },
      [&](Space *) {
        if (made != nullptr) discard(made);
      });
}

QRX_API int32_t qrxusdu(UsrHandle space, int32_t *status) {
  QRX_ENTRY();
  std::lock_guard<std::mutex> g(family_mutex());
  qrx::keyed::Pin pin;
  Space *s = lookup(space, pin);
  int32_t rc = QRXUS_BAD_HANDLE;
  if (s != nullptr && status == nullptr) {
    rc = QRXUS_SHORT_NAME;
  } else if (s != nullptr) {
    Anchor *const a = s->anchor;
    rc = framed(
        __LINE__, status, [&]() -> int32_t { return destroy_tree(s, status); }, [&] { drop_if_empty(a); });
  }
  QRX_EXIT(rc);
  return rc;
}

QRX_API int32_t qrxussa(UsrHandle space, const UsrDescriptor *name, const UsrDescriptor *value) {
  void *record = nullptr, *piece = nullptr;  // allocated and not yet linked: given back by the clean-up
  return on_space(
      __LINE__, space,
      [&](Space *s) -> int32_t {
        if (!readable(name) || !readable(value)) return QRXUS_SHORT_NAME;
        if (!name_fits(name)) return s->reason = QRXUS_R_SHORT_ATTR_NAME, QRXUS_SHORT_NAME;
        if (own_attr(s, name) != nullptr) return s->reason = QRXUS_R_DUPLICATE, QRXUS_DUPLICATE;
        Anchor *const a = s->anchor;
        if ((record = allocate(a->attr_area, sizeof(Attr), "ATTRAREA")) == nullptr ||
            (value->length > 0 &&
             (piece = allocate(a->value_heap, value->length, "BUFFERHEAP")) == nullptr)) {
          s->reason = QRXUS_R_STORAGE;
          return QRXUS_NO_STORAGE;
        }
        Attr *at = new (record) Attr{};
        if (piece != nullptr) std::memcpy(piece, value->bytes, value->length);
        at->value = UsrDescriptor{piece, value->length, value->length};
        std::memcpy(at->name, name->bytes, name->length);
        at->name_length = name->length;
        s->attrs.push_front(at);
        record = piece = nullptr;
        s->reason = QRXUS_R_OK;
        return QRXUS_OK;
      },
      [&](Space *s) {
        give_back(s->anchor->value_heap, piece, "BUFFERHEAP");
        give_back(s->anchor->attr_area, record, "ATTRAREA");
      });
}

QRX_API int32_t qrxusga(UsrHandle space, const UsrDescriptor *name, UsrDescriptor *value) {
  return find_attr(space, name, value, true);
}

QRX_API int32_t qrxusgs(UsrHandle space, const UsrDescriptor *name, UsrDescriptor *value) {
  return find_attr(space, name, value, false);
}

QRX_API int32_t qrxusfa(UsrHandle space, const UsrDescriptor *name) {
  return on_space(__LINE__, space, [&](Space *s) -> int32_t {
    if (!readable(name)) return QRXUS_SHORT_NAME;
    s->reason = QRXUS_R_OK;
    if (!name_fits(name)) return s->reason = QRXUS_R_SHORT_ATTR_NAME, QRXUS_SHORT_NAME;
    Attr *at = own_attr(s, name);
    if (at == nullptr) return s->reason = QRXUS_R_NOT_FOUND, QRXUS_NOT_FOUND;
    if (!free_attr(s, at)) return s->reason = QRXUS_R_STORAGE, QRXUS_ABNORMAL;
    return QRXUS_OK;
  });
}

QRX_API int32_t qrxusgp(UsrHandle space, UsrHandle *parent) {
  return on_space(__LINE__, space, [&](Space *s) -> int32_t {
    if (parent == nullptr) return QRXUS_SHORT_NAME;
    if (s->parent == s) {
      *parent = UsrHandle{0, 0, 0};
    } else {
      *parent = handle_of(s->parent);
      s->reason = QRXUS_R_OK;
    }
    return QRXUS_OK;
  });
}

QRX_API int32_t qrxusgr(UsrHandle space, int32_t *reason) {
  return on_space(__LINE__, space, [&](Space *s) -> int32_t {
    if (reason == nullptr) return QRXUS_SHORT_NAME;
    *reason = s->reason;
    return QRXUS_OK;
  });
}

}  // extern "C"
