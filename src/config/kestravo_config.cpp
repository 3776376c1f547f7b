#include "config/kestravo_config.h"

#include <stdlib.h>
#include <string.h>

#include <tinyxml.h>

#include "api/error_codes.h"
#include "config/state_file_text.h"
#include "launcher/path_util.h"
#include "platform/log_line.h"
#include "platform/os.h"
#include "platform/state_file.h"

namespace {

const char kFileName[] = "/kestravo.xml";
const char kRootName[] = "kestravo";
const char kProcessName[] = "process";

}  // namespace

CKestravoConfig::CKestravoConfig() : sink_(nullptr) {}

CKestravoConfig::~CKestravoConfig() { sink_ = nullptr; }

void CKestravoConfig::SetSink(IConfigSink* sink) {
  sink_ = sink;
  LoadXml();
}

bool CKestravoConfig::LoadXml() {
  static const char* const kFunction = "CKestravoConfig::LoadXml";
  std::string path = GetModuleDir() + kFileName;
  {
    // Each load mirrors the file: entries of an earlier load in this process must not double.
    ZOL_Guard guard(&lock_);
    filePath = path;
    entries_.clear();
  }
  KESTRAVO_LOG_INFO(kFunction, "[filepath=%s]load kestravo xml file", path.c_str());
  RemoveStaleTempFiles(path);

  TiXmlDocument document;
  // TinyXML would wait for a writer on a FIFO, and throw for a directory, whose size it takes
  // for the length of the text; neither can be opened as a file, so say that.
  if (IsNonRegularFile(path)) {
    document.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
  } else {
    document.LoadFile(path.c_str(), TIXML_ENCODING_UNKNOWN);
  }
  if (document.Error()) {
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD, "[filePath=%s,errorId=%d,errorDesc=%s]load config fail",
                      path.c_str(), document.ErrorId(), document.ErrorDesc());
    return false;
  }
  if (document.RootElement() == nullptr) {
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD, "parse config fail, no root");
    return false;
  }
  TiXmlElement* root = document.FirstChildElement(kRootName);
  if (root == nullptr) {
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD, "parse config fail, no kestravo");
    return false;
  }
  for (TiXmlElement* element = root->FirstChildElement(kProcessName); element != nullptr;
       element = element->NextSiblingElement(kProcessName)) {
    ProcConfig config;
    if (const char* text = element->Attribute("hpid")) config.hpid = static_cast<uint32_t>(atoi(text));
    if (const char* text = element->Attribute("pid")) config.pid = static_cast<uint32_t>(atoi(text));
    if (const char* text = element->Attribute("exe")) config.exe = text;
    if (const char* text = element->Attribute("cmdline")) config.cmdline = text;
    if (const char* text = element->Attribute("guid")) config.guid = text;
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d,exe=%s,cmdline=%s]add process config", static_cast<int>(config.hpid),
                      static_cast<int>(config.pid), config.exe.c_str(), config.cmdline.c_str());
    ZOL_Guard guard(&lock_);
    entries_.push_back(config);
  }

  ZOL_Guard guard(&lock_);
  if (sink_ == nullptr || entries_.empty()) return true;
  sink_->OnConfigNotify(entries_);
  return true;
}

bool CKestravoConfig::SaveXml(const std::list<ProcConfig>& list) {
  // The text is built straight from the list, into a buffer kept from one rewrite to the next:
  // a TinyXML document of 1024 elements cost far more than the write itself.
  ZOL_Guard guard(&lock_);
  if (!BuildStateFileText(list, &text_)) return false;
  if (filePath.empty()) return false;
  return ReplaceFileContents(filePath, text_);
}

bool CKestravoConfig::AddNewProcConfig(const ProcConfig& config) {
  static const char* const kFunction = "CKestravoConfig::AddNewProcConfig";
  ZOL_Guard guard(&lock_);
  bool found = false;
  for (ProcConfig& stored : entries_) {
    if (stored.hpid != config.hpid) continue;
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d,exe=%s,old_pid=%d,old_exe=%s]update config", static_cast<int>(config.hpid),
                      static_cast<int>(config.pid), config.exe.c_str(), static_cast<int>(stored.pid),
                      stored.exe.c_str());
    stored.cmdline = config.cmdline;
    stored.exe = config.exe;
    stored.pid = config.pid;
    found = true;
    break;
  }
  if (!found) {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d,exe=%s]add new config", static_cast<int>(config.hpid),
                      static_cast<int>(config.pid), config.exe.c_str());
    entries_.push_back(config);
  }
  return SaveXml(entries_);
}

bool CKestravoConfig::DeleteProcConfig(uint32_t hpid, const std::string& guid) {
  static const char* const kFunction = "CKestravoConfig::DeleteProcConfig";
  ZOL_Guard guard(&lock_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->hpid != hpid || it->guid != guid) continue;
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d,exe=%s]delete config", static_cast<int>(hpid), static_cast<int>(it->pid),
                      it->exe.c_str());
    entries_.erase(it);
    break;
  }
  return SaveXml(entries_);
}

std::string CKestravoConfig::GetModulePath() {
  char buffer[260];
  memset(buffer, 0, sizeof buffer);
  DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer - 1);
  if (length == 0) return std::string();
  buffer[length] = '\0';
  return NormalizePath(buffer);
}

std::string CKestravoConfig::GetModuleDir() {
  std::string path = GetModulePath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::list<ProcConfig> CKestravoConfig::GetEntries() {
  ZOL_Guard guard(&lock_);
  return entries_;
}
