#pragma once
// A thin layer over the SQLite C API for the store's file: an open database,
// prepared statements and the checks made before a file is trusted. Internal
// to the store; not thread-safe (the persistence serialises its use).
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace cds {
namespace store {
namespace detail {

// A prepared statement. Ids are unsigned 64-bit: they go into the file's
// signed INTEGER columns bit for bit and come back the same.
class RowBatch;
class StoreDatabase;

class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  // A statement that runs nothing now: each run() adds it, with its bindings,
  // to `batch`, which runs them later (see RowBatch).
  Statement(RowBatch& batch, const char* sql) : batch_(&batch), sql_(sql) {}
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int column, std::int64_t value);
  Statement& bind_id(int column, std::uint64_t id) { return bind(column, static_cast<std::int64_t>(id)); }
  Statement& bind(int column, double value);
  Statement& bind_blob(int column, const std::string& bytes);
  Statement& bind_text(int column, const std::string& text);
  Statement& bind_null(int column);

  // Runs a statement that answers no rows; false with the error kept on failure.
  bool run();
  // Steps to the next row; false at the end or on an error (see failed()).
  bool next();
  bool failed() const { return failed_; }
  // Makes the statement ready to run again with new bindings (and clears a failure).
  void reset();

  std::int64_t integer(int column) const;
  std::uint64_t id(int column) const { return static_cast<std::uint64_t>(integer(column)); }
  double real(int column) const;
  std::string blob(int column) const;
  int type(int column) const;

 private:
  friend class RowBatch;
  struct Argument {
    enum Kind { kNull, kInteger, kReal, kBlob, kText } kind = kNull;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes;
  };
  bool recording() const { return batch_ != nullptr; }
  void keep(int column, Argument argument) { arguments_.emplace_back(column, std::move(argument)); }

  sqlite3_stmt* stmt_ = nullptr;
  bool failed_ = false;
  RowBatch* batch_ = nullptr;
  const char* sql_ = nullptr;
  std::vector<std::pair<int, Argument>> arguments_;
};

// Statements recorded while the engine holds its lock and run later, in one
// transaction, by whoever commits: recording copies the bytes, so the
// engine's data may change meanwhile.
class RowBatch {
 public:
  bool empty() const { return rows_.empty(); }
  void append(RowBatch&& other);
  // Runs every statement in order; false with `*error` set at the first failure.
  bool run(StoreDatabase& db, std::string* error) const;

 private:
  friend class Statement;
  struct Row {
    const char* sql;
    std::vector<std::pair<int, Statement::Argument>> arguments;
  };
  std::vector<Row> rows_;
};

// The database of one store file, held open with an exclusive lock of its
// own so that a second process (a second daemon) cannot use it at the same time.
class StoreDatabase {
 public:
  // Schema version this code writes; a file of a later one is refused.
  static constexpr int kSchemaVersion = 1;
  // PRAGMA application_id of a store file ("CDS1").
  static constexpr std::int32_t kApplicationId = 0x43445331;

  // Opens `path` and checks it before anything is written to it. Throws
  // StoreFileError naming the file and the reason, leaving the file as it was.
  explicit StoreDatabase(const std::string& path);
  ~StoreDatabase();
  StoreDatabase(const StoreDatabase&) = delete;
  StoreDatabase& operator=(const StoreDatabase&) = delete;

  sqlite3* handle() const { return db_; }
  const std::string& path() const { return path_; }
  // Whether the file held no store yet (the schema was just made).
  bool fresh() const { return fresh_; }

  // Runs SQL that answers no rows; false with `*error` set on failure.
  bool exec(const char* sql, std::string* error);
  std::string last_error() const;
  // Ends an open transaction (after a failed statement or COMMIT).
  void rollback();

  // The statement for `sql` (a literal), prepared at its first use and kept.
  Statement& prepared(const char* sql);

  // Makes what was committed reach the disk: the write-ahead log's data.
  bool sync(std::string* error);
  // The log is never checkpointed by a commit (that would sync the disk
  // inside it): another thread calls checkpoint() once this says so.
  bool checkpoint_due() const { return wal_pages_ >= kCheckpointPages; }
  // Copies the log into the database, without waiting for readers (a backup)
  // or writers: it has a connection of its own, so that commits go on
  // meanwhile. One thread at a time.
  void checkpoint();
  // The size of the database and its log, in bytes.
  std::uint64_t size() const;

 private:
  [[noreturn]] void refuse(const std::string& reason);
  void close_all();
  void check_existing();
  void create_schema();

  static constexpr int kCheckpointPages = 1000;
  static int on_commit(void* self, sqlite3*, const char*, int pages);

  std::string path_;
  std::map<std::string, std::unique_ptr<Statement>> prepared_;
  std::atomic<int> wal_pages_{0};
  sqlite3* checkpointer_ = nullptr;
  int lock_fd_ = -1;
  int wal_fd_ = -1;
  sqlite3* db_ = nullptr;
  bool fresh_ = false;
};

}  // namespace detail
}  // namespace store
}  // namespace cds
