// Files the store cannot trust are refused untouched; a full disk fails writes
// without changing anything; a live store can be backed up.
#include <signal.h>
#include <sys/resource.h>

#include <csignal>
#include <functional>

#include "durable_fixture.h"

namespace durable_test {
namespace {

// Makes a store file holding one device named `name`; its id.
std::uint64_t MakeStore(const std::string& directory, const std::string& file, const std::string& name) {
  Store store(false, directory, file);
  EXPECT_TRUE(store.open());
  return store.ok(NewDevice(name))->devices.at(0).id;
}

// cdsd refuses, with status 1 and a message naming the file and the reason,
// every file it cannot trust, and leaves it as it was.
TEST_F(DurableTest, RefusesFilesItCannotTrust) {
  struct Case {
    const char* name;
    std::function<void(const std::string& file)> make;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"newer schema",
       [&](const std::string& f) {
         MakeStore(directory_, f, "x");
         ASSERT_EQ(std::system(("sqlite3 " + f + " 'PRAGMA user_version=2'").c_str()), 0);
       },
       "newer version of the store (schema 2"},
      {"corrupt",
       [&](const std::string& f) {
         MakeStore(directory_, f, "x");
         ASSERT_EQ(std::system(("sqlite3 " + f + " 'PRAGMA wal_checkpoint(TRUNCATE)' >/dev/null").c_str()), 0);
         std::fstream out(f, std::ios::in | std::ios::out | std::ios::binary);
         out.seekp(4096);  // the whole second page: a table's b-tree page
         out << std::string(4096, '\x5a');
       },
       "it is corrupt"},
      {"not a database",
       [](const std::string& f) { std::ofstream(f) << "devices: none, this is a text file\n"; },
       "not a data store (not an SQLite database)"},
      {"another database",
       [](const std::string& f) {
         ASSERT_EQ(std::system(("sqlite3 " + f + " 'CREATE TABLE t(x)'").c_str()), 0);
       },
       "not a data store (an SQLite database of something else)"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string file = directory_ + "/refused" + std::to_string(i) + ".db";
    c.make(file);
    const std::string bytes = Read(file);
    EXPECT_EQ(RunDaemon("--data " + file), 1);
    const std::string log = Log();
    EXPECT_NE(log.find(file), std::string::npos) << log;
    EXPECT_NE(log.find(c.reason), std::string::npos) << log;
    EXPECT_EQ(Read(file), bytes) << "the refused file was changed";
  }

  // Locked: a daemon serves the file, a second one and embedded:FILE are refused.
  Store first(true, directory_, file_);
  ASSERT_TRUE(first.open()) << Log();
  EXPECT_EQ(RunDaemon("--data " + file_), 1);
  EXPECT_NE(Log().find("the data file " + file_ + ": it is in use by another running daemon"), std::string::npos);
  std::string error;
  EXPECT_EQ(cds::make_transport("embedded:" + file_, &error), nullptr);
  EXPECT_NE(error.find("in use by another"), std::string::npos) << error;
}

// A write that the file cannot take is refused and changes nothing, reads go
// on, and after a restart without the limit the store is whole and writable.
TEST_F(DurableTest, FullDiskFailsWritesAndChangesNothing) {
  MakeStore(directory_, file_, "before");
  // The daemon inherits a file size limit just above what the store holds,
  // with SIGXFSZ ignored so that a write past it fails instead of killing it.
  struct rlimit original {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &original), 0);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = original;
  limited.rlim_cur = 256 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  Store store(true, directory_, file_);
  const bool opened = store.open();
  setrlimit(RLIMIT_FSIZE, &original);
  std::signal(SIGXFSZ, previous);
  ASSERT_TRUE(opened) << Log();

  cds::CSetOOBData big;
  cds::CSetOOBDataUnit unit;
  unit.path = "big";
  (*unit.data.mutable_fields())["blob"].set_string_value(std::string(400 * 1024, 'x'));
  big.units.push_back(unit);
  auto refused = store.ask(big);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->status, cds::status_ok);
  EXPECT_NE(refused->message.find("could not keep"), std::string::npos) << refused->message;

  cds::CGetOOBData read;
  read.paths = {"big"};
  auto answer = store.ok(read);
  ASSERT_EQ(answer->results.size(), 1u);
  EXPECT_EQ(answer->results[0].found, 0) << "memory holds a write the file refused";
  store.ok(NewDevice("small"));  // fits: the store still writes what it can
  store.close();

  ASSERT_TRUE(store.open()) << Log();
  EXPECT_EQ(store.ok(read)->results.at(0).found, 0);
  cds::CGetDevice all;
  all.ids = {1};
  all.depth = 1;
  EXPECT_EQ(store.ok(all)->devices.size(), 3u);
  store.ok(big);
  EXPECT_EQ(store.ok(read)->results.at(0).found, 1);
}

// A copy taken with sqlite3's online backup while the daemon runs opens as a
// store with the same content.
TEST_F(DurableTest, BackupOfALiveStoreIsAStore) {
  Store live(true, directory_, file_);
  ASSERT_TRUE(live.open()) << Log();
  const std::uint64_t device = live.ok(NewDevice("backed up"))->devices.at(0).id;
  live.ok(NewChannel(device, "temperature"));
  const std::string dump = Dump(live, {});
  const std::string copy = directory_ + "/copy.db";
  ASSERT_EQ(std::system(("sqlite3 " + file_ + " '.backup " + copy + "'").c_str()), 0);
  live.ok(NewDevice("after the backup"));

  Store restored(false, directory_, copy);
  ASSERT_TRUE(restored.open());
  EXPECT_EQ(Dump(restored, {}), dump);
}

}  // namespace
}  // namespace durable_test
