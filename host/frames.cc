// frames.cc - exception frames (XFR1_): the per-thread chain of guard frames, raising and error records.
//
// Each thread has its own chain (thread-local, so no locking). A raise records the code in the thread's
// error record and throws XFR1_Condition, which the nearest enclosing XFR1_Guard catches; a raise with
// no frame on the chain has nowhere to go, so it writes an error line and aborts the process.
#include <cstdlib>

#include "host/qrxhost.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace {
thread_local XFR1_Chain t_chain{nullptr, {0}};

XFR1_Chain *chain_or_own(XFR1_Chain *chain) {
  return chain != nullptr ? chain : &t_chain;
}
}  // namespace

extern "C" {

QRXHOST_API XFR1_Chain *XFR1_Thread(void) {
  return &t_chain;
}

QRXHOST_API void XFR1__PushFrame(XFR1_Chain *chain, XFR1_Frame *frame, const char *file, int line) {
  if (frame == nullptr) return;
  chain = chain_or_own(chain);
  frame->prev = chain->top;
  frame->file = file;
  frame->line = line;
  chain->top = frame;
}

QRXHOST_API void XFR1__DropFrame(XFR1_Chain *chain, XFR1_Frame *frame, const char *file, int line) {
  if (frame == nullptr) return;
  chain = chain_or_own(chain);
  for (XFR1_Frame **link = &chain->top; *link != nullptr; link = &(*link)->prev) {
    if (*link == frame) {
      *link = frame->prev;
      frame->prev = nullptr;
      return;
    }
  }
  QRX_ERROR("frame %p pushed at %s:%d is not on the chain (drop at %s:%d)", static_cast<void *>(frame),
            frame->file ? frame->file : "?", frame->line, file ? file : "?", line);
}

QRXHOST_API void XFR1__Raise(XFR1_Chain *chain, int32_t code) {
  chain = chain_or_own(chain);
  chain->error.code = code;
  if (chain->top == nullptr) {
    QRX_ERROR("condition %d raised with no guard frame on the thread; aborting", code);
    std::abort();
  }
  throw XFR1_Condition{code};
}

QRXHOST_API XFR1_ErrorRecord *qrxerec(XFR1_Chain *chain) {
  return &chain_or_own(chain)->error;
}

}  // extern "C"
