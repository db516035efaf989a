// db_files.h - the two files of a database read as they are on disk, for the `qrx db` commands that must
// not trust the library's view of them (verify, rebuild, stat): the data file by its layout, the index
// file through the B-tree calls of qrxcb.h with a key order of the tool's own.
//
// Data file (big-endian):
//   offset  width  field
//   0       4      N: bytes of the field description area
//   4       4      F: number of fields (at least 1)
//   8       N      F description strings, each with its NUL
//   8 + N   -      records and holes to the end of the file; each starts with a signed length word L:
//                  L > 0 a record of L data bytes (the field values in field order, perhaps slack behind
//                  them), L < 0 a hole of -L free bytes. Each takes 4 + |L| bytes.
// Index file keys, by their first byte: 0x00 an index description (name NUL spec NUL ..., item = the
// index number), 1..254 an entry of that index (the key fields, item = the record's offset), 0xFE an
// offset-hole key (offset, item = size), 0xFF a size-hole key (size, item = offset).
//
// One thread; the key order reads a table set by the last IndexFile that read its descriptions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qrxcb.h"

namespace qrx::tool {

// One field as its description string says ("NAME[,code]").
struct FieldDesc {
  std::string desc;    // the whole description string
  std::string name;    // its short name: up to the first ','
  int type = 0;        // I_STRING .. I_CHAR
  uint32_t width = 0;  // stored width; 0 for the texts, whose width is their length + 1
};

// Decodes a description string: I U H L F D first, then B, C with digits or any code with ':' (a
// declared length, 1 for none or 0, at most 32767), then C; anything else is a case-insensitive text.
FieldDesc describe_field(const std::string &desc);
// The type's name for people: "string", "int", "char[8]" ...
std::string type_name(const FieldDesc &f);
bool is_text(const FieldDesc &f);

// A stored value as text: numbers in decimal (floating values in the shortest form that reads back the
// same), texts as they are, char fields without their trailing spaces, binary fields in hexadecimal.
std::string format_value(const FieldDesc &f, const uint8_t *v);
// Text to a stored value (a text gets its NUL, a char field is padded with spaces, a binary field with
// zero bytes); false with why set when the text does not fit the type.
bool parse_value(const FieldDesc &f, const std::string &text, std::string &stored, std::string &why);

// The file names of database `name`: its extension (a '.' after the first character and after the last
// path separator) replaced by ".DB" or ".IDX", or those appended.
std::string data_file_name(const std::string &name);
std::string index_file_name(const std::string &name);
bool is_file(const std::string &path);
int64_t file_size(const std::string &path);  // -1 when it cannot be read

// One key field of an index: a field and, for a text, the segment it keeps (length 0: the whole text).
struct KeyField {
  int field = 0;
  int32_t start = 0;
  int32_t length = 0;
};

// An index as its description key says.
struct IndexDesc {
  uint32_t number = 0;             // 0 is the "Physical Index"
  std::string name;                // with its options ("BYID,U")
  std::vector<std::string> specs;  // the key field specifications as stored
  bool unique = false;             // a 'U' right after a ',' of the name
  std::vector<KeyField> keys;      // resolved against the fields
  std::string problem;             // why a specification names no field; keys are then empty
};

// Resolves the specifications as an open does: a ':' followed by a segment of length above 0 is cut
// off, the rest must equal a field description string without regard to case.
void resolve_index(IndexDesc &d, const std::vector<FieldDesc> &fields);

// The entry key of a record in an index: the index number, then each key field's key form (texts cut
// to their segment, with a NUL; fixed-width values as stored). values: one pointer per field.
std::string record_key(const IndexDesc &d, const std::vector<FieldDesc> &fields,
                       const uint8_t *const *values);
// A key shown for people: each key field as text, joined by " + ".
std::string show_key(const IndexDesc &d, const std::vector<FieldDesc> &fields, const std::string &key);

// The order of every key of an index file, as the library keeps it: by first byte; descriptions by name
// without regard to case; hole keys by size (unsigned) or offset (signed); entries field by field by
// type. Entries of an index number missing from the table compare byte for byte.
int key_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2);
void set_key_order(const std::vector<FieldDesc> &fields, const std::vector<IndexDesc> &indexes);

// ---------------------------------------------------------------------------------------------------
// The data file.
// ---------------------------------------------------------------------------------------------------

struct DataHeader {
  std::vector<FieldDesc> fields;
  uint32_t datastart = 0;  // 8 + N
  uint64_t size = 0;       // of the file
};

// What a walk of the data file met.
struct DataWalk {
  uint64_t records = 0, record_bytes = 0;  // record_bytes: 4 + L of each record
  uint64_t holes = 0, hole_bytes = 0;      // hole_bytes: the free bytes -L of each hole
  uint64_t touching = 0;                   // holes that start right behind another hole
  std::string problem;                     // where the walk stopped on damage ("" at a clean end)
  int64_t bad_offset = -1;                 // the offset the problem names
};

class DataFile {
 public:
  ~DataFile();
  // Opens the file and reads its header; false with why set.
  bool open(const std::string &path, std::string &why);
  const DataHeader &header() const { return h_; }
  // Walks every record and hole from the first in file order. on_record gets the offset, the length
  // word and the field value pointers (one per field, inside a buffer valid during the call); on_hole
  // the offset and the free bytes. A length word that cannot be read whole, a zero length, a record or
  // hole that runs past the end of the file or a record whose fields run past its length ends the walk
  // with walk.problem and walk.bad_offset set.
  DataWalk walk(const std::function<void(uint32_t, uint32_t, const uint8_t *const *)> &on_record,
                const std::function<void(uint32_t, uint32_t)> &on_hole);

 private:
  const uint8_t *at(uint64_t off, uint64_t n);  // n bytes at off, valid until the next call; or null
  int fd_ = -1;
  DataHeader h_;
  std::vector<uint8_t> buf_;
  uint64_t base_ = 0, have_ = 0;
};

// ---------------------------------------------------------------------------------------------------
// The index file, through the B-tree calls (the library must be initialised).
// ---------------------------------------------------------------------------------------------------

class IndexFile {
 public:
  ~IndexFile();
  // Opens with key_compare; mode 1 read-only, 2 read/write. false with why set. not_closed: the file
  // was not closed properly (the B-tree layer's error 20).
  bool open(const std::string &path, int32_t mode, std::string &why, bool *not_closed = nullptr);
  // Reads the index descriptions (the 0x00 keys, first in the file), resolves them against the fields
  // and makes them the key order's table. false with why set when the walk fails.
  bool read_descriptions(const std::vector<FieldDesc> &fields, std::vector<IndexDesc> &out, std::string &why);
  // Calls fn(key, length, item) for every key from the first, at most `limit` keys; "" at the end of
  // the tree, else what stopped the walk.
  std::string walk(const std::function<void(const uint8_t *, uint32_t, uint32_t)> &fn, uint64_t limit);
  cbt_tree *tree() const { return t_; }
  bool close();  // 1 from cbclose

 private:
  cbt_tree *t_ = nullptr;
};

// The hole keys: 0xFF and the size, 0xFE and the offset (4 bytes big-endian each).
std::string size_hole_key(uint32_t size);
std::string offset_hole_key(uint32_t offset);

}  // namespace qrx::tool
