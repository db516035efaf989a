// messages.cc - catalog messages: open a catalog by name, write its messages with inserts, close it.
//
// A catalog is a text file of lines "<id> <text>" (blank lines and lines starting with '#' are skipped;
// the first line of an id wins). qrxmsom reads it from $QRX_MSGDIR when that directory holds a file of
// the name, else takes the copy built into this library. An open catalog is a private copy of the
// parsed lines; the set of open catalogs (guarded by its mutex) lets a closed or foreign handle be
// refused instead of followed. Messages are written as MESSAGE trace lines whose location is the
// catalog's name and the line of the message in it.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <new>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "host/host_internal.h"
#include "host/qrxhost.h"

struct QRXMS_Catalog {
  struct Entry {
    std::string text;  // message text with its %1..%9 insert marks
    int line;          // line of the message in the catalog file, from 1
  };
  std::string name;                                // catalog name, as opened
  std::unordered_map<std::string, Entry> entries;  // by message id
};

namespace qrx::host {
namespace {

struct OpenCatalogs {
  std::mutex mutex;
  std::unordered_set<QRXMS_Catalog *> live;  // guarded by mutex
};

OpenCatalogs &open_catalogs() {
  // Never destroyed (messages may be written during exit); made in place, so that the first use cannot fail
  // for want of memory.
  alignas(OpenCatalogs) static unsigned char storage[sizeof(OpenCatalogs)];
  static OpenCatalogs *c = new (storage) OpenCatalogs;
  return *c;
}

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > 255) return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos &&
         name != "." && name != "..";
}

void parse(std::string_view text, QRXMS_Catalog &cat) {
  int line_no = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    size_t gap = line.find_first_of(" \t");
    std::string_view id = line.substr(0, gap);
    std::string_view body;
    if (gap != std::string_view::npos) {
      body = line.substr(gap);
      body.remove_prefix(std::min(body.find_first_not_of(" \t"), body.size()));
    }
    if (id.empty()) continue;
    cat.entries.try_emplace(std::string(id), QRXMS_Catalog::Entry{std::string(body), line_no});
  }
}

// The message text with %1..%9 replaced by the inserts; a mark with no insert is left as written.
std::string with_inserts(const std::string &text, int32_t count, const char *const *inserts) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      int n = text[i + 1] - '0';
      if (n <= count) {
        const char *ins = inserts[n - 1];
        out += ins ? ins : "";
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace
}  // namespace qrx::host

using namespace qrx::host;

extern "C" {

QRXHOST_API int32_t qrxmsom(const char *name, uint32_t name_len, QRXMS_Catalog **handle) {
  if (handle == nullptr) return QRXMS_BAD_ARGUMENT;
  *handle = nullptr;
  if (name == nullptr) return QRXMS_BAD_ARGUMENT;
  std::string_view wanted(name, name_len);
  if (!valid_name(wanted)) return QRXMS_BAD_ARGUMENT;
  try {
    auto cat = std::make_unique<QRXMS_Catalog>();
    cat->name = std::string(wanted);
    const char *dir = std::getenv("QRX_MSGDIR");
    std::string path = dir && *dir ? std::string(dir) + "/" + cat->name : std::string();
    struct stat st;
    if (!path.empty() && ::stat(path.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode)) return QRXMS_UNREADABLE;
      std::ifstream in(path, std::ios::binary);
      if (!in) return QRXMS_UNREADABLE;
      std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      if (in.bad()) return QRXMS_UNREADABLE;
      parse(text, *cat);
    } else if (wanted == kBuiltinCatalogName) {
      parse(kBuiltinCatalogText, *cat);
    } else {
      return QRXMS_NOT_FOUND;
    }
    OpenCatalogs &oc = open_catalogs();
    std::lock_guard<std::mutex> g(oc.mutex);
    oc.live.insert(cat.get());
    *handle = cat.release();
    return QRXMS_OK;
  } catch (const std::bad_alloc &) {
    return QRXMS_NO_MEMORY;
  }
}

QRXHOST_API int32_t qrxmswm(QRXMS_Catalog *handle, const char *id, int32_t count,
                            const char *const *inserts) {
  if (id == nullptr || count < 0 || (count > 0 && inserts == nullptr)) return QRXMS_BAD_ARGUMENT;
  try {
    std::string file;
    std::string line;
    int line_no = 0;
    {
      OpenCatalogs &oc = open_catalogs();
      std::lock_guard<std::mutex> g(oc.mutex);
      if (handle == nullptr || oc.live.count(handle) == 0) return QRXMS_BAD_ARGUMENT;
      auto it = handle->entries.find(id);
      if (it == handle->entries.end()) return QRXMS_UNKNOWN_ID;
      file = handle->name;
      line_no = it->second.line;
      line = id;
      if (!it->second.text.empty()) {
        line += ' ';
        line += with_inserts(it->second.text, count, inserts);
      }
    }
    emit_line(file.c_str(), line_no, QRXHOST_KIND_MESSAGE, 0, line);
    return QRXMS_OK;
  } catch (const std::bad_alloc &) {
    return QRXMS_NO_MEMORY;
  }
}

QRXHOST_API int32_t qrxmscm(QRXMS_Catalog *handle) {
  OpenCatalogs &oc = open_catalogs();
  {
    std::lock_guard<std::mutex> g(oc.mutex);
    if (handle == nullptr || oc.live.erase(handle) == 0) return QRXMS_BAD_ARGUMENT;
  }
  delete handle;
  return QRXMS_OK;
}

}  // extern "C"
