#pragma once
// A disk the test breaks on demand under a store in this process: an SQLite
// VFS, made the default while it lives, that passes everything to the real
// one except what the test asks to fail. A write held here waits for the
// test, so a test can act while a commit is surely under way.
#include <sqlite3.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace zu {
namespace testing {

class FailingDisk {
 public:
  FailingDisk() : real_(sqlite3_vfs_find(nullptr)) {
    vfs_ = *real_;
    vfs_.iVersion = 1;  // the rest of the real VFS's calls need no wrapping, and stay unused
    vfs_.zName = "failing-disk";
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
    vfs_.xOpen = &open;
    vfs_.pAppData = this;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~FailingDisk() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(real_, 1);
  }
  FailingDisk(const FailingDisk&) = delete;
  FailingDisk& operator=(const FailingDisk&) = delete;

  // The next `count` writes to a write-ahead log (a commit each) fail as on
  // a full disk; when `hold`, the first only once release() is called, and
  // wait_held() returns as soon as it is under way.
  void fail_log_writes(int count, bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_log_writes_ = count;
    hold_ = hold;
    held_ = false;
  }
  void wait_held() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return held_; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
    changed_.notify_all();
  }
  // Every read of the database fails while set.
  void fail_reads(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_reads_ = fail;
  }

 private:
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
    FailingDisk* disk;
    bool log;
  };
  static sqlite3_file* real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }
  static FailingDisk& disk(sqlite3_file* f) { return *reinterpret_cast<File*>(f)->disk; }

  bool reads_fail() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fail_reads_;
  }
  bool log_write_fails() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (failing_log_writes_ == 0) return false;
    --failing_log_writes_;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !hold_; });
    return true;
  }

  static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* out_flags) {
    auto* self = static_cast<FailingDisk*>(vfs->pAppData);
    auto* file = reinterpret_cast<File*>(f);
    file->real = reinterpret_cast<sqlite3_file*>(file + 1);
    file->disk = self;
    file->log = (flags & SQLITE_OPEN_WAL) != 0;
    const int rc = self->real_->xOpen(self->real_, name, file->real, flags, out_flags);
    file->base.pMethods = file->real->pMethods ? &kMethods : nullptr;
    return rc;
  }

  static int close(sqlite3_file* f) { return real(f)->pMethods->xClose(real(f)); }
  static int read(sqlite3_file* f, void* out, int n, sqlite3_int64 at) {
    if (disk(f).reads_fail()) return SQLITE_IOERR_READ;
    return real(f)->pMethods->xRead(real(f), out, n, at);
  }
  static int write(sqlite3_file* f, const void* in, int n, sqlite3_int64 at) {
    if (reinterpret_cast<File*>(f)->log && disk(f).log_write_fails()) return SQLITE_FULL;
    return real(f)->pMethods->xWrite(real(f), in, n, at);
  }
  static int truncate(sqlite3_file* f, sqlite3_int64 size) { return real(f)->pMethods->xTruncate(real(f), size); }
  static int sync(sqlite3_file* f, int flags) { return real(f)->pMethods->xSync(real(f), flags); }
  static int file_size(sqlite3_file* f, sqlite3_int64* size) { return real(f)->pMethods->xFileSize(real(f), size); }
  static int lock(sqlite3_file* f, int level) { return real(f)->pMethods->xLock(real(f), level); }
  static int unlock(sqlite3_file* f, int level) { return real(f)->pMethods->xUnlock(real(f), level); }
  static int reserved(sqlite3_file* f, int* out) { return real(f)->pMethods->xCheckReservedLock(real(f), out); }
  static int control(sqlite3_file* f, int op, void* arg) { return real(f)->pMethods->xFileControl(real(f), op, arg); }
  static int sector_size(sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); }
  static int characteristics(sqlite3_file* f) { return real(f)->pMethods->xDeviceCharacteristics(real(f)); }
  static int shm_map(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return real(f)->pMethods->xShmMap(real(f), region, size, extend, out);
  }
  // A read starts by locking its place in the log's index: failing that fails the read.
  static int shm_lock(sqlite3_file* f, int offset, int n, int flags) {
    if ((flags & SQLITE_SHM_LOCK) && (flags & SQLITE_SHM_SHARED) && disk(f).reads_fail()) return SQLITE_IOERR_SHMLOCK;
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
  }
  static void shm_barrier(sqlite3_file* f) { real(f)->pMethods->xShmBarrier(real(f)); }
  static int shm_unmap(sqlite3_file* f, int drop) { return real(f)->pMethods->xShmUnmap(real(f), drop); }

  static constexpr sqlite3_io_methods kMethods = {
      2,    &close,  &read,      &write,   &truncate,    &sync,      &file_size, &lock,    &unlock,
      &reserved, &control, &sector_size, &characteristics, &shm_map, &shm_lock, &shm_barrier, &shm_unmap,
      nullptr, nullptr};

  sqlite3_vfs* real_;
  sqlite3_vfs vfs_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  int failing_log_writes_ = 0;
  bool hold_ = false, held_ = false, fail_reads_ = false;
};

}  // namespace testing
}  // namespace zu
