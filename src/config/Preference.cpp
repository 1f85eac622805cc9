#include "config/Preference.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/BaseLog.h"
#include "config/Dictionary.h"
#include "config/MsgList.h"
#include "config/PathExpand.h"
#include "config/RankedRecLock.h"

namespace {

const uint32_t kPreferenceLockRank = 0xf0007100;
const char kHostDefaultsFile[] = "/etc/quorin/config";
const char kDefaultLibDir[] = "/usr/lib/quorin";

std::atomic<Preference*> preferenceState{nullptr};

// Read only while a state is built; tests set it between Exit and Init.
std::atomic<const PreferenceTestHooks*> gTestHooks{nullptr};
PreferenceTestHooks gTestHookStorage;

const char* const kSlotLogHeaders[PREFERENCE_NUM_SLOTS] = {
    "DICT --- GLOBAL SETTINGS %s\n",  "DICT --- NON PERSISTENT %s\n",
    "DICT --- USER PREFERENCES %s\n", "DICT --- USER DEFAULTS %s\n",
    "DICT --- HOST DEFAULTS %s\n",    "DICT --- SITE DEFAULTS %s\n"};

char* CopyString(const char* s) { return s != nullptr ? strdup(s) : nullptr; }

bool IsSetUserId() {
  const PreferenceTestHooks* hooks = gTestHooks.load();
  if (hooks != nullptr && hooks->isSetUserId != nullptr) {
    return hooks->isSetUserId() != 0;
  }
  return getuid() != geteuid();
}

void LoadSlot(Preference* state, int slot) {
  const char* file = state->fileName[slot];
  if (file == nullptr) {
    return;
  }
  MsgList* errs = nullptr;
  std::unique_ptr<MsgList*, decltype(&MsgList_FreeAt)> freeErrs(&errs, MsgList_FreeAt);
  if (!Dictionary_LoadEx(state->dictionaries[slot], file, &errs)) {
    MsgList_Log(errs);
    BaseLog_Log("PREF Optional preferences file not found at %s. Using default values.\n", file);
  }
}

void FreeState(Preference* state) {
  for (int i = 0; i < PREFERENCE_NUM_SLOTS; i++) {
    Dictionary_Free(state->dictionaries[i]);
    free(state->fileName[i]);
  }
  delete state->lock;
  delete state;
}

Preference* CreateState(bool userPreferences) {
  const PreferenceTestHooks* hooks = gTestHooks.load();
  // Freed with what it holds so far when an allocation on the way throws.
  std::unique_ptr<Preference, void (*)(Preference*)> state(new Preference(), FreeState);
  state->lock = new RankedRecLock("preferenceLock", kPreferenceLockRank);
  for (int i = 0; i < PREFERENCE_NUM_SLOTS; i++) {
    state->dictionaries[i] = Dictionary_Create();
  }

  const char* hostFile = hooks != nullptr && hooks->hostDefaultsFile != nullptr
                             ? hooks->hostDefaultsFile
                             : kHostDefaultsFile;
  state->fileName[PREFERENCE_SLOT_HOST_DEFAULTS] = CopyString(hostFile);
  LoadSlot(state.get(), PREFERENCE_SLOT_HOST_DEFAULTS);

  Dictionary* host = state->dictionaries[PREFERENCE_SLOT_HOST_DEFAULTS];
  if (Dictionary_IsDefined(host, "disableUserPreferences") &&
      Dict_GetBool(host, FALSE, "disableUserPreferences")) {
    BaseLog_Log("PREF Disabling user preferences because disableUserPreferences is set.\n");
    userPreferences = false;
  }

  // Looked up without a default so that no default entry shadows the site defaults.
  std::string libDir =
      hooks != nullptr && hooks->defaultLibDir != nullptr ? hooks->defaultLibDir : kDefaultLibDir;
  if (Dictionary_IsDefined(host, "libdir")) {
    const char* configured = Dict_GetString(host, nullptr, "libdir");
    if (configured != nullptr) {
      libDir = configured;
    }
  }
  state->fileName[PREFERENCE_SLOT_GLOBAL_SETTINGS] = CopyString((libDir + "/settings").c_str());
  state->fileName[PREFERENCE_SLOT_SITE_DEFAULTS] = CopyString((libDir + "/config").c_str());

  if (userPreferences) {
    if (!IsSetUserId()) {
      state->fileName[PREFERENCE_SLOT_USER_DEFAULTS] =
          CopyString(PathExpand_Home("~/.quorin/config").c_str());
      state->fileName[PREFERENCE_SLOT_USER_PREFERENCES] =
          CopyString(PathExpand_Home("~/.quorin/preferences").c_str());
    } else {
      BaseLog_Log("setuid: ignoring user's config and preferences\n");
    }
  }

  LoadSlot(state.get(), PREFERENCE_SLOT_GLOBAL_SETTINGS);
  LoadSlot(state.get(), PREFERENCE_SLOT_SITE_DEFAULTS);
  LoadSlot(state.get(), PREFERENCE_SLOT_USER_DEFAULTS);
  LoadSlot(state.get(), PREFERENCE_SLOT_USER_PREFERENCES);
  return state.release();
}

void Install(bool userPreferences) {
  if (preferenceState.load() != nullptr) {
    return;
  }
  Preference* state = CreateState(userPreferences);
  Preference* expected = nullptr;
  if (!preferenceState.compare_exchange_strong(expected, state)) {
    FreeState(state);
  }
}

// The value of name as type from the first slot that defines it, or the default.
// Called with the lock held; the result points into a dictionary or at *def. A default
// that is registered goes into the user-preferences slot, where later lookups find it.
const DictValue* LookUp(Preference* state, const DictValue* def, DictionaryType type,
                        const char* name, bool registerDefault) {
  for (int i = 0; i < PREFERENCE_NUM_SLOTS; i++) {
    if (Dictionary_IsDefined(state->dictionaries[i], name)) {
      return Dictionary_Get(state->dictionaries[i], def, type, name);
    }
  }
  if (registerDefault) {
    return Dictionary_Get(state->dictionaries[PREFERENCE_SLOT_USER_PREFERENCES], def, type, name);
  }
  return def;
}

// Null when the preferences are not initialised (after logging the early-lookup line).
Preference* StateForLookUp(const char* name) {
  Preference* state = preferenceState.load();
  if (state == nullptr) {
    BaseLog_Log("PREF early PreferenceGet(%s), using default\n", name != nullptr ? name : "");
  }
  return name != nullptr ? state : nullptr;
}

template <typename T>
bool IsPlainDefault(T value) {
  return value == 0 || value == -1;
}

template <typename T>
struct Exactly {
  using Type = T;
};

// The numeric getters differ only in the union member and the type; a default other than
// 0 or -1 is kept with the entry.
template <typename T>
T GetNumber(typename Exactly<T>::Type defaultValue, DictionaryType type, T DictValue::*member,
            const char* name) {
  Preference* state = StateForLookUp(name);
  if (state == nullptr) {
    return defaultValue;
  }
  RankedRecLock::Holder hold(*state->lock);
  DictValue def{};
  def.*member = defaultValue;
  return LookUp(state, &def, type, name, !IsPlainDefault(defaultValue))->*member;
}

}  // namespace

