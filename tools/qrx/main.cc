// main.cc - the qrx command line.
//
//   qrx idx stat FILE          statistics of an index file (exit 1 when its walk meets damage)
//   qrx idx verify FILE        deep check; exit 0 consistent, 1 not (findings on standard error, the
//                              dump in FILE's name.dmp)
//   qrx idx dump FILE [--raw]  the dump by levels, or in block order with --raw, on standard output
//   qrx db ...                 databases: create, load, export, get, scan, stat, verify, rebuild,
//                              copy, rename, destroy, index add|rm, dump (db_cli.cc)
//   qrx demo [DIR] [--keys N] [--records N] [--keyed N] [--block-size N] [--seed N]
//                              builds, changes, walks and verifies a sample index, a sample
//                              database and a keyed file in DIR
// Exit status: 0, 1 when a command fails or finds damage, 2 when the command line does not parse.
//
// Index files of `qrx idx` are files ordered by the default compare (bytes, then the shorter key first).
#include <CLI/CLI.hpp>

#include <string>

#include "db_tool.h"
#include "qrx_tool.h"

int main(int argc, char **argv) {
  using namespace qrx::tool;
  CLI::App app{
      "qrx - index files and databases of libqrx01p2: statistics, verification, dumps, the database "
      "commands and a demonstration"};
  app.require_subcommand(1);
  // A command line that does not parse gets one line, as every other failure of the tool does.
  app.failure_message([](const CLI::App *, const CLI::Error &e) {
    return std::string("qrx: ") + e.what() + " (qrx --help lists the commands and their options)\n";
  });
  int status = 0;

  CLI::App *idx = app.add_subcommand("idx", "Work on an index file (ordered by the default compare)");
  idx->require_subcommand(1);

  std::string file;
  CLI::App *stat = idx->add_subcommand("stat", "Block size, depth, blocks, entries, key bytes and fill");
  stat->add_option("FILE", file, "Index file")->required();
  stat->callback([&] { status = cmd_stat(file); });

  CLI::App *verify =
      idx->add_subcommand("verify", "Check the tree in depth; exit 0 when consistent, 1 when not");
  verify->add_option("FILE", file, "Index file")->required();
  verify->callback([&] { status = cmd_verify(file); });

  bool raw = false;
  CLI::App *dump = idx->add_subcommand("dump", "Dump the tree on standard output");
  dump->add_option("FILE", file, "Index file")->required();
  dump->add_flag("--raw", raw, "Dump the blocks in file order instead of by levels");
  dump->callback([&] { status = cmd_dump(file, raw); });

  add_db_commands(app, status);

  DemoOptions demo_opt;
  CLI::App *demo = app.add_subcommand(
      "demo", "Build, change, walk and verify a sample index file, database and keyed file");
  demo->add_option("DIR", demo_opt.dir, "Directory for demo.idx, the sample database and the keyed file")
      ->capture_default_str();
  demo->add_option("--keys", demo_opt.keys, "Number of generated keys")
      ->capture_default_str()
      ->check(CLI::Range(1u, 50000000u));
  demo->add_option("--records", demo_opt.records, "Number of generated records of the sample database")
      ->capture_default_str()
      ->check(CLI::Range(1u, 10000000u));
  demo->add_option("--keyed", demo_opt.keyed, "Number of records added through the keyed-file service")
      ->capture_default_str()
      ->check(CLI::Range(1u, 10000000u));
  demo->add_option("--block-size", demo_opt.blksize, "Block size of the index files in bytes")
      ->capture_default_str()
      ->check(CLI::Range(88u, 65536u));
  demo->add_option("--seed", demo_opt.seed, "Seed of the key generator")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  demo->callback([&] { status = cmd_demo(demo_opt); });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // --help is a "parse error" of status 0. A command line that does not parse exits with 2, apart from
    // the 1 of a command that ran and failed, as the usual Unix tools do.
    return app.exit(e) == 0 ? 0 : 2;
  }
  return status;
}
