// qrxtrace.h - trace shorthands for the library's own source files (not installed).
//
// Each source file that traces says QRX_TRACE_UNIT(); once at file scope. The macros then write through
// that file's unit: errors and notices always, detail lines with flag 16, block and node lines with
// flag 1, entry and exit events with flag 64.
#pragma once

#include "host/qrxhost.h"

#define QRX_TRACE_UNIT() TLG1_DEFINE_UNIT(qrx_trace_unit_)

#define QRX_TRACE_ON(flag) ((TLG1_Flags(&qrx_trace_unit_) & (flag)) != 0)
#define QRX_ERROR(...) qrxtrerr(&qrx_trace_unit_, __LINE__, __VA_ARGS__)
#define QRX_NOTICE(severity, ...) qrxtrnot(&qrx_trace_unit_, __LINE__, (severity), __VA_ARGS__)
#define QRX_DETAIL(...)                                                          \
  do {                                                                           \
    if (QRX_TRACE_ON(TLG1_DETAIL)) TLG1_Printf(&qrx_trace_unit_, __LINE__, __VA_ARGS__); \
  } while (0)
#define QRX_BLOCK_TRACE(...)                                                     \
  do {                                                                           \
    if (QRX_TRACE_ON(TLG1_BLOCKS)) TLG1_Printf(&qrx_trace_unit_, __LINE__, __VA_ARGS__); \
  } while (0)
#define QRX_ENTRY()                                                                      \
  do {                                                                                   \
    if (QRX_TRACE_ON(TLG1_ENTRY_EXIT)) TLG1_Event(&qrx_trace_unit_, __LINE__, TLG1_EVENT_ENTRY, 0); \
  } while (0)
#define QRX_EXIT(value)                                                                              \
  do {                                                                                               \
    if (QRX_TRACE_ON(TLG1_ENTRY_EXIT))                                                               \
      TLG1_Event(&qrx_trace_unit_, __LINE__, TLG1_EVENT_EXIT_VALUE, static_cast<long>(value));       \
  } while (0)
