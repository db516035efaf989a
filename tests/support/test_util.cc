#include "support/test_util.h"

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
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TraceCapture::TraceCapture() { qrxhost_set_trace_sink(&TraceCapture::sink, this); }
TraceCapture::~TraceCapture() { qrxhost_set_trace_sink(nullptr, nullptr); }

void TraceCapture::sink(void *ctx, const char *file, int line, int kind, int severity, const char *text) {
  auto *self = static_cast<TraceCapture *>(ctx);
  std::lock_guard<std::mutex> g(self->mu_);
  self->lines_.push_back({file ? file : "", line, kind, severity, text ? text : ""});
}

std::vector<TraceLine> TraceCapture::lines() const {
  std::lock_guard<std::mutex> g(mu_);
  return lines_;
}

int TraceCapture::count(int kind, const std::string &text) const {
  std::lock_guard<std::mutex> g(mu_);
  int n = 0;
  for (const auto &l : lines_) n += (l.kind == kind && l.text == text);
  return n;
}

bool TraceCapture::contains(int kind, const std::string &part) const {
  std::lock_guard<std::mutex> g(mu_);
  for (const auto &l : lines_)
    if (l.kind == kind && l.text.find(part) != std::string::npos) return true;
  return false;
}

void TraceCapture::clear() {
  std::lock_guard<std::mutex> g(mu_);
  lines_.clear();
}

namespace {
std::atomic<uint32_t> g_sleep_calls{0};
std::atomic<uint32_t> g_sleep_seconds{0};
void fake_sleep(uint32_t s) {
  g_sleep_calls++;
  g_sleep_seconds += s;
}
}  // namespace

FakeSleep::FakeSleep() {
  g_sleep_calls = 0;
  g_sleep_seconds = 0;
  qrxhost_set_sleep_hook(&fake_sleep);
}
FakeSleep::~FakeSleep() { qrxhost_set_sleep_hook(nullptr); }
uint32_t FakeSleep::calls() const { return g_sleep_calls; }
uint32_t FakeSleep::seconds() const { return g_sleep_seconds; }

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace qrx::test
