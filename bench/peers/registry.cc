// registry.cc - the list of engines this build of the benchmark has.
#include "bench/peers/engine.h"

namespace qrx::peers {

std::vector<EngineEntry> all_engines() {
  std::vector<EngineEntry> v = {
      {"qrx", "this library's B-tree layer", make_qrx_engine},
      {"bdb", "Berkeley DB 5.3 B-tree", make_bdb_engine},
      {"sqlite", "SQLite 3 WITHOUT ROWID table", make_sqlite_engine},
      {"lmdb", "LMDB", make_lmdb_engine},
  };
#ifdef QRX_PEERS_HAVE_KYOTO
  v.push_back({"kyoto", "Kyoto Cabinet TreeDB", make_kyoto_engine});
#endif
  v.push_back({"absl", "absl::btree_map<std::string, uint32_t>, in memory", make_absl_engine});
  return v;
}

}  // namespace qrx::peers
