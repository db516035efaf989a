// qrxtrace.h - trace shorthands for the library's own source files (not installed).
//
// Each source file that traces says QRX_TRACE_UNIT(); once at file scope. The macros then write through
// that file's unit: errors and notices always, detail lines with flag 16, block and node lines with
// flag 1, entry and exit events with flag 64.
#pragma once

#include "host/qrxhost.h"

namespace qrx {

// The service's generation word, read where the unit is checked: a trace check on a hot path (every block
// access has one) then costs two loads and a compare instead of a call into the host library.
inline const uint32_t *const trace_generation = TLG1_GenerationWord();

// Same answer as TLG1_Flags(unit).
inline uint32_t trace_flags(TLG1_Unit *unit) {
  const uint32_t *word = trace_generation;  // null only while static constructors still run
  if (word != nullptr) {
    const uint32_t current = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    if (current != 0 && __atomic_load_n(&unit->generation, __ATOMIC_ACQUIRE) == current)
      return __atomic_load_n(&unit->flags, __ATOMIC_RELAXED);
  }
  return TLG1_Flags(unit);
}

}  // namespace qrx

#define QRX_TRACE_UNIT() TLG1_DEFINE_UNIT(qrx_trace_unit_)

#define QRX_TRACE_ON(flag) ((qrx::trace_flags(&qrx_trace_unit_) & (flag)) != 0)
#define QRX_ERROR(...) qrxtrerr(&qrx_trace_unit_, __LINE__, __VA_ARGS__)
#define QRX_NOTICE(severity, ...) qrxtrnot(&qrx_trace_unit_, __LINE__, (severity), __VA_ARGS__)
#define QRX_DETAIL(...)                                                                  \
  do {                                                                                   \
    if (QRX_TRACE_ON(TLG1_DETAIL)) TLG1_Printf(&qrx_trace_unit_, __LINE__, __VA_ARGS__); \
  } while (0)
#define QRX_BLOCK_TRACE(...)                                                             \
  do {                                                                                   \
    if (QRX_TRACE_ON(TLG1_BLOCKS)) TLG1_Printf(&qrx_trace_unit_, __LINE__, __VA_ARGS__); \
  } while (0)
#define QRX_ENTRY()                                                                                 \
  do {                                                                                              \
    if (QRX_TRACE_ON(TLG1_ENTRY_EXIT)) TLG1_Event(&qrx_trace_unit_, __LINE__, TLG1_EVENT_ENTRY, 0); \
  } while (0)
#define QRX_EXIT(value)                                                                        \
  do {                                                                                         \
    if (QRX_TRACE_ON(TLG1_ENTRY_EXIT))                                                         \
      TLG1_Event(&qrx_trace_unit_, __LINE__, TLG1_EVENT_EXIT_VALUE, static_cast<long>(value)); \
  } while (0)
