// cdsctl: look at and change the data store from a shell. Finds the command,
// runs it, and turns its outcome into an exit status: 0 done, 1 failed, 2 a
// wrong command line. See docs/cdsctl.md.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Args.h"
#include "Commands.h"
#include "Context.h"
#include "Output.h"
#include "zu/cds/CClient.h"

namespace {

using cdsctl::Command;

const char* const kOptions =
    "Options, before or after the command:\n"
    "  --endpoint E  the data store: unix:PATH for the cdsd listening on PATH (default\n"
    "                $ZU_CDS_ENDPOINT, else unix:/run/cds/cds.sock)\n"
    "  --json        machine-readable output\n"
    "  --help        help on the command\n"
    "\n"
    "CHANNEL is a channel id or DEVICE/NAME. Exit status: 0 done, 1 failed, 2 wrong usage.\n";

std::vector<const Command*> all_commands() {
  std::vector<const Command*> out;
  for (const auto* group : {&cdsctl::device_commands(), &cdsctl::channel_commands(), &cdsctl::alarm_commands(),
                            &cdsctl::oob_commands(), &cdsctl::watch_commands(), &cdsctl::info_commands()})
    for (const Command& c : *group) out.push_back(&c);
  return out;
}

std::vector<std::string> split(const std::string& name) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at <= name.size()) {
    std::size_t space = name.find(' ', at);
    if (space == std::string::npos) space = name.size();
    words.push_back(name.substr(at, space - at));
    at = space + 1;
  }
  return words;
}

// The overview, or that of the commands starting with `prefix` ("device").
std::string overview(const std::string& prefix) {
  std::string text = "Usage: cdsctl [--endpoint E] [--json] " + (prefix.empty() ? std::string("COMMAND") : prefix + " COMMAND") +
                     " [ARGS...]\n\nCommands:\n";
  std::size_t width = 0;
  for (const Command* c : all_commands()) width = std::max(width, std::string(c->name).size());
  for (const Command* c : all_commands()) {
    const std::string name = c->name;
    if (!prefix.empty() && name.rfind(prefix + " ", 0) != 0) continue;
    text += "  " + name + std::string(width - name.size() + 2, ' ') + c->summary + "\n";
  }
  return text + "\n" + kOptions;
}

std::string command_usage(const Command& c) { return std::string("Usage: cdsctl [--endpoint E] [--json] ") + c.usage; }

int usage_error(const std::string& message, const std::string& usage) {
  std::cerr << "cdsctl: " << message << "\n\n" << usage << std::flush;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  cdsctl::claim_stdout();

  std::vector<std::string> words;
  bool json = false;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_ended) {
      words.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
      words.push_back(arg);
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--endpoint" || arg.rfind("--endpoint=", 0) == 0) {
      std::string endpoint;
      if (arg == "--endpoint") {
        if (i + 1 >= argc) return usage_error("--endpoint needs a value", overview(""));
        endpoint = argv[++i];
      } else {
        endpoint = arg.substr(11);
      }
      if (endpoint.empty()) return usage_error("--endpoint needs a value", overview(""));
      zu::cds::CClient::get()->set_endpoint(endpoint);
    } else {
      words.push_back(arg);
    }
  }

  // The longest command name the words start with.
  const Command* command = nullptr;
  std::size_t taken = 0;
  for (const Command* c : all_commands()) {
    std::vector<std::string> name = split(c->name);
    if (name.size() <= taken || name.size() > words.size()) continue;
    bool match = true;
    for (std::size_t k = 0; k < name.size() && match; ++k) match = words[k] == name[k];
    if (match) {
      command = c;
      taken = name.size();
    }
  }
  if (!command) {
    if (words.empty()) return usage_error("missing command", overview(""));
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
      cdsctl::print(overview(""));
      return 0;
    }
    // A group ("device", "config alarm") without a known subcommand: that group's list.
    std::string prefix;
    std::size_t given = 0;
    std::string candidate;
    for (std::size_t n = 0; n < words.size() && n < 2; ++n) {
      candidate += (n ? " " : "") + words[n];
      for (const Command* c : all_commands())
        if (std::string(c->name).rfind(candidate + " ", 0) == 0) {
          prefix = candidate;
          given = n + 1;
        }
    }
    for (const std::string& w : words)
      if (w == "--help" || w == "-h") {
        cdsctl::print(overview(prefix));
        return 0;
      }
    if (prefix.empty()) return usage_error("unknown command '" + words[0] + "'", overview(""));
    return usage_error(words.size() > given ? "unknown command '" + prefix + " " + words[given] + "'"
                                            : "'" + prefix + "' needs a command",
                       overview(prefix));
  }

  cdsctl::Args args(std::vector<std::string>(words.begin() + static_cast<std::ptrdiff_t>(taken), words.end()));
  if (args.help()) {
    cdsctl::print(command_usage(*command) + "\n" + kOptions);
    return 0;
  }
  cdsctl::Context ctx(json);
  try {
    return command->run(args, ctx);
  } catch (const cdsctl::UsageError& e) {
    return usage_error(e.what(), command_usage(*command));
  } catch (const cdsctl::Failure& e) {
    cdsctl::say(e.what());
    return 1;
  } catch (const std::exception& e) {
    // The library's own exceptions: their texts say what went wrong, unless
    // the request went unanswered because the data store went away.
    auto* client = zu::cds::CClient::get();
    if (!client->is_connected())
      cdsctl::say("lost the connection to the data store at " + client->endpoint());
    else
      cdsctl::say(e.what());
    return 1;
  }
}
