#pragma once
// Where the engine keeps its state besides memory. Internal to the store.
//
// The engine calls a Persistence at fixed points and never asks what medium it
// is: after a write request has changed the data (under the engine's write
// lock), before the answer goes out (without the lock), and when a change
// could not be kept. The in-memory store uses NullPersistence, which keeps
// nothing.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "store/ChangeSet.h"
#include "store/Engine.h"
#include "store_data.h"

namespace cds {
namespace store {
namespace detail {

// The commit a change goes into, shared by every change committed with it.
struct PendingCommit;
using CommitTicket = std::shared_ptr<PendingCommit>;

class Persistence {
 public:
  virtual ~Persistence() = default;

  // Replaces `data`'s devices, channels, documents, alarm log and counters
  // with what the medium holds. A fresh medium takes `data` as it is instead.
  virtual void load(StoreData& data) = 0;

  // Takes what `changes` did to `data` (already applied) to be kept. Called
  // under the engine's write lock. False with `*error` set when it cannot be
  // kept: the engine then calls restore(). `*ticket` is what wait_durable()
  // takes (null when there is nothing to wait for).
  virtual bool record(const StoreData& data, const ChangeSet& changes, CommitTicket* ticket,
                      std::string* error) = 0;

  // Puts `data` back to what has been kept: after a failed record(), or once
  // stale(). Called under the engine's write lock.
  virtual bool restore(StoreData& data, std::string* error) = 0;

  // Returns once the change recorded under `ticket` is kept as the store
  // promises (committed; on the disk with sync full); false with `*error` set
  // when it could not be. Called without the engine lock, so that concurrent
  // writers share one commit.
  virtual bool wait_durable(const CommitTicket& ticket, std::string* error) = 0;

  // Whether a commit failed after memory had moved on: memory holds changes
  // the medium does not, until restore().
  virtual bool stale() const = 0;

  // What `cdsctl info` shows about the medium, as "key: value" lines.
  virtual std::string describe() const = 0;
};

class NullPersistence : public Persistence {
 public:
  void load(StoreData&) override {}
  bool record(const StoreData&, const ChangeSet&, CommitTicket* ticket, std::string*) override {
    ticket->reset();
    return true;
  }
  bool restore(StoreData&, std::string*) override { return true; }
  bool wait_durable(const CommitTicket&, std::string*) override { return true; }
  bool stale() const override { return false; }
  std::string describe() const override { return "file: none (in memory: nothing survives a restart)\n"; }
};

// The store in the SQLite file `options.data_file`. Throws StoreFileError,
// naming the file and the reason, when the file cannot be used.
std::unique_ptr<Persistence> open_sqlite_persistence(const EngineOptions& options);

}  // namespace detail
}  // namespace store
}  // namespace cds
