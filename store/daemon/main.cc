// cdsd: the data store daemon. Serves one store engine to the applications of
// the appliance over a Unix socket (see docs/cdsd.md).
#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "Log.h"
#include "Seed.h"
#include "Server.h"
#include "store/Engine.h"

namespace {

const char* const kUsage =
    "Usage: cdsd [--socket PATH] [--data FILE] [--value-flush-ms N] [--sync normal|full]\n"
    "            [--log-size N] [--queue-limit N] [--seed FILE]\n"
    "            [--max-connections N] [--frame-timeout SECONDS] [--verbose] [--help]\n"
    "\n"
    "Serves the data store on a Unix socket until SIGTERM or SIGINT.\n"
    "\n"
    "  --data FILE     keep the store in the SQLite FILE (created when missing), so\n"
    "                  that it survives restarts and crashes; without it the store\n"
    "                  lives in memory and is lost when the daemon stops.\n"
    "                  With a file, the daemon answers a request that changes\n"
    "                  devices, channels, settings, fields, states, alarm\n"
    "                  configurations, documents or the alarm log with status 1\n"
    "                  only once the change is committed: it survives kill -9.\n"
    "  --value-flush-ms N\n"
    "                  channel values are written to the file at most N ms after\n"
    "                  they change (default 1000), so a crash loses at most that\n"
    "                  window of values, never a configuration change; 0 commits\n"
    "                  every value before answering\n"
    "  --sync normal|full\n"
    "                  normal (default): commits survive a crash of the daemon;\n"
    "                  full: they also survive a power loss (the disk is synced\n"
    "                  before the answer, one sync shared by concurrent writers)\n"
    "  --socket PATH   socket to listen on (default /run/cds/cds.sock); created\n"
    "                  with mode 0660, removed at exit\n"
    "  --log-size N    alarm updates the alarm log keeps (default 100000)\n"
    "  --queue-limit N notifications a session's queue holds before new ones are\n"
    "                  merged into them (default 10000)\n"
    "  --seed FILE     create the devices and channels described in the JSON FILE\n"
    "                  at start (format: docs/cdsd.md)\n"
    "  --max-connections N\n"
    "                  connections served at once (default 256); past it a new\n"
    "                  one replaces the oldest that has not sent its hello, or is\n"
    "                  refused\n"
    "  --frame-timeout SECONDS\n"
    "                  a client that begins a request and does not complete it\n"
    "                  within this time is cut off (default 10)\n"
    "  --verbose       also log every session opened and closed\n"
    "  --help          show this text\n";

int usage_error(const std::string& text) {
  cdsd::error(text);
  std::cerr << kUsage;
  return 2;
}

// A whole number from 1 to `max`, or false.
bool parse_count(const std::string& text, unsigned long long max, unsigned long long* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) return false;
  unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
  if (n == 0 || n > max) return false;
  *out = n;
  return true;
}

// A store that holds nothing but the manager device.
bool store_is_new(cds::store::Engine& engine) {
  zu::cds::CGetDevice request;
  request.ids.push_back(1);
  request.depth = 1;
  auto answer = std::dynamic_pointer_cast<zu::cds::CGetDevice>(engine.handle(0, request));
  return answer && answer->devices.size() == 1 && answer->devices.front().channels.empty();
}

}  // namespace

