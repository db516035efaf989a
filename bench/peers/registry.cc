// registry.cc - the lists of engines this build of the benchmarks has.
#include "bench/peers/engine.h"
#include "bench/peers/record_workloads.h"

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

std::vector<RecordEngineEntry> all_record_engines() {
  return {
      {"qrx", "this library's record engine", make_qrx_record_engine},
      {"sqlite", "SQLite 3 rowid table with three indexes", make_sqlite_record_engine},
      {"bdb", "Berkeley DB 5.3 B-trees, secondaries by DB->associate", make_bdb_record_engine},
      {"lmdb", "LMDB, three sub-databases kept by hand", make_lmdb_record_engine},
  };
}

}  // namespace qrx::peers
