// trace.cc - the trace service: trace units, the flag word with its generation, and the line writer.
//
// The service keeps one flag word and a generation number that grows on every change of the word. A
// unit caches the word with the generation it was read at, so TLG1_Flags costs two loads and a compare
// until the word changes. The environment (QRX_TRACE_FLAGS, QRX_TRACE_FILE) is read once, at the first
// call into the service. state_mutex guards changes of the word and unit syncs; write_mutex serialises
// every line and guards the sink hook, so a line is never interleaved with another and a sink that has
// been removed is no longer called once qrxhost_set_trace_sink returns.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "host/host_internal.h"
#include "host/qrxhost.h"

namespace qrx::host {
namespace {

struct TraceService {
  std::mutex state_mutex;
  std::atomic<uint32_t> generation{0};  // 0 until the environment was read, then 1, 2, ...
  std::atomic<uint32_t> flags{0};       // written under state_mutex

  std::mutex write_mutex;
  int fd = STDERR_FILENO;          // set once before the generation leaves 0, read-only after
  qrxhost_sink_fn sink = nullptr;  // guarded by write_mutex
  void *sink_ctx = nullptr;        // guarded by write_mutex
};

// Constant-initialised and trivially destroyed, so it is usable from any constructor or exit handler.
constinit TraceService g_service;

TraceService &service() {
  return g_service;
}

// "0x..." is hexadecimal, anything else decimal; text that is not a whole number gives 0.
uint32_t parse_flags(const char *text) {
  if (text == nullptr || *text == '\0') return 0;
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  if (*text == '\0') return 0;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = std::strtoull(text, &end, base);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > UINT32_MAX) return 0;
  return static_cast<uint32_t>(v);
}

// Reads the environment on the first call of the process; cheap afterwards.
TraceService &started() {
  TraceService &s = service();
  if (s.generation.load(std::memory_order_acquire) != 0) return s;
  std::lock_guard<std::mutex> g(s.state_mutex);
  if (s.generation.load(std::memory_order_relaxed) != 0) return s;
  const char *file = std::getenv("QRX_TRACE_FILE");
  if (file != nullptr && *file != '\0') {
    int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) s.fd = fd;  // published to writers by the release store below
  }
  s.flags.store(parse_flags(std::getenv("QRX_TRACE_FLAGS")), std::memory_order_relaxed);
  s.generation.store(1, std::memory_order_release);
  return s;
}

const char *base_name(const char *file) {
  if (file == nullptr || *file == '\0') return "?";
  const char *slash = std::strrchr(file, '/');
  return slash ? slash + 1 : file;
}

const char *unit_file(const TLG1_Unit *unit) {
  return unit ? unit->file : nullptr;
}

// The formatted text; empty when memory runs out (a trace call never fails its caller).
std::string vformat(const char *fmt, va_list ap) noexcept {
  std::string out;
  if (fmt == nullptr) return out;
  char small[256];
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  try {
    if (n < 0) {
      out = fmt;  // a broken format still leaves a trace of the call site
    } else if (static_cast<size_t>(n) < sizeof small) {
      out.assign(small, static_cast<size_t>(n));
    } else {
      out.resize(static_cast<size_t>(n) + 1);
      std::vsnprintf(out.data(), out.size(), fmt, again);
      out.resize(static_cast<size_t>(n));
    }
  } catch (...) {
    out.clear();
  }
  va_end(again);
  return out;
}

std::string kind_word(int kind, int severity) {
  switch (kind) {
    case QRXHOST_KIND_ERROR:
      return "ERROR";
    case QRXHOST_KIND_NOTICE:
      return "NOTICE(" + std::to_string(severity) + ")";
    case QRXHOST_KIND_DETAIL:
      return "DETAIL";
    case QRXHOST_KIND_ENTRY:
      return "ENTRY";
    case QRXHOST_KIND_EXIT:
      return "EXIT";
    case QRXHOST_KIND_MESSAGE:
      return "MESSAGE";
    default:
      return "KIND" + std::to_string(kind);
  }
}

void write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report it
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

