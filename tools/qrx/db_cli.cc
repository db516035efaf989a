// db_cli.cc - the command line of the `qrx db` family (CLI11).
#include <CLI/CLI.hpp>

#include "db_tool.h"

namespace qrx::tool {

namespace {

// Every option of every db command; one command runs per process.
struct DbArgs {
  CreateOptions create;
  std::string name, other, file, index;
  std::vector<std::string> values, indexes;
  uint64_t limit = 0;
  uint32_t blksize = 0;
  bool csv = false, strict = false, all = false, into = false, force = false;
};

const char *const kIndexSyntax =
    "Index: NAME[,U]=FIELD[:seg]+FIELD..., fields by short name, seg LENGTH or START,LENGTH of a text";

}  // namespace

void add_db_commands(CLI::App &app, int &status) {
  static DbArgs a;
  CLI::App *db =
      app.add_subcommand("db", "Work on a database: its data file NAME.DB and index file NAME.IDX");
  db->require_subcommand(1);

  CLI::App *create = db->add_subcommand("create", "Make a new database with its fields and indexes");
  create->add_option("NAME", a.create.name, "Database name")->required();
  create
      ->add_option("--field", a.create.fields,
                   "A field description: NAME[,code] (codes S C I U L F D H Bn Cn)")
      ->required();
  create->add_option("--index", a.create.indexes, kIndexSyntax);
  create->add_option("--block-size", a.create.blksize, "Block size of the index file")
      ->capture_default_str()
      ->check(CLI::Range(128u, 32768u));
  create->add_flag("--force", a.create.force, "Replace an existing database of that name");
  create->callback([&] { status = cmd_db_create(a.create); });

  CLI::App *load = db->add_subcommand("load", "Add the records of a CSV file (header row: field names)");
  load->add_option("NAME", a.name, "Database name")->required();
  load->add_option("FILE", a.file, "CSV file")->required();
  load->add_flag("--strict", a.strict, "Stop at the first row that does not fit instead of skipping it");
  load->callback([&] { status = cmd_db_load(a.name, a.file, a.strict); });

  CLI::App *exp = db->add_subcommand("export", "Write every record as CSV, header row first");
  exp->add_option("NAME", a.name, "Database name")->required();
  exp->add_option("--index", a.index, "Write the records in this index's order (default: file order)");
  exp->callback([&] { status = cmd_db_export(a.name, a.index); });

  CLI::App *get = db->add_subcommand("get", "Print the records with a key (whole, or its first fields)");
  get->add_option("NAME", a.name, "Database name")->required();
  get->add_option("INDEX", a.index, "Index name")->required();
  get->add_option("VALUE", a.values, "Key values, one per key field from the first")->required();
  get->add_flag("--csv", a.csv, "Print CSV instead of a table");
  get->callback([&] { status = cmd_db_get(a.name, a.index, a.values, a.csv); });

  CLI::App *scan = db->add_subcommand("scan", "Print records in an index's order (default: file order)");
  scan->add_option("NAME", a.name, "Database name")->required();
  scan->add_option("INDEX", a.index, "Index name");
  scan->add_option("--from", a.values, "Start at this key (its first fields), or the next greater one");
  scan->add_option("--limit", a.limit, "Print at most this many records (0: all)")
      ->check(CLI::NonNegativeNumber);
  scan->add_flag("--csv", a.csv, "Print CSV instead of a table");
  scan->callback([&] { status = cmd_db_scan(a.name, a.index, a.values, a.limit, a.csv); });

  CLI::App *stat =
      db->add_subcommand("stat", "Fields, indexes with their entries, records, holes, sizes, fill");
  stat->add_option("NAME", a.name, "Database name")->required();
  stat->callback([&] { status = cmd_db_stat(a.name); });

  CLI::App *verify = db->add_subcommand(
      "verify", "Check the index file and hold the data file against it; exit 0 clean, 1 with the findings");
  verify->add_option("NAME", a.name, "Database name")->required();
  verify->add_flag("--all", a.all, "List every finding (else the first ten of each kind and a count)");
  verify->callback([&] { status = cmd_db_verify(a.name, a.all); });

  CLI::App *rebuild = db->add_subcommand(
      "rebuild", "Make a new index file from the data file; the old one is kept as NAME.IDX.old");
  rebuild->add_option("NAME", a.name, "Database name")->required();
  rebuild->add_option("--index", a.indexes,
                      std::string("The indexes, when the old file cannot tell. ") + kIndexSyntax);
  rebuild
      ->add_option("--block-size", a.blksize, "Block size of the new file (default: the old file's, or 4096)")
      ->check(CLI::Range(128u, 32768u));
  rebuild->callback([&] { status = cmd_db_rebuild(a.name, a.indexes, a.blksize); });

  CLI::App *copy = db->add_subcommand("copy", "Copy a database with its indexes");
  copy->add_option("SOURCE", a.name, "Database to copy")->required();
  copy->add_option("DEST", a.other, "New database")->required();
  copy->add_option("--index", a.index, "Copy in this index's order (default: file order)");
  copy->add_option("--block-size", a.blksize, "Block size of the new index file (default: the source's)")
      ->check(CLI::Range(128u, 32768u));
  copy->add_flag("--into", a.into, "Add to an existing DEST, skipping records its unique indexes hold");
  copy->add_flag("--force", a.force, "Replace an existing DEST");
  copy->callback([&] { status = cmd_db_copy(a.name, a.other, a.index, a.blksize, a.into, a.force); });

  CLI::App *rename = db->add_subcommand("rename", "Rename both files of a database");
  rename->add_option("NAME", a.name, "Database name")->required();
  rename->add_option("NEW", a.other, "New name")->required();
  rename->add_flag("--force", a.force, "Replace an existing database of the new name");
  rename->callback([&] { status = cmd_db_rename(a.name, a.other, a.force); });

  CLI::App *destroy = db->add_subcommand("destroy", "Remove both files of a database");
  destroy->add_option("NAME", a.name, "Database name")->required();
  destroy->callback([&] { status = cmd_db_destroy(a.name); });

  CLI::App *index = db->add_subcommand("index", "Add or remove an index");
  index->require_subcommand(1);
  CLI::App *add = index->add_subcommand("add", "Add an index and fill it from the records");
  add->add_option("NAME", a.name, "Database name")->required();
  add->add_option("INDEX", a.index, kIndexSyntax)->required();
  add->callback([&] { status = cmd_db_index_add(a.name, a.index); });
  CLI::App *rm = index->add_subcommand("rm", "Remove an index with its entries");
  rm->add_option("NAME", a.name, "Database name")->required();
  rm->add_option("INDEX", a.index, "Index name")->required();
  rm->callback([&] { status = cmd_db_index_rm(a.name, a.index); });

  CLI::App *dump = db->add_subcommand("dump", "Dump the index file's tree into NAME.DMP");
  dump->add_option("NAME", a.name, "Database name")->required();
  dump->callback([&] { status = cmd_db_dump(a.name); });
}

}  // namespace qrx::tool
