// Home-directory expansion of configuration paths: a leading "~" or "~/" stands for the
// user's home directory ("HOME", else the password database), "~name" for that user's.
// Paths without a leading "~", or whose user is unknown, are returned unchanged.
// Thread safe: uses the reentrant password-database calls only.
#ifndef CONFIG_PATHEXPAND_H
#define CONFIG_PATHEXPAND_H

#include <string>

std::string PathExpand_Home(const std::string& path);

#endif  // CONFIG_PATHEXPAND_H
