// info: where the data store keeps its data, how safely, and how much it holds.
#include "Commands.h"
#include "Output.h"
#include "zu/cds/CClient.h"

namespace cdsctl {
namespace {

int run_info(Args& args, Context& ctx) {
  args.finish();
  ctx.cds();
  zu::cds::CGetStoreInfo request;
  auto answer = std::dynamic_pointer_cast<zu::cds::CGetStoreInfo>(zu::cds::CClient::get()->submit_wait(request));
  if (!answer) {
    check_connection();
    throw Failure("the data store did not answer the information request");
  }
  if (answer->status != zu::cds::status_ok)
    throw Failure("the data store did not give its information: " + answer->message);
  if (!ctx.json) {
    print(answer->text);
    return 0;
  }
  // The store's "key: value" lines as members; a value of digits only, or of
  // digits and " bytes", is a number (of bytes).
  Json json;
  json.begin_object();
  std::size_t at = 0;
  while (at < answer->text.size()) {
    std::size_t end = answer->text.find('\n', at);
    if (end == std::string::npos) end = answer->text.size();
    const std::string line = answer->text.substr(at, end - at);
    at = end + 1;
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string value = line.substr(colon + 2);
    const std::string digits = value.substr(0, value.find_first_not_of("0123456789"));
    json.key(line.substr(0, colon));
    if (!digits.empty() && digits.size() < 20 && (value == digits || value == digits + " bytes"))
      json.number(std::stoull(digits));
    else
      json.string(value);
  }
  print(json.end_object().text() + "\n");
  return 0;
}

}  // namespace

const std::vector<Command>& info_commands() {
  static const std::vector<Command> commands = {
      {"info", "info\n\n"
       "Shows where the data store keeps its data (its file and the file's size, or that it\n"
       "lives in memory only), what survives a crash (the sync mode and the window of channel\n"
       "values a crash may lose) and how many devices, channels, documents and alarm log\n"
       "entries it holds.\n",
       "where the store keeps its data, and how safely", run_info},
  };
  return commands;
}

}  // namespace cdsctl
