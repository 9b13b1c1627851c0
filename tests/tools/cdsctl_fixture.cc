#include "cdsctl_fixture.h"

#include <iomanip>

#include "zu/JSON2Protobuf.h"
#include "zu/proto/zu.pb.h"

namespace cdsctl_test {

std::string JsonAt(const std::string& json, const std::string& path) {
  std::vector<std::shared_ptr<google::protobuf::Message>> documents;
  const std::string error = zu::JSON2Protobuf(json, documents);
  auto object = documents.size() == 1 ? std::dynamic_pointer_cast<zu::proto::toolkitStruct>(documents[0]) : nullptr;
  if (!error.empty() || !object || json.find_first_not_of(" \n") != json.find('{')) {
    ADD_FAILURE() << "not one JSON object (" << error << "): " << json;
    return "";
  }
  zu::proto::toolkitValue root;
  *root.mutable_struct_value() = *object;
  const zu::proto::toolkitValue* value = &root;
  std::istringstream steps(path);
  for (std::string step; std::getline(steps, step, '.');) {
    if (value->has_list_value() && std::stoul(step) < static_cast<std::size_t>(value->list_value().values_size())) {
      value = &value->list_value().values(static_cast<int>(std::stoul(step)));
    } else if (value->has_struct_value() && value->struct_value().fields().count(step)) {
      value = &value->struct_value().fields().at(step);
    } else {
      return "";
    }
  }
  if (value->has_string_value()) return '"' + value->string_value() + '"';
  if (value->has_bool_value()) return value->bool_value() ? "true" : "false";
  if (value->has_list_value()) return "[" + std::to_string(value->list_value().values_size()) + "]";
  if (!value->has_number_value()) return "";
  std::ostringstream o;
  o << std::setprecision(15) << value->number_value();
  return o.str();
}

std::unique_ptr<zu::testing::ChildProcess> CdsctlTest::Start(const std::vector<std::string>& args,
                                                             const std::vector<std::string>& env) {
  std::vector<std::string> command = zu::testing::child_command(CDSCTL_PATH);
  command.insert(command.end(), args.begin(), args.end());
  return std::make_unique<zu::testing::ChildProcess>(command, env);
}

Result CdsctlTest::Run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  auto child = Start(args, env);
  const int status = child->finish();
  return Result{status, child->out(), child->err()};
}

Result CdsctlTest::Cds(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--endpoint", Endpoint()};
  all.insert(all.end(), args.begin(), args.end());
  return Run(all);
}

std::string CdsctlTest::Ok(const std::vector<std::string>& args) {
  Result r = Cds(args);
  EXPECT_EQ(r.status, 0) << ::testing::PrintToString(args) << ": " << r.err;
  return r.out;
}

void CdsctlTest::ExpectFailure(const std::vector<std::string>& args, int status, const std::string& message) {
  Result r = Cds(args);
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_THAT(r.err, ::testing::HasSubstr(message));
  EXPECT_EQ(r.out, "");
}

unsigned long long CdsctlTest::CreatedId(const std::vector<std::string>& args) {
  std::vector<std::string> all = args;
  all.push_back("--json");
  const std::string id = JsonAt(Ok(all), "id");
  return id.empty() ? 0 : std::stoull(id);
}

}  // namespace cdsctl_test
