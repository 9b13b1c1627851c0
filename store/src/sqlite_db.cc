// The store's SQLite file: statements, and the checks made before it is trusted.
#include "sqlite_db.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "store/Engine.h"

namespace cds {
namespace store {
namespace detail {

namespace {

const char* const kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE devices(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, record BLOB NOT NULL, fields BLOB NOT NULL);
CREATE TABLE channels(id INTEGER PRIMARY KEY, device INTEGER NOT NULL, config BLOB NOT NULL,
                      alarm_state TEXT NOT NULL, type INTEGER NOT NULL, value, time_s INTEGER NOT NULL,
                      time_ns INTEGER NOT NULL);
CREATE TABLE documents(path BLOB PRIMARY KEY, data BLOB NOT NULL);
CREATE TABLE alarm_log(instance INTEGER PRIMARY KEY, time_s INTEGER NOT NULL, time_ns INTEGER NOT NULL,
                       entry BLOB NOT NULL);
CREATE TABLE active_alarms(channel INTEGER NOT NULL, number INTEGER NOT NULL, raise_update BLOB NOT NULL,
                           subject TEXT NOT NULL, PRIMARY KEY(channel, number));
)sql";

std::string errno_text() { return std::strerror(errno); }

}  // namespace

Statement::Statement(sqlite3* db, const char* sql) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) failed_ = true;
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::bind(int column, std::int64_t value) {
  if (recording()) {
    Argument a;
    a.kind = Argument::kInteger;
    a.integer = value;
    keep(column, std::move(a));
  }
  if (stmt_ && sqlite3_bind_int64(stmt_, column, value) != SQLITE_OK) failed_ = true;
  return *this;
}

Statement& Statement::bind(int column, double value) {
  if (recording()) {
    Argument a;
    a.kind = Argument::kReal;
    a.real = value;
    keep(column, std::move(a));
  }
  if (stmt_ && sqlite3_bind_double(stmt_, column, value) != SQLITE_OK) failed_ = true;
  return *this;
}

Statement& Statement::bind_blob(int column, const std::string& bytes) {
  if (recording()) {
    Argument a;
    a.kind = Argument::kBlob;
    a.bytes = bytes;
    keep(column, std::move(a));
  }
  if (stmt_ && sqlite3_bind_blob(stmt_, column, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT) !=
                   SQLITE_OK)
    failed_ = true;
  return *this;
}

Statement& Statement::bind_text(int column, const std::string& text) {
  if (recording()) {
    Argument a;
    a.kind = Argument::kText;
    a.bytes = text;
    keep(column, std::move(a));
  }
  if (stmt_ && sqlite3_bind_text(stmt_, column, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) !=
                   SQLITE_OK)
    failed_ = true;
  return *this;
}

Statement& Statement::bind_null(int column) {
  if (recording()) keep(column, Argument{});
  if (stmt_ && sqlite3_bind_null(stmt_, column) != SQLITE_OK) failed_ = true;
  return *this;
}

bool Statement::run() {
  if (recording()) {
    batch_->rows_.push_back(RowBatch::Row{sql_, std::move(arguments_)});
    arguments_.clear();
    return true;
  }
  if (!next() && failed_) return false;
  return true;
}

bool Statement::next() {
  if (failed_ || !stmt_) {
    failed_ = true;
    return false;
  }
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) failed_ = true;
  return false;
}

void Statement::reset() {
  arguments_.clear();
  if (!stmt_) return;
  failed_ = false;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }
double Statement::real(int column) const { return sqlite3_column_double(stmt_, column); }
int Statement::type(int column) const { return sqlite3_column_type(stmt_, column); }

std::string Statement::blob(int column) const {
  const void* bytes = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  return bytes ? std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size)) : std::string();
}

void RowBatch::append(RowBatch&& other) {
  if (rows_.empty()) {
    rows_ = std::move(other.rows_);
  } else {
    for (Row& row : other.rows_) rows_.push_back(std::move(row));
  }
  other.rows_.clear();
}

bool RowBatch::run(StoreDatabase& db, std::string* error) const {
  for (const Row& row : rows_) {
    Statement& statement = db.prepared(row.sql);
    for (const auto& [column, a] : row.arguments) {
      switch (a.kind) {
        case Statement::Argument::kNull: statement.bind_null(column); break;
        case Statement::Argument::kInteger: statement.bind(column, a.integer); break;
        case Statement::Argument::kReal: statement.bind(column, a.real); break;
        case Statement::Argument::kBlob: statement.bind_blob(column, a.bytes); break;
        case Statement::Argument::kText: statement.bind_text(column, a.bytes); break;
      }
    }
    const bool ok = statement.run();
    if (!ok && error) *error = db.last_error();  // before reset() clears it
    statement.reset();
    if (!ok) return false;
  }
  return true;
}

