#include "config/MsgList.h"

#include <cstdio>
#include <cstring>

#include "config/BaseLog.h"

namespace {

const char kCataloguePrefix[] = "@&!*@*@(";

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) {
    return std::string();
  }
  std::string out(static_cast<size_t>(needed) + 1, '\0');
  vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(needed));
  return out;
}

}  // namespace

void MsgList_AppendV(MsgList** list, const char* idFormat, va_list args) {
  if (list == nullptr) {
    return;
  }
  MsgList::Msg msg;
  const char* format = idFormat;
  size_t prefixLen = sizeof kCataloguePrefix - 1;
  if (strncmp(idFormat, kCataloguePrefix, prefixLen) == 0) {
    const char* close = strchr(idFormat + prefixLen, ')');
    if (close != nullptr) {
      msg.id.assign(idFormat + prefixLen, close);
      format = close + 1;
    }
  }
  msg.text = FormatV(format, args);
  if (*list == nullptr) {
    *list = new MsgList;
  }
  (*list)->messages.push_back(std::move(msg));
}

void MsgList_Append(MsgList** list, const char* idFormat, ...) {
  va_list args;
  va_start(args, idFormat);
  MsgList_AppendV(list, idFormat, args);
  va_end(args);
}

void MsgList_Merge(MsgList** to, MsgList** from) {
  if (from == nullptr || *from == nullptr) {
    return;
  }
  if (to != nullptr) {
    if (*to == nullptr) {
      *to = new MsgList;
    }
    for (MsgList::Msg& msg : (*from)->messages) {
      (*to)->messages.push_back(std::move(msg));
    }
  }
  delete *from;
  *from = nullptr;
}

void MsgList_Log(const MsgList* list) {
  if (list == nullptr) {
    return;
  }
  for (const MsgList::Msg& msg : list->messages) {
    BaseLog_Log("%s", msg.text.c_str());
  }
}

std::string MsgList_ToString(const MsgList* list) {
  std::string out;
  if (list != nullptr) {
    for (const MsgList::Msg& msg : list->messages) {
      out += msg.text;
    }
  }
  return out;
}

bool MsgList_HasId(const MsgList* list, const char* id) {
  if (list == nullptr) {
    return false;
  }
  for (const MsgList::Msg& msg : list->messages) {
    if (msg.id == id) {
      return true;
    }
  }
  return false;
}

void MsgList_Free(MsgList* list) { delete list; }

void MsgList_FreeAt(MsgList** list) { MsgList_Free(*list); }
