// A list of messages gathered for a caller, each with its catalogue identifier and its
// English text. Producers pass a format that starts with the catalogue prefix
// "@&!*@*@(" identifier ")"; a null list pointer means the caller wants no messages.
// Not thread safe: a list belongs to the caller that passed it.
#ifndef CONFIG_MSGLIST_H
#define CONFIG_MSGLIST_H

#include <cstdarg>
#include <string>
#include <vector>

struct MsgList {
  struct Msg {
    std::string id;    // "msg.dictionary.read.syntaxError"; empty when the format had no prefix
    std::string text;  // the English text, formatted, without the prefix
  };
  std::vector<Msg> messages;
};

// Appends one formatted message to *list (created on first use); nothing when list is null.
void MsgList_Append(MsgList** list, const char* idFormat, ...)
    __attribute__((format(printf, 2, 3)));
void MsgList_AppendV(MsgList** list, const char* idFormat, va_list args)
    __attribute__((format(printf, 2, 0)));
// Appends the messages of *from to *to and frees *from.
void MsgList_Merge(MsgList** to, MsgList** from);
// Writes every message's text to the configuration log.
void MsgList_Log(const MsgList* list);
// The texts joined, or "" for a null list.
std::string MsgList_ToString(const MsgList* list);
bool MsgList_HasId(const MsgList* list, const char* id);
void MsgList_Free(MsgList* list);
// Frees *list, for a scope guard that also holds when an allocation throws:
//   MsgList* errs = nullptr;
//   std::unique_ptr<MsgList*, decltype(&MsgList_FreeAt)> freeErrs(&errs, MsgList_FreeAt);
void MsgList_FreeAt(MsgList** list);

#endif  // CONFIG_MSGLIST_H
