// cdsd: the data store daemon. Serves one store engine to the applications of
// the appliance over a Unix socket (see docs/cdsd.md).
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
    "usage: cdsd [--socket PATH] [--log-size N] [--queue-limit N] [--seed FILE]\n"
    "            [--max-connections N] [--frame-timeout SECONDS] [--verbose] [--help]\n"
    "\n"
    "Serves the data store on a Unix socket until SIGTERM or SIGINT.\n"
    "\n"
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

}  // namespace

int main(int argc, char** argv) {
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

  auto engine = std::make_shared<cds::store::Engine>(engine_options);
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