StoreDatabase::StoreDatabase(const std::string& path) : path_(path) {
  // Our own lock first, so that nothing below runs while another process uses
  // the file. A new file is made empty here, and becomes a store below.
  lock_fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0) refuse("cannot open it: " + errno_text());
  struct stat st {};
  if (fstat(lock_fd_, &st) != 0 || !S_ISREG(st.st_mode)) refuse("it is not a regular file");
  if (flock(lock_fd_, LOCK_EX | LOCK_NB) != 0)
    refuse(errno == EWOULDBLOCK ? "it is in use by another running daemon or application"
                                : "cannot lock it: " + errno_text());

  if (st.st_size > 0) {
    char header[16] = {};
    if (::pread(lock_fd_, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header, "SQLite format 3", 16) != 0)
      refuse("it is not a data store (not an SQLite database)");
  }
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    refuse("cannot open it: " + last_error());
  sqlite3_busy_timeout(db_, 5000);  // a backup in progress holds the file briefly
  check_existing();

  // Only now is the file written to. The database runs with synchronous
  // NORMAL: a commit is complete once in the write-ahead log, and sync()
  // takes it to the disk when the store promises that.
  std::string error;
  if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", &error))
    refuse("cannot switch it to write-ahead logging: " + error);
  if (fresh_) create_schema();
  sqlite3_wal_hook(db_, &StoreDatabase::on_commit, this);  // replaces the automatic checkpoint
  wal_fd_ = ::open((path + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
}

StoreDatabase::~StoreDatabase() { close_all(); }

void StoreDatabase::close_all() {
  prepared_.clear();  // finalized before the database closes
  if (checkpointer_) sqlite3_close(checkpointer_);
  checkpointer_ = nullptr;
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
  // Closed after SQLite's own descriptors: closing a descriptor of the file
  // drops the process's POSIX locks on it.
  if (wal_fd_ >= 0) ::close(wal_fd_);
  if (lock_fd_ >= 0) ::close(lock_fd_);
  wal_fd_ = lock_fd_ = -1;
}

void StoreDatabase::refuse(const std::string& reason) {
  close_all();
  throw StoreFileError("the data file " + path_ + ": " + reason);
}

void StoreDatabase::check_existing() {
  Statement tables(db_, "SELECT count(*) FROM sqlite_master");
  if (!tables.next()) {
    const int code = sqlite3_errcode(db_);
    if (code == SQLITE_NOTADB) refuse("it is not a data store (not an SQLite database)");
    refuse("it is corrupt: " + last_error());
  }
  const std::int64_t table_count = tables.integer(0);
  Statement app(db_, "PRAGMA application_id");
  Statement version(db_, "PRAGMA user_version");
  if (!app.next() || !version.next()) refuse("it is corrupt: " + last_error());
  if (table_count == 0 && app.integer(0) == 0) {
    fresh_ = true;
    return;
  }
  if (app.integer(0) != kApplicationId) refuse("it is not a data store (an SQLite database of something else)");
  if (version.integer(0) > kSchemaVersion)
    refuse("it was written by a newer version of the store (schema " + std::to_string(version.integer(0)) +
           "; this one reads schema " + std::to_string(kSchemaVersion) + ")");
  if (version.integer(0) < 1) refuse("it is corrupt: schema version " + std::to_string(version.integer(0)));
  Statement check(db_, "PRAGMA quick_check");
  if (!check.next()) refuse("it is corrupt: " + last_error());
  const std::string verdict = check.blob(0);
  if (verdict != "ok") refuse("it is corrupt: " + verdict);
}

void StoreDatabase::create_schema() {
  std::string error;
  std::string sql = std::string("BEGIN;") + kSchema + "PRAGMA application_id=" + std::to_string(kApplicationId) +
                    "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + "; COMMIT;";
  if (!exec(sql.c_str(), &error)) {
    rollback();
    refuse("cannot create the store in it: " + error);
  }
}

bool StoreDatabase::exec(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error) *error = message ? message : last_error();
  sqlite3_free(message);
  return false;
}

std::string StoreDatabase::last_error() const { return db_ ? sqlite3_errmsg(db_) : "no database"; }

void StoreDatabase::rollback() {
  if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

Statement& StoreDatabase::prepared(const char* sql) {
  std::unique_ptr<Statement>& statement = prepared_[sql];
  if (!statement) statement = std::make_unique<Statement>(db_, sql);
  return *statement;
}

int StoreDatabase::on_commit(void* self, sqlite3*, const char*, int pages) {
  static_cast<StoreDatabase*>(self)->wal_pages_ = pages;
  return SQLITE_OK;
}

void StoreDatabase::checkpoint() {
  if (!checkpointer_ &&
      sqlite3_open_v2(path_.c_str(), &checkpointer_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close(checkpointer_);
    checkpointer_ = nullptr;
    return;  // tried again after the next commit; the log grows meanwhile
  }
  int log_pages = 0, copied = 0;
  if (sqlite3_wal_checkpoint_v2(checkpointer_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &log_pages, &copied) == SQLITE_OK &&
      copied == log_pages)
    wal_pages_ = 0;
}

bool StoreDatabase::sync(std::string* error) {
  // SQLite keeps the log open while the database is: a descriptor of our own
  // reaches the same file.
  if (wal_fd_ < 0) wal_fd_ = ::open((path_ + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
  if (wal_fd_ >= 0 && ::fsync(wal_fd_) == 0) return true;
  if (error) *error = wal_fd_ < 0 ? "the write-ahead log is not open" : "cannot sync: " + errno_text();
  return false;
}

std::uint64_t StoreDatabase::size() const {
  std::uint64_t total = 0;
  for (const char* suffix : {"", "-wal"}) {
    struct stat st {};
    if (::stat((path_ + suffix).c_str(), &st) == 0) total += static_cast<std::uint64_t>(st.st_size);
  }
  return total;
}

}  // namespace detail
}  // namespace store
}  // namespace cds
