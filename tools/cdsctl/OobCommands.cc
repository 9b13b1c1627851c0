// oob get|set and oob field get|set: out-of-band documents and their fields,
// addressed by path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "Commands.h"
#include "Output.h"
#include "zu/JSON2Protobuf.h"
#include "zu/cds/CClient.h"

namespace cdsctl {
namespace {

// parse_path's field_kind for a path whose device does not exist.
constexpr std::uint32_t kUnknownDevice = 2;

std::string document_path(Args& args) {
  std::string path = args.positional("PATH");
  if (path.empty()) throw UsageError("PATH is empty");
  return path;
}

// DEVICE/NAME, DEVICE/SCOPE.NAME or DOCUMENT/NAME: a slash with text on both sides.
std::string field_path(Args& args) {
  std::string path = args.positional("PATH");
  const std::size_t slash = path.find('/');
  if (slash == std::string::npos || slash == 0 || path.back() == '/')
    throw UsageError("'" + path + "' is not a field path (DEVICE/NAME, DEVICE/SCOPE.NAME or DOCUMENT/NAME)");
  return path;
}

// Document requests go to the store directly: the library's get answers
// "missing" and "failed" alike, and its set does not wait for the store.
template <typename T>
std::shared_ptr<T> ask(T& request, const std::string& what) {
  auto response = std::dynamic_pointer_cast<T>(zu::cds::CClient::get()->submit_wait(request));
  if (!response) {
    check_connection();
    throw Failure("no answer from the data store to " + what);
  }
  if (response->status != zu::cds::status_ok)
    throw Failure("the data store refused " + what + ": " + response->get_status_text());
  return response;
}

// The whole of a file, or of standard input for "-".
std::string read_all(const std::string& file) {
  const bool stdin_given = file == "-";
  const std::string name = stdin_given ? "standard input" : file;
  const int fd = stdin_given ? 0 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Failure("cannot open " + name + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    if (!stdin_given) ::close(fd);
    throw Failure("cannot read " + name + ": it is a directory");
  }
  std::string text;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      if (!stdin_given) ::close(fd);
      throw Failure("cannot read " + name + ": " + std::strerror(error));
    }
  }
  if (!stdin_given) ::close(fd);
  return text;
}

// One JSON object as a document; Failure naming `source` otherwise.
zu::proto::toolkitStruct parse_document(const std::string& json, const std::string& source) {
  std::vector<std::shared_ptr<google::protobuf::Message>> messages;
  const std::string error = zu::JSON2Protobuf(json, messages);
  // The converter's message may go on with a marker line: its first line is enough.
  if (!error.empty()) throw Failure(source + " is not a valid JSON object: " + error.substr(0, error.find('\n')));
  // An array of objects converts too (one document each); a document is one object.
  const std::size_t first = json.find_first_not_of(" \t\r\n");
  auto document = messages.size() == 1 ? std::dynamic_pointer_cast<zu::proto::toolkitStruct>(messages.front()) : nullptr;
  if (!document || first == std::string::npos || json[first] != '{')
    throw Failure(source + " is not a JSON object: a document is one {...}");
  return *document;
}

[[noreturn]] void field_failure(cdsapi::OobAccessor& oob, const std::string& path, const std::string& otherwise) {
  check_connection();
  std::vector<std::string> parts{path};
  const zu::cds::CSingleField field = oob.parse_path(parts, 1);
  if (field.field_kind == kUnknownDevice) throw Failure("no device " + std::to_string(field.id));
  throw Failure(otherwise);
}

int run_get(Args& args, Context& ctx) {
  const std::string path = document_path(args);
  args.finish();
  ctx.cds();
  zu::cds::CGetOOBData request;
  request.paths = {path};
  auto response = ask(request, "the read of the document at " + path);
  if (response->results.empty() || !response->results.back().found) throw Failure("no document at " + path);
  const std::string json = zu::Protobuf2JSON(response->results.back().data);
  if (json.empty()) throw Failure("the document at " + path + " cannot be shown as JSON");
  print((ctx.json ? json : indent_json(json)) + "\n");
  return 0;
}

int run_set(Args& args, Context& ctx) {
  const std::string path = document_path(args);
  const std::string argument = args.positional("JSON");
  args.finish();
  const bool from_file = argument.size() > 1 && argument[0] == '@';
  const std::string source = from_file ? (argument == "@-" ? "standard input" : argument.substr(1)) : "the JSON given";
  const zu::proto::toolkitStruct document =
      parse_document(from_file ? read_all(argument.substr(1)) : argument, source);
  ctx.cds();
  zu::cds::CSetOOBDataUnit unit;
  unit.path = path;
  unit.data = document;
  zu::cds::CSetOOBData request;
  request.units.push_back(std::move(unit));
  ask(request, "the document for " + path);
  if (ctx.json) print(Json().begin_object().key("path").string(path).end_object().text() + "\n");
  return 0;
}

int run_field_get(Args& args, Context& ctx) {
  const std::string path = field_path(args);
  args.finish();
  auto& oob = ctx.oob();
  std::string value;
  try {
    value = oob.getField<std::string>(path);
  } catch (const std::invalid_argument&) {
    field_failure(oob, path, "nothing at " + path + " (no such field, or no document holding it)");
  }
  if (ctx.json) print(Json().begin_object().key("path").string(path).key("value").string(value).end_object().text() + "\n");
  else print(value + "\n");
  return 0;
}

int run_field_set(Args& args, Context& ctx) {
  const std::string path = field_path(args);
  const std::string value = args.positional("VALUE");
  args.finish();
  auto& oob = ctx.oob();
  if (!oob.setField(path, value)) field_failure(oob, path, "the data store refused the field " + path);
  if (ctx.json) print(Json().begin_object().key("path").string(path).end_object().text() + "\n");
  return 0;
}

}  // namespace

const std::vector<Command>& oob_commands() {
  static const std::vector<Command> commands = {
      {"oob get", "oob get PATH\n\n"
       "Prints the document at exactly PATH (a/b/c) as JSON: indented, or on one line with\n"
       "--json. Fails when there is none.\n",
       "show an out-of-band document", run_get},
      {"oob set", "oob set PATH JSON\n\n"
       "Replaces the document at PATH with JSON, one object: given as the argument, as @FILE\n"
       "to read it from FILE, or as @- to read it from standard input. Waits for the data\n"
       "store and fails when it refuses the document.\n",
       "write an out-of-band document", run_set},
      {"oob field get", "oob field get PATH\n\n"
       "Prints one field: DEVICE/NAME (a device attribute or named field), DEVICE/SCOPE.NAME\n"
       "(a field in a scope of the device) or DOCUMENT/NAME (field NAME of the document at\n"
       "DOCUMENT, e.g. a/b/NAME).\n",
       "show one field by path", run_field_get},
      {"oob field set", "oob field set PATH VALUE\n\n"
       "Writes one field, as text; PATH as for oob field get. Fails when the data store\n"
       "refuses it.\n",
       "write one field by path", run_field_set},
  };
  return commands;
}

}  // namespace cdsctl