int main(int argc, char** argv) {
  // One malloc arena for the whole daemon: the store's records are made on
  // whichever I/O thread served the request, and an arena per thread leaves
  // each one holding its own free space (about a quarter of the resident
  // memory of a store of small channels). Per-thread caches keep the common
  // small allocations off the arena's lock.
  ::mallopt(M_ARENA_MAX, 1);
  cdsd::ServerOptions server_options;
  cds::store::EngineOptions engine_options;
  std::string seed;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--verbose" || arg == "-v") {
      cdsd::set_verbose(true);
    } else if (arg == "--socket") {
      if (!value(&server_options.socket_path) || server_options.socket_path.empty())
        return usage_error("--socket needs a path");
    } else if (arg == "--data") {
      if (!value(&engine_options.data_file) || engine_options.data_file.empty())
        return usage_error("--data needs a file");
    } else if (arg == "--value-flush-ms") {
      std::string text;
      unsigned long long n = 1;
      if (!value(&text) || (text != "0" && !parse_count(text, 3600000, &n)))
        return usage_error("--value-flush-ms needs a whole number of milliseconds from 0 to 3600000");
      engine_options.value_flush_ms = text == "0" ? 0 : static_cast<std::uint32_t>(n);
    } else if (arg == "--sync") {
      std::string text;
      if (!value(&text) || (text != "normal" && text != "full")) return usage_error("--sync takes normal or full");
      engine_options.sync_full = text == "full";
    } else if (arg == "--seed") {
      if (!value(&seed) || seed.empty()) return usage_error("--seed needs a file");
    } else if (arg == "--log-size") {
      std::string text;
      unsigned long long n = 0;
      // The log size is a std::size_t: 32 bits on the appliance.
      if (!value(&text) || !parse_count(text, 0xFFFFFFFFULL, &n))
        return usage_error("--log-size needs a whole number from 1 to 4294967295");
      engine_options.alarm_log_size = static_cast<std::size_t>(n);
    } else if (arg == "--queue-limit") {
      std::string text;
      unsigned long long n = 0;
      if (!value(&text) || !parse_count(text, 0xFFFFFFFFULL, &n))
        return usage_error("--queue-limit needs a whole number from 1 to 4294967295");
      engine_options.notify_queue_limit = static_cast<std::size_t>(n);
    } else if (arg == "--max-connections") {
      std::string text;
      unsigned long long n = 0;
      if (!value(&text) || !parse_count(text, 65535, &n))
        return usage_error("--max-connections needs a whole number from 1 to 65535");
      server_options.max_connections = static_cast<std::size_t>(n);
    } else if (arg == "--frame-timeout") {
      std::string text;
      unsigned long long n = 0;
      if (!value(&text) || !parse_count(text, 3600, &n))
        return usage_error("--frame-timeout needs a whole number of seconds from 1 to 3600");
      server_options.frame_timeout = std::chrono::seconds(static_cast<long>(n));
    } else {
      return usage_error("unknown option \"" + arg + "\"");
    }
  }

  // A client that vanishes is a failed write, never a signal that ends the daemon.
  std::signal(SIGPIPE, SIG_IGN);
  // A session holds two descriptors here (its connection and the socket its
  // hello passed): take as many as the system allows, not the usual 1024.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  engine_options.warn = [](const std::string& text) { cdsd::warning(text); };
  std::shared_ptr<cds::store::Engine> engine;
  try {
    engine = std::make_shared<cds::store::Engine>(engine_options);
  } catch (const cds::store::StoreFileError& e) {
    cdsd::error(e.what());
    return 1;
  }
  if (engine_options.data_file.empty())
    cdsd::info("the store lives in memory: nothing survives the daemon (--data FILE keeps it)");
  else
    cdsd::info("the store is kept in " + engine_options.data_file + " (values flushed every " +
               std::to_string(engine_options.value_flush_ms) + " ms, sync " +
               (engine_options.sync_full ? "full" : "normal") + ")");
  if (!seed.empty() && !store_is_new(*engine)) {
    cdsd::info("the data file already holds a store: the seed file " + seed + " is not applied");
    seed.clear();
  }
  if (!seed.empty()) {
    std::string error;
    if (!cdsd::load_seed(seed, *engine, &error)) {
      cdsd::error(error);
      return 1;
    }
    cdsd::info("loaded the seed file " + seed);
  }

  server_options.notify_queue_limit = engine_options.notify_queue_limit;
  cdsd::Server server(engine, server_options);
  std::string error;
  if (!server.listen(&error)) {
    cdsd::error(error);
    return 1;
  }
  server.run();
  return 0;
}
