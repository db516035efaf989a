// create.cc - icreate_db: a new data file with its header of field descriptions, a new index file holding
// the "Physical Index" description, then the database opened for reading and writing.
//
// A failure in writing the header or making the index file leaves neither file behind; files on disk that
// no database object of the process stands for are overwritten.
#include <fcntl.h>

#include <cstring>

#include "host/qrxtrace.h"
#include "isam/isam.h"

QRX_TRACE_UNIT();

namespace qrx::isam {

namespace {
constexpr uint32_t kCreateMode = 0660;
}  // namespace

Db *create_db(const char *name, int32_t blocksize, const char *const *fields) {
  Anchor *a = anchor_get();
  if (a == nullptr) {
    set_errno(Err::kNoMemory);
    return nullptr;
  }
  {
    // The layer starts on the first create (and the first after a full isamexit), sized for the blocks.
    std::lock_guard<std::mutex> g(a->mutex);
    if (init_locked(a, 5, buffer_size_for(blocksize > 0 ? static_cast<uint32_t>(blocksize) : 0), true) < 0)
      return nullptr;
  }
  set_errno(Err::kNone);
  if (name != nullptr && db_handle(name) != nullptr) {
    QRX_ERROR("Database %s already exists", name);
    set_errno(Err::kInUse);
    return nullptr;
  }
  char dataname[kNameBuf], idxname[kNameBuf];
  if (!make_file_names(name, dataname, idxname)) {
    QRX_ERROR("Couldn't make file names for %s", name != nullptr ? name : "");
    set_errno(Err::kName);
    return nullptr;
  }
  int32_t fd = qrxcb_creat(dataname, kCreateMode);
  if (fd < 0) {
    QRX_ERROR("Unable to create %s", dataname);
    set_errno(Err::kIo);
    return nullptr;
  }
  qrxcb_close(fd);
  fd = qrxcb_open(dataname, O_RDWR, 0);
  if (fd < 0) {
    QRX_ERROR("Error opening %s", dataname);
    set_errno(Err::kIo);
    return nullptr;
  }
  const int32_t written = I_write_header(fd, fields);
  qrxcb_close(fd);
  if (written < 0) {
    qrxcb_unlink(dataname);
    return nullptr;
  }
  cbt_tree *t = cbcreate(idxname, &I_compare, static_cast<uint32_t>(blocksize));
  if (t == nullptr) {
    set_errno(*qrxcbecd() == 13 ? Err::kBlockSize : Err::kCbt);
    qrxcb_unlink(dataname);
    return nullptr;
  }
  uint8_t key[sizeof kPhysicalIndex + 1] = {kDescPrefix};
  std::memcpy(key + 1, kPhysicalIndex, sizeof kPhysicalIndex);
  const bool inserted = cbinsert(t, key, sizeof key, 0, 0) == 1;
  if (!inserted) {
    QRX_ERROR("Physical index insert failed");
    set_errno(Err::kCbt);
  }
  const bool closed = cbclose(t) == 1;
  if (!inserted || !closed) {
    if (!closed) set_errno(Err::kCbt);
    qrxcb_unlink(idxname);
    qrxcb_unlink(dataname);
    return nullptr;
  }
  Db *db = open_db(name, 2);
  if (db == nullptr) QRX_ERROR("Unable to open database");
  return db;
}

}  // namespace qrx::isam
