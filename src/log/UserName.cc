#include "log/UserName.h"

#include <pwd.h>

namespace cdsapi {
namespace detail {

namespace {
constexpr uid_t kLastSystemUser = 9999;
constexpr uid_t kFirstDirectoryUser = 30000;
}  // namespace

std::string userNameFor(uid_t uid, const LoginLookup& lookup) {
  std::string login;
  if (uid <= kLastSystemUser || !lookup(uid, login)) return "system";
  return login + (uid < kFirstDirectoryUser ? " - local" : " - ldap");
}

bool passwordDatabaseLogin(uid_t uid, std::string& login) {
  // getpwuid's result lives in a static buffer of the C library; it is copied
  // at once.
  const passwd* entry = getpwuid(uid);
  if (entry == nullptr || entry->pw_name == nullptr) return false;
  login = entry->pw_name;
  return true;
}

}  // namespace detail
}  // namespace cdsapi
