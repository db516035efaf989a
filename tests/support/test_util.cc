#include "support/test_util.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/qrxhost.h"

namespace qrx::test {

TempDir::TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qrxtest.XXXXXX";
  path_ = mkdtemp(tmpl.data()) ? tmpl : throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TraceCapture::TraceCapture() {
  qrxhost_set_trace_sink(
      [](void *ctx, const char *file, int line, int kind, int severity, const char *text) {
        auto *self = static_cast<TraceCapture *>(ctx);
        std::lock_guard<std::mutex> g(self->mu_);
        self->lines_.push_back({file ? file : "", line, kind, severity, text ? text : ""});
      },
      this);
}
TraceCapture::~TraceCapture() {
  qrxhost_set_trace_sink(nullptr, nullptr);
}

std::vector<TraceLine> TraceCapture::lines() const {
  std::lock_guard<std::mutex> g(mu_);
  return lines_;
}

int TraceCapture::count(int kind, const std::string &text) const {
  const auto all = lines();
  return int(std::count_if(all.begin(), all.end(),
                           [&](const TraceLine &l) { return l.kind == kind && l.text == text; }));
}

bool TraceCapture::contains(int kind, const std::string &part) const {
  const auto all = lines();
  return std::any_of(all.begin(), all.end(), [&](const TraceLine &l) {
    return l.kind == kind && l.text.find(part) != std::string::npos;
  });
}

void TraceCapture::clear() {
  std::lock_guard<std::mutex> g(mu_);
  lines_.clear();
}

static std::atomic<uint32_t> g_sleep_calls{0}, g_sleep_seconds{0};

FakeSleep::FakeSleep() {
  g_sleep_calls = g_sleep_seconds = 0;
  qrxhost_set_sleep_hook([](uint32_t s) {
    g_sleep_calls++;
    g_sleep_seconds += s;
  });
}
FakeSleep::~FakeSleep() {
  qrxhost_set_sleep_hook(nullptr);
}
uint32_t FakeSleep::calls() const {
  return g_sleep_calls;
}
uint32_t FakeSleep::seconds() const {
  return g_sleep_seconds;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

}  // namespace qrx::test
