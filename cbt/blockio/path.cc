// path.cc - splitting path names into drive, directory, file name and extension, and joining them.
//
// Grammar. A separator is '\\' or '/'. The separating position is the last '\\' of the path when there
// is one, otherwise the last '/': a '\\' decides even when a '/' follows it, so "a\\b/c.x" has the
// directory "a\\" and the file name "b/c". The base name is the text after the separating position (the
// whole path when there is none). The extension starts at the last '.' of the base name.
//
// Part          stored in       longest part   over-long
// drive         drive           always empty   -
// directory     dir[256]        255 chars      "Invalid Directory Specification in %s", stored empty
// file name     fname[15]       14 chars       "Invalid File specification in %s", stored empty
// extension     ext[15]         14 chars       "Invalid File specification in %s", stored empty
//
// Nothing here keeps state; every function may be called from any thread.
#include <cstring>
#include <string_view>

#include "cbt/blockio/blockio.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace {

using std::string_view;
constexpr auto npos = string_view::npos;

bool is_sep(char c) {
  return c == '/' || c == '\\';
}

string_view as_view(const char *path) {
  return path ? string_view(path) : string_view();
}

// Index of the separating position, or npos when the path has no separator.
size_t separating_position(string_view path) {
  size_t back = path.rfind('\\');
  return back != npos ? back : path.rfind('/');
}

string_view base_name(string_view path) {
  size_t sep = separating_position(path);
  return sep == npos ? path : path.substr(sep + 1);
}

enum class Part { kDirectory, kFile };

// Stores part into out (when given) if it fits in max characters; otherwise reports the whole path
// once and stores an empty string. Returns the length stored.
size_t store_part(string_view part, size_t max, Part kind, const char *path, char *out) {
  if (part.size() > max) {
    if (kind == Part::kDirectory) {
      QRX_ERROR("Invalid Directory Specification in %s", path);
    } else {
      QRX_ERROR("Invalid File specification in %s", path);
    }
    if (out) out[0] = '\0';
    return 0;
  }
  if (out) {
    if (!part.empty()) std::memcpy(out, part.data(), part.size());
    out[part.size()] = '\0';
  }
  return part.size();
}

void trace_exit(int line) {
  if (QRX_TRACE_ON(TLG1_ENTRY_EXIT)) TLG1_Event(&qrx_trace_unit_, line, TLG1_EVENT_EXIT, 0);
}

}  // namespace

namespace qrx::blockio {

size_t GetDrive(const char *, char *out) {
  if (out) out[0] = '\0';
  return 0;
}

size_t GetDir(const char *path, char *out) {
  string_view p = as_view(path);
  size_t sep = separating_position(p);
  string_view dir = sep == npos ? string_view() : p.substr(0, sep + 1);
  return store_part(dir, kDirMax, Part::kDirectory, path, out);
}

size_t GetFname(const char *path, char *out) {
  string_view p = as_view(path);
  string_view base = base_name(p);
  size_t dot = base.rfind('.');
  // A '.' that opens the whole path (".profile") starts a name, not an extension.
  bool dot_opens_path = dot != npos && base.data() + dot == p.data();
  string_view name = (dot == npos || dot_opens_path) ? base : base.substr(0, dot);
  return store_part(name, kNameMax, Part::kFile, path, out);
}

// The extension rule does not share the file name's exception for a leading '.': ".profile" has the
// file name ".profile" and the extension ".profile". Callers that build names from both parts of such
// a path get the text twice; paths of the library's own files always have a base name before the '.'.
size_t GetExt(const char *path, char *out) {
  string_view base = base_name(as_view(path));
  size_t dot = base.rfind('.');
  string_view ext = dot == npos ? string_view() : base.substr(dot);
  return store_part(ext, kExtMax, Part::kFile, path, out);
}

}  // namespace qrx::blockio

void SplitPath(const char *path, char *drive, char *dir, char *fname, char *ext) {
  QRX_ENTRY();
  using namespace qrx::blockio;
  for (char *out : {drive, dir, fname, ext}) {
    if (out) out[0] = '\0';
  }
  if (drive) GetDrive(path, drive);
  if (dir) GetDir(path, dir);
  if (fname) GetFname(path, fname);
  if (ext) GetExt(path, ext);
  trace_exit(__LINE__);
}

void MakePath(char *out, const char *drive, const char *dir, const char *fname, const char *ext) {
  QRX_ENTRY();
  if (out == nullptr) {
    trace_exit(__LINE__);
    return;
  }
  char *end = out + std::strlen(out);
  auto append = [&end](string_view text) {
    if (!text.empty()) std::memcpy(end, text.data(), text.size());
    end += text.size();
    *end = '\0';
  };

  // A drive is written at the very start of the output: "d:" replaces whatever the buffer held.
  if (drive && drive[0] != '\0') {
    end = out;
    const char letter[] = {drive[0], ':'};
    append(string_view(letter, sizeof letter));
  }

  // Components are joined with '/' and the directory always ends in one. Text that begins with a
  // separator (a leading one, or the second of a doubled pair) is kept as it stands, so rooted and
  // doubled paths are not rewritten.
  string_view rest = as_view(dir);
  while (!rest.empty()) {
    if (is_sep(rest.front())) {
      append(rest);
      append("/");
      break;
    }
    size_t next = rest.find_first_of("/\\");
    append(rest.substr(0, next));
    append("/");
    if (next == npos) break;
    rest.remove_prefix(next + 1);
  }

  if (fname && fname[0] != '\0') append(fname);
  if (ext && ext[0] != '\0') {
    if (ext[0] != '.') append(".");
    append(ext);
  }
  trace_exit(__LINE__);
}
