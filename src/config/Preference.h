// The process's preferences: six dictionaries looked up in precedence order (product-wide
// settings, run-time overrides, the user's preferences and defaults, the host's and the
// site's defaults), loaded once from fixed files by Preference_Init and released by
// Preference_Exit. Lookups before Init or after Exit return the caller's default.
// Thread safe: lookups and changes take the recursive preference lock; Init and Exit swap
// the state pointer atomically. A lookup must not run concurrently with Exit.
#ifndef CONFIG_PREFERENCE_H
#define CONFIG_PREFERENCE_H

#include <cstdint>

#include "runtime/PlatformTypes.h"

struct Dictionary;
class RankedRecLock;

enum {
  PREFERENCE_SLOT_GLOBAL_SETTINGS = 0,
  PREFERENCE_SLOT_NON_PERSISTENT = 1,
  PREFERENCE_SLOT_USER_PREFERENCES = 2,
  PREFERENCE_SLOT_USER_DEFAULTS = 3,
  PREFERENCE_SLOT_HOST_DEFAULTS = 4,
  PREFERENCE_SLOT_SITE_DEFAULTS = 5,
  PREFERENCE_NUM_SLOTS = 6
};

struct Preference {
  RankedRecLock* lock;  // "preferenceLock"
  Dictionary* dictionaries[PREFERENCE_NUM_SLOTS];
  char* fileName[PREFERENCE_NUM_SLOTS];  // null where a slot has no file
};

// The installed state, or null.
Preference* Preference_GetState();

// Always true. Loads the files on the first call; later calls do nothing.
Bool Preference_Init();
// As Preference_Init, without the user's files; no effect once initialised.
void Preference_DisableUserPreferences();
void Preference_Exit();

Bool Preference_GetBool(Bool defaultValue, const char* name);
int32_t Preference_GetTriState(int32_t defaultValue, const char* name);
int32_t Preference_GetLong(int32_t defaultValue, const char* name);
int64_t Preference_GetInt64(int64_t defaultValue, const char* name);
double Preference_GetDouble(double defaultValue, const char* name);
// A new string the caller frees with free(), or null.
__attribute__((warn_unused_result)) char* Preference_GetString(const char* defaultValue,
                                                               const char* name);
// As Preference_GetString, with a leading "~" expanded to the home directory.
__attribute__((warn_unused_result)) char* Preference_GetPathName(const char* defaultValue,
                                                                 const char* name);

// True when no dictionary holds a read or set value for name (defaults registered by
// lookups do not count); true before initialisation.
Bool Preference_NotSet(const char* name);
// "name=value" into the run-time dictionary; without restore an existing value stays.
void Preference_SetFromString(const char* line, Bool restore);
// Logs every slot's file and its non-default entries.
void Preference_Log();

// Test seam: where the fixed files are, and whether the process counts as set-user-id.
// Production never sets it; a null field keeps the production behaviour.
struct PreferenceTestHooks {
  const char* hostDefaultsFile;  // instead of "/etc/quorin/config"
  const char* defaultLibDir;     // instead of "/usr/lib/quorin"
  int (*isSetUserId)();          // instead of comparing the real and effective user ids
};
// Takes effect at the next initialisation; null removes the hooks.
void Preference_SetTestHooks(const PreferenceTestHooks* hooks);

#endif  // CONFIG_PREFERENCE_H
