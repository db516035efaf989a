// engine_absl.cc - absl::btree_map<std::string, uint32_t>, the in-memory reference: the same keys in the
// same process, with no file, no cache and no persistence. Lookups and erases take the key as an
// absl::string_view (the map's default comparator for strings accepts one), so they copy no key.
#include <absl/container/btree_map.h>
#include <absl/strings/string_view.h>

#include <string>

#include "bench/peers/engine.h"

namespace qrx::peers {
namespace {

class AbslEngine final : public Engine {
 public:
  const char *name() const override { return "absl"; }
  bool persistent() const override { return false; }
  std::vector<std::string> files(const std::string & /*base*/) const override { return {}; }

  void create(const std::string & /*base*/, uint64_t /*cache_bytes*/) override { map_.clear(); }
  void open(const std::string & /*base*/, uint64_t /*cache_bytes*/) override {
    throw EngineError("absl: an in-memory map cannot be reopened");
  }
  void flush() override {}
  void close() override { map_ = {}; }

  void insert(const uint8_t *key, uint32_t item) override {
    if (!map_.emplace(std::string(reinterpret_cast<const char *>(key), kKeyLen), item).second)
      throw EngineError("absl: key already present");
  }

  bool find(const uint8_t *key, uint32_t *item) override {
    auto it = map_.find(view(key));
    if (it == map_.end()) return false;
    *item = it->second;
    return true;
  }

  void erase(const uint8_t *key, uint32_t /*item*/) override {
    if (map_.erase(view(key)) != 1) throw EngineError("absl: key not found");
  }

  ScanResult scan() override {
    ScanResult r;
    for (const auto &[k, v] : map_) scan_add(r, reinterpret_cast<const uint8_t *>(k.data()), v);
    return r;
  }

 private:
  static absl::string_view view(const uint8_t *key) {
    return absl::string_view(reinterpret_cast<const char *>(key), kKeyLen);
  }

  absl::btree_map<std::string, uint32_t> map_;
};

}  // namespace

std::unique_ptr<Engine> make_absl_engine() {
  return std::make_unique<AbslEngine>();
}

}  // namespace qrx::peers