void emit_line(const char *file, int line, int kind, int severity, std::string_view text) noexcept {
  try {
    TraceService &s = started();
    const char *base = base_name(file);
    std::lock_guard<std::mutex> g(s.write_mutex);
    if (s.sink != nullptr) {
      std::string copy(text);
      s.sink(s.sink_ctx, base, line, kind, kind == QRXHOST_KIND_NOTICE ? severity : 0, copy.c_str());
      return;
    }
    std::string out = "qrx ";
    out += base;
    out += ':';
    out += std::to_string(line);
    out += ' ';
    out += kind_word(kind, severity);
    if (!text.empty()) {
      out += ' ';
      out += text;
    }
    out += '\n';
    write_all(s.fd, out.data(), out.size());  // one write per line keeps lines whole in the file
  } catch (...) {
    // Out of memory while building a line: the line is lost, the caller's result is not.
  }
}

}  // namespace qrx::host

using qrx::host::emit_line;
using qrx::host::started;
using qrx::host::vformat;

extern "C" {

QRXHOST_API uint32_t TLG1_Generation(void) {
  return started().generation.load(std::memory_order_acquire);
}

QRXHOST_API const uint32_t *TLG1_GenerationWord(void) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                std::atomic<uint32_t>::is_always_lock_free);
  return reinterpret_cast<const uint32_t *>(&qrx::host::service().generation);
}

QRXHOST_API uint32_t TLG1_Sync(TLG1_Unit *unit) {
  auto &s = started();
  std::lock_guard<std::mutex> g(s.state_mutex);
  uint32_t flags = s.flags.load(std::memory_order_relaxed);
  if (unit != nullptr) {
    // The word goes in before the generation that vouches for it.
    std::atomic_ref<uint32_t>(unit->flags).store(flags, std::memory_order_relaxed);
    std::atomic_ref<uint32_t>(unit->generation)
        .store(s.generation.load(std::memory_order_relaxed), std::memory_order_release);
  }
  return flags;
}

QRXHOST_API uint32_t TLG1_Flags(TLG1_Unit *unit) {
  if (unit == nullptr) return TLG1_Sync(nullptr);
  uint32_t current = qrx::host::service().generation.load(std::memory_order_acquire);
  if (current != 0 && std::atomic_ref<uint32_t>(unit->generation).load(std::memory_order_acquire) == current)
    return std::atomic_ref<uint32_t>(unit->flags).load(std::memory_order_relaxed);
  return TLG1_Sync(unit);
}

QRXHOST_API void TLG1_SetFlags(uint32_t flags) {
  auto &s = started();
  std::lock_guard<std::mutex> g(s.state_mutex);
  s.flags.store(flags, std::memory_order_relaxed);
  uint32_t next = s.generation.load(std::memory_order_relaxed) + 1;
  if (next == 0) next = 1;  // 0 means "never synced" in a unit
  s.generation.store(next, std::memory_order_release);
}

QRXHOST_API void TLG1_Event(TLG1_Unit *unit, int line, int kind, long value) {
  const char *file = qrx::host::unit_file(unit);
  switch (kind) {
    case TLG1_EVENT_ENTRY:
      emit_line(file, line, QRXHOST_KIND_ENTRY, 0, {});
      break;
    case TLG1_EVENT_EXIT_VALUE: {
      char text[32];
      std::snprintf(text, sizeof text, "%ld", value);
      emit_line(file, line, QRXHOST_KIND_EXIT, 0, text);
    } break;
    default:
      emit_line(file, line, QRXHOST_KIND_EXIT, 0, {});
      break;
  }
}

QRXHOST_API void TLG1_Printf(TLG1_Unit *unit, int line, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  emit_line(qrx::host::unit_file(unit), line, QRXHOST_KIND_DETAIL, 0, text);
}

QRXHOST_API void qrxtrerr(TLG1_Unit *unit, int line, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  emit_line(qrx::host::unit_file(unit), line, QRXHOST_KIND_ERROR, 0, text);
}

QRXHOST_API void qrxtrnot(TLG1_Unit *unit, int line, int severity, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  emit_line(qrx::host::unit_file(unit), line, QRXHOST_KIND_NOTICE, severity, text);
}

QRXHOST_API void qrxhost_set_trace_sink(qrxhost_sink_fn fn, void *ctx) {
  auto &s = started();
  std::lock_guard<std::mutex> g(s.write_mutex);
  s.sink = fn;
  s.sink_ctx = fn ? ctx : nullptr;
}

}  // extern "C"
