#pragma once
// The rule that names the acting user of an audit record, apart from the
// process's own user and the password database so that it can be tried with
// any user id.
#include <sys/types.h>

#include <functional>
#include <string>

namespace cdsapi {
namespace detail {

// Sets the login name of `uid` and returns true, or returns false when the
// user has no entry.
using LoginLookup = std::function<bool(uid_t uid, std::string& login)>;

// "system" for ids up to 9999 (the system's own accounts, never looked up)
// and for users without an entry; otherwise the login name followed by
// " - local" below 30000 and " - ldap" from there (the directory's range).
std::string userNameFor(uid_t uid, const LoginLookup& lookup);

// The password database through getpwuid(3), as dataLog uses it.
bool passwordDatabaseLogin(uid_t uid, std::string& login);

}  // namespace detail
}  // namespace cdsapi