Preference* Preference_GetState() { return preferenceState.load(); }

Bool Preference_Init() {
  Install(true);
  return TRUE;
}

void Preference_DisableUserPreferences() { Install(false); }

void Preference_Exit() {
  Preference* state = preferenceState.exchange(nullptr);
  if (state != nullptr) {
    FreeState(state);
  }
}

Bool Preference_GetBool(Bool defaultValue, const char* name) {
  Preference* state = StateForLookUp(name);
  if (state == nullptr) {
    return defaultValue;
  }
  RankedRecLock::Holder hold(*state->lock);
  DictValue def{};
  def.boolValue = defaultValue ? TRUE : FALSE;
  return LookUp(state, &def, DICT_BOOL, name, false)->boolValue;
}

int32_t Preference_GetTriState(int32_t defaultValue, const char* name) {
  return GetNumber(defaultValue, DICT_TRISTATE, &DictValue::longValue, name);
}

int32_t Preference_GetLong(int32_t defaultValue, const char* name) {
  return GetNumber(defaultValue, DICT_LONG, &DictValue::longValue, name);
}

int64_t Preference_GetInt64(int64_t defaultValue, const char* name) {
  return GetNumber(defaultValue, DICT_INT64, &DictValue::int64Value, name);
}

double Preference_GetDouble(double defaultValue, const char* name) {
  return GetNumber(defaultValue, DICT_DOUBLE, &DictValue::doubleValue, name);
}

char* Preference_GetString(const char* defaultValue, const char* name) {
  Preference* state = StateForLookUp(name);
  if (state == nullptr) {
    return CopyString(defaultValue);
  }
  RankedRecLock::Holder hold(*state->lock);
  DictValue def{};
  def.stringValue = defaultValue;
  return CopyString(LookUp(state, &def, DICT_STRING, name, defaultValue != nullptr)->stringValue);
}

char* Preference_GetPathName(const char* defaultValue, const char* name) {
  char* value = Preference_GetString(defaultValue, name);
  if (value == nullptr) {
    return nullptr;
  }
  std::string expanded = PathExpand_Home(value);
  free(value);
  return CopyString(expanded.c_str());
}

Bool Preference_NotSet(const char* name) {
  Preference* state = preferenceState.load();
  if (state == nullptr || name == nullptr) {
    return TRUE;
  }
  RankedRecLock::Holder hold(*state->lock);
  for (int i = 0; i < PREFERENCE_NUM_SLOTS; i++) {
    if (!Dictionary_NotSet(state->dictionaries[i], name)) {
      return FALSE;
    }
  }
  return TRUE;
}

void Preference_SetFromString(const char* line, Bool restore) {
  Preference* state = preferenceState.load();
  if (state == nullptr || line == nullptr) {
    return;
  }
  RankedRecLock::Holder hold(*state->lock);
  Dictionary* dict = state->dictionaries[PREFERENCE_SLOT_NON_PERSISTENT];
  // Nobody asked for the messages: the caller-less list is discarded.
  if (restore) {
    Dictionary_RestoreFromString(dict, line, nullptr);
  } else {
    Dictionary_SetFromString(dict, line, nullptr);
  }
}

void Preference_Log() {
  Preference* state = preferenceState.load();
  if (state == nullptr) {
    return;
  }
  RankedRecLock::Holder hold(*state->lock);
  for (int i = 0; i < PREFERENCE_NUM_SLOTS; i++) {
    const char* file = state->fileName[i];
    if ((i == PREFERENCE_SLOT_USER_PREFERENCES || i == PREFERENCE_SLOT_USER_DEFAULTS) &&
        file == nullptr) {
      continue;
    }
    BaseLog_Log(kSlotLogHeaders[i], file != nullptr ? file : "(null)");
    Dictionary_LogNotDefault(state->dictionaries[i]);
  }
}

void Preference_SetTestHooks(const PreferenceTestHooks* hooks) {
  if (hooks == nullptr) {
    gTestHooks.store(nullptr);
    return;
  }
  gTestHookStorage = *hooks;
  gTestHooks.store(&gTestHookStorage);
}
