#include "logging/ConfigSettingsReader.h"

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <new>
#include <vector>

#include "logging/Logger.h"
#include "logging/LoggerManager.h"
#include "runtime/AutoMutexLock.h"
#include "runtime/FileUtils.h"
#include "runtime/QrPollThread.h"
#include "runtime/StringUtils.h"

namespace {

const int32_t kWatchIntervalMS = 60000;

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x != y && !(x < 0x80 && y < 0x80 && tolower(x) == tolower(y))) {
      return false;
    }
  }
  return true;
}

}  // namespace

ConfigSettingsReader::PollConfigFileWatcher::PollConfigFileWatcher(ConfigSettingsReader* reader)
    : QrPollItem("ConfigFileWatcher"), m_modTime(0), m_reader(reader) {}

bool ConfigSettingsReader::PollConfigFileWatcher::Run(bool timedOut) {
  AutoMutexLock lock(LoggerManager_GetLock());
  time_t modTime = 0;
  if (!FileUtils::ModTime(m_reader->m_filePath, &modTime) || modTime == m_modTime) {
    return true;
  }
  if (timedOut) {
    QR_LOG(LOGGER_LOG_DEBUG, "%s changed - rereading file", m_reader->m_filePath.c_str());
    LoggerPtr logger = m_reader->m_logger.Lock();
    if (m_reader->ReadFile() && logger.Ptr() != nullptr) {
      // The reader itself, without a new reference: it may be on its way out, in which
      // case its destructor waits for this pass.
      logger->ApplySettings(m_reader);
    }
  }
  m_modTime = modTime;
  return true;
}

ConfigSettingsReader::ConfigSettingsReader(Logger* logger, const std::string& key,
                                           const std::string& filePath)
    : m_key(key),
      m_filePath(filePath),
      m_configMap(new (std::nothrow) QrPropertyManager()),
      m_logger(logger) {
  Init();
}

ConfigSettingsReader::ConfigSettingsReader(const std::string& key, const std::string& filePath)
    : ConfigSettingsReader(nullptr, key, filePath) {}

ConfigSettingsReader::~ConfigSettingsReader() {
  if (m_pollWatcher.Ptr() != nullptr) {
    m_pollWatcher->Remove(true);
  }
}

bool ConfigSettingsReader::Init() {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_logger.Ptr() != nullptr && m_pollWatcher.Ptr() == nullptr) {
    m_pollWatcher = new (std::nothrow) PollConfigFileWatcher(this);
    if (m_pollWatcher.Ptr() != nullptr) {
      m_pollWatcher->Run(false);
      RCPtr<QrPollThread> pollThread = Logger::GetPollThread();
      if (pollThread.Ptr() != nullptr) {
        pollThread->AddItem(m_pollWatcher, nullptr, kWatchIntervalMS);
      }
    }
  }
  return ReadFile();
}

bool ConfigSettingsReader::LoadFile(const std::string& path, std::string* text) {
  return FileUtils::ReadFileIntoString(path, text, true);
}

bool ConfigSettingsReader::ReadFile() {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_configMap.Ptr() == nullptr) {
    return false;
  }
  m_configMap->RemoveAll();
  std::string text;
  if (!LoadFile(m_filePath, &text)) {
    return false;
  }
  ReadText(text);
  return true;
}

void ConfigSettingsReader::ReadText(const std::string& text) {
  AutoMutexLock lock(LoggerManager_GetLock());
  if (m_configMap.Ptr() == nullptr) {
    return;
  }
  m_configMap->RemoveAll();
  std::vector<std::string> lines;
  StringUtils::split(text, '\n', lines);
  for (const std::string& line : lines) {
    std::string::size_type equals = line.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    std::string left = StringUtils::trim(line.substr(0, equals));
    std::string::size_type dot = left.rfind('.');
    if (dot == std::string::npos || !EqualsIgnoringCase(left.substr(0, dot), m_key)) {
      continue;
    }
    std::string name = StringUtils::trim(left.substr(dot + 1));
    std::string value = StringUtils::trim(line.substr(equals + 1));
    if (!name.empty() && !value.empty()) {
      m_configMap->Add(name, value);  // a later line wins
    }
  }
}

void ConfigSettingsReader::CheckForChanges() {
  if (m_pollWatcher.Ptr() != nullptr) {
    m_pollWatcher->Run(true);
  }
}

bool ConfigSettingsReader::LookupStringVal(const std::string& valueName, bool isMultiString,
                                           std::string& value, bool /*logError*/) {
  AutoMutexLock lock(LoggerManager_GetLock());
  return !isMultiString && m_configMap.Ptr() != nullptr && m_configMap->Get(valueName, &value);
}

bool ConfigSettingsReader::LookupDWORDVal(const std::string& valueName, DWORD* value,
                                          bool logError) {
  std::string text;
  if (value == nullptr || !LookupStringVal(valueName, false, text, logError)) {
    return false;
  }
  *value = StringUtils::ParseDecimal(text);
  return true;
}

bool ConfigSettingsReader::LookupBoolVal(const std::string& valueName, bool* value, bool logError) {
  std::string text;
  if (value == nullptr || !LookupStringVal(valueName, false, text, logError)) {
    return false;
  }
  if (EqualsIgnoringCase(text, "true")) {
    *value = true;
  } else if (EqualsIgnoringCase(text, "false")) {
    *value = false;
  } else {
    return false;
  }
  return true;
}

std::string ConfigSettingsReader::LookupLocation(const std::string& valueName) {
  return m_filePath + " [" + m_key + "." + valueName + "]";
}
