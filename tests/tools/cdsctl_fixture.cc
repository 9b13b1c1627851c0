#include "cdsctl_fixture.h"

#include <iomanip>
#include <stdexcept>

#include "zu/JSON2Protobuf.h"

namespace cdsctl_test {

Json Json::Parse(const std::string& text) {
  std::vector<std::shared_ptr<google::protobuf::Message>> documents;
  const std::string error = zu::JSON2Protobuf(text, documents);
  auto object = documents.size() == 1 ? std::dynamic_pointer_cast<zu::proto::toolkitStruct>(documents[0]) : nullptr;
  if (!error.empty() || !object || text.find_first_not_of(" \n") != text.find('{'))
    throw std::runtime_error("not one JSON object: " + error);
  auto root = std::make_shared<zu::proto::toolkitValue>();
  *root->mutable_struct_value() = *object;
  Json json;
  json.value_ = root.get();
  json.root_ = std::move(root);
  return json;
}

Json Json::operator[](const std::string& key) const {
  Json member;
  if (!value_ || !value_->has_struct_value()) return member;
  const auto& fields = value_->struct_value().fields();
  auto it = fields.find(key);
  if (it != fields.end()) {
    member.root_ = root_;
    member.value_ = &it->second;
  }
  return member;
}

Json Json::operator[](std::size_t i) const {
  Json item;
  if (i < size()) {
    item.root_ = root_;
    item.value_ = &value_->list_value().values(static_cast<int>(i));
  }
  return item;
}

std::string Json::text() const {
  if (!value_) return "";
  if (value_->has_string_value()) return value_->string_value();
  if (value_->has_bool_value()) return value_->bool_value() ? "true" : "false";
  if (!value_->has_number_value()) return "";
  std::ostringstream o;
  o << std::setprecision(15) << value_->number_value();
  return o.str();
}

std::size_t Json::size() const {
  return value_ && value_->has_list_value() ? static_cast<std::size_t>(value_->list_value().values_size()) : 0;
}

CdsctlTest::CdsctlTest() {
  directory_ = zu::testing::make_temporary_directory("cdsctl-test");
  socket_ = directory_ + "/cds.sock";
}

CdsctlTest::~CdsctlTest() {
  daemon_.reset();
  zu::testing::remove_temporary_directory(directory_);
}

void CdsctlTest::SetUp() {
  daemon_ = std::make_unique<zu::testing::DaemonProcess>(socket_, directory_ + "/cdsd.log");
  ASSERT_TRUE(daemon_->start()) << Log();
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

void CdsctlTest::ExpectFailure(const std::vector<std::string>& args, int status, const std::string& message) {
  Result r = Cds(args);
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_THAT(r.err, ::testing::HasSubstr(message));
  EXPECT_EQ(r.out, "");
}

unsigned long long CdsctlTest::CreatedId(const std::vector<std::string>& args) {
  std::vector<std::string> all = args;
  all.push_back("--json");
  Result r = Cds(all);
  EXPECT_EQ(r.status, 0) << r.err;
  try {
    return std::stoull(Json::Parse(r.out)["id"].text());
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what() << " in: " << r.out;
    return 0;
  }
}

std::string CdsctlTest::Log() const {
  std::ifstream in(directory_ + "/cdsd.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace cdsctl_test
