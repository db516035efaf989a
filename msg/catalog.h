// catalog.h - the message catalog's records and the steps its operations share.
//
// The anchor "MSG1C" holds a circular list of components, each a circular list of open records. Every
// operation of the family runs under one process-wide mutex (family_mutex), anchor creation and
// dropping included, so the lists are never seen half-changed and the anchor never half-made. Open
// records are named by slots of the handle table (keyed/handles.h); pins are only held under the mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "keyed/handles.h"
#include "keyed/links.h"
#include "qrxmsg.h"

namespace qrx::msg {

inline constexpr int32_t kOk = QRXM_OK, kInvalid = QRXM_INVALID, kBadHandle = QRXM_BAD_HANDLE,
                         kInitialised = QRXM_INITIALISED, kNotFound = QRXM_NOT_FOUND,
                         kNoAnchor = QRXM_NO_ANCHOR, kAbnormal = QRXM_ABNORMAL;
inline constexpr size_t kNameLen = 8, kCodeLen = 6, kPrefixLen = 3, kMaxText = QRXM_MAX_TEXT,
                        kMaxEntry = QRXM_MAX_ENTRY;

using Link = qrx::keyed::Links;  // a list's header is a Link pointing to itself when empty

struct Anchor {
  char eye[4];            // "MSAB"
  Link components;        // Component::link, most recently made first
  uint16_t open_counter;  // numbers the opens
  int32_t reserved;       // 0
  char prefix[kPrefixLen + 1];
};

struct Component {
  char eye[4];  // "MSUB"
  Link link;    // in Anchor::components
  char name[kNameLen];
  int32_t word;  // 0
  Link opens;    // OpenRecord::link, most recently made first
};

struct OpenRecord {
  uint16_t seq;   // the anchor's open counter after this open raised it
  uint16_t aux;   // 0
  uint32_t slot;  // names this record in the handle table
  Component *component;
  Link link;  // in Component::opens
  const qrxm_entry *table;
  Anchor *anchor;
  qrxm_output_fn output;
  int32_t open_count;
  char code[kCodeLen + 1];          // current message code, "" when none
  char prefix[2 * kPrefixLen + 1];  // the anchor's prefix and the open's suffix
};

// The family's mutex, taken by every operation for its whole run.
std::mutex &family_mutex();

// The anchor, or null (*status: the registry's code) when there is none. Caller holds the mutex.
Anchor *find_anchor(int32_t *status);

// The component of that 8-byte name, or null. Caller holds the mutex.
Component *find_component(Anchor *anchor, const char *name);

// The live open record a handle names: its slot is a live catalog record with the handle's sequence
// number. The pin keeps the record's memory while the caller works on it. Caller holds the mutex.
OpenRecord *check_handle(qrxm_handle handle, keyed::Pin *pin);

// Builds message `number` of the record's table into text[0..max): 0 with *length and *attribute set,
// 5 when the number names no entry (nothing written). Caller holds the mutex.
int32_t build(const OpenRecord *rec, const char *number, char *text, size_t max, size_t *length,
              uint16_t *attribute);

// The output routine of a mode, or null for a mode other than 0, 1, 2.
qrxm_output_fn output_of(int32_t mode);

}  // namespace qrx::msg
