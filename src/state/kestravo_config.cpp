#include "state/kestravo_config.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <tinyxml.h>

#include "common/error_codes.h"
#include "common/state_dir_rule.h"
#include "launcher/path_util.h"
#include "manager/hpid_pool.h"
#include "platform/log_line.h"
#include "platform/os.h"
#include "platform/state_file.h"
#include "state/state_file_text.h"

namespace {

const char kFileName[] = "/kestravo.xml";
// The longest executable path taken, terminator included (PATH_MAX).
constexpr DWORD kMaxModulePath = 4096;

}  // namespace

CKestravoConfig::CKestravoConfig() : sink_(nullptr) {}

CKestravoConfig::~CKestravoConfig() {
  sink_ = nullptr;
  {
    // At the process's exit, without Uninit, nothing more is written: the host is gone as if killed.
    ZOL_Guard guard(&lock_);
    dirty_ = false;
  }
  ReleaseStateFile();
}

void CKestravoConfig::SetSink(IConfigSink* sink) {
  sink_ = sink;
  LoadXml();
}

bool CKestravoConfig::LoadXml() {
  static const char* const kFunction = "CKestravoConfig::LoadXml";
  const char* variable = nullptr;
  std::string dir = GetStateDir(&variable);
  std::string path = dir.empty() ? std::string() : (dir.back() == '/' ? dir + (kFileName + 1) : dir + kFileName);
  int error = 0;
  // Checked once here rather than failing at every rewrite; a file recovered now could not
  // record the adopted children either.
  bool writable = !path.empty() && CanCreateFilesIn(dir, &error);
  ReleaseStateFile();
  StateFileLock held = StateFileLock::kFailed;
  unsigned long holder = 0;
  if (writable) held = LockStateFile(path + ".lock", &stateLock_, &holder, &error);
  // A lock that is not a file of this host's own is refused as a held one is: running on without
  // it would let a second host adopt and restart the same children.
  stateBusy_ = held == StateFileLock::kHeld || held == StateFileLock::kUntrusted;
  {
    // Each load mirrors the file: entries of an earlier load in this process must not double.
    ZOL_Guard guard(&lock_);
    filePath = held == StateFileLock::kTaken ? path : std::string();
    entries_.clear();
    indexed_ = false;
    dirty_ = startPending_ = false;
    dueAt_ = std::chrono::steady_clock::time_point::max();
  }
  if (held == StateFileLock::kUntrusted) {
    const char* what = error == ELOOP    ? "a symbolic link"
                       : error == EISDIR ? "a directory"
                       : error == EMLINK ? "a file with more than one link"
                       : error == EPERM  ? "a file of another user"
                                         : "not a regular file";
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_CONFIG_LOAD,
                      "[lockPath=%s.lock,reason=%s]the state file's lock is not this host's own file: it is left "
                      "alone, nothing is adopted or recorded, and KESTRAVO_Init fails",
                      path.c_str(), what);
    return false;
  }
  if (stateBusy_) {
    std::string who = holder != 0 ? "pid " + std::to_string(holder) : std::string("its pid not written yet");
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_CONFIG_LOAD,
                      "[filePath=%s,holderPid=%lu]the state file belongs to another live host (%s): its children are "
                      "not adopted, and KESTRAVO_Init fails",
                      path.c_str(), holder, who.c_str());
    return false;
  }
  if (writable && held == StateFileLock::kFailed) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_CONFIG_SAVE,
                      "[lockPath=%s.lock,error=%d,errorDesc=%s]cannot lock the state file: children of an earlier run "
                      "are not recovered and none is recorded",
                      path.c_str(), error, ErrorText(error).c_str());
    return false;
  }
  if (path.empty()) {
    // Not "/kestravo.xml": without the executable's directory there is no file to use at all.
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD,
                      "the host's executable path cannot be read: the state file is neither loaded nor saved");
    return false;
  }
  if (!writable) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_CONFIG_SAVE,
                      "[stateDir=%s,chosenBy=%s,error=%d,errorDesc=%s]cannot write the state directory: children "
                      "of an earlier run are not recovered and none is recorded; set KESTRAVO_STATE_DIR to a "
                      "directory this process can write",
                      dir.c_str(), variable != nullptr ? variable : "the executable's directory", error,
                      ErrorText(error).c_str());
    return false;
  }
  KESTRAVO_LOG_INFO(kFunction, "[filepath=%s]load kestravo xml file", path.c_str());
  RemoveStaleTempFiles(path);

  std::string text, why;
  switch (ReadStateFile(path, kMaxStateFileSize, &text, &why, &error)) {
    case StateFileStatus::kRead:
      break;
    case StateFileStatus::kUntrusted:
      KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD, "[filePath=%s,reason=%s]state file not trusted, not loaded",
                        path.c_str(), why.c_str());
      return false;
    case StateFileStatus::kCannotOpen:
    case StateFileStatus::kReadFailed: {
      // Worded as TinyXML words a file it cannot open.
      TiXmlDocument document;
      document.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
      KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD, "[filePath=%s,errorId=%d,errorDesc=%s]load config fail",
                        path.c_str(), document.ErrorId(), document.ErrorDesc());
      return false;
    }
  }

  std::list<ProcConfig> loaded;
  StateFileParse parse = ParseStateFileText(text, &loaded, [&](const ProcConfig& config, const char* problem) {
    if (problem == nullptr) {
      KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d,exe=%s,cmdline=%s]add process config", static_cast<int>(config.hpid),
                        static_cast<int>(config.pid), config.exe.c_str(), config.cmdline.c_str());
    } else {
      KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD, "[hpid=%d,pid=%d,exe=%s,problem=%s]process config skipped",
                        static_cast<int>(config.hpid), static_cast<int>(config.pid), config.exe.c_str(), problem);
    }
  });
  switch (parse.result) {
    case StateFileParse::kParsed:
      break;
    case StateFileParse::kNotXml:
      KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD, "[filePath=%s,errorId=%d,errorDesc=%s]load config fail",
                        path.c_str(), parse.errorId, parse.errorDesc.c_str());
      return false;
    case StateFileParse::kNoRoot:
      KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD, "parse config fail, no root");
      return false;
    case StateFileParse::kNoKestravo:
      KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_CONFIG_LOAD, "parse config fail, no kestravo");
      return false;
  }

  std::list<ProcConfig> handed;
  {
    ZOL_Guard guard(&lock_);
    entries_.swap(loaded);
    indexed_ = false;
    if (sink_ == nullptr || entries_.empty()) return true;
    handed = entries_;
  }
  // A copy, outside the lock: the sink calls the host, which may call back into the library.
  const std::list<ProcConfig> before = handed;
  sink_->OnConfigNotify(handed);
  auto kept = [&handed](const ProcConfig& entry) {
    return std::any_of(handed.begin(), handed.end(), [&](const ProcConfig& other) {
      return other.hpid == entry.hpid && other.guid == entry.guid;
    });
  };
  ZOL_Guard guard(&lock_);
  for (const ProcConfig& dropped : before) {
    if (kept(dropped)) continue;
    entries_.remove_if([&](const ProcConfig& entry) {
      return entry.hpid == dropped.hpid && entry.guid == dropped.guid && entry.pid == dropped.pid;
    });
  }
  indexed_ = false;
  return true;
}

bool CKestravoConfig::SaveXml(const std::list<ProcConfig>& list) {
  static const char* const kFunction = "CKestravoConfig::SaveXml";
  // The text is built straight from the list, into a buffer kept from one rewrite to the next:
  // a TinyXML document of 1024 elements cost far more than the write itself.
  ZOL_Guard guard(&lock_);
  // Whatever was deferred goes with this rewrite, or is lost with it.
  dirty_ = startPending_ = false;
  dueAt_ = std::chrono::steady_clock::time_point::max();
  if (filePath.empty()) return false;  // the load said why, once
  int error = 0;
  bool written = false;
  const auto began = std::chrono::steady_clock::now();
  if (!BuildStateFileText(list, &text_)) {
    error = ENOMEM;
  } else {
    written = ReplaceFileContents(filePath, text_);
    if (!written) error = errno;
  }
  lastRewrite_ = std::chrono::steady_clock::now() - began;
  if (!written) {
    KESTRAVO_LOG_CODE(LOG_ERROR, kFunction, KESTRAVO_ERR_CONFIG_SAVE, "[filePath=%s,error=%d,errorDesc=%s]save config fail",
                      filePath.c_str(), error, ErrorText(error).c_str());
  }
  return written;
}

bool CKestravoConfig::AddNewProcConfig(const ProcConfig& config, bool deferred) {
  static const char* const kFunction = "CKestravoConfig::AddNewProcConfig";
  if (config.hpid >= KESTRAVO_MAX_HPID) {
    KESTRAVO_LOG_CODE(LOG_WARN, kFunction, KESTRAVO_ERR_INVALID_PARAM, "[hpid=%u,pid=%d]no such hpid, not recorded",
                      static_cast<unsigned>(config.hpid), static_cast<int>(config.pid));
    return false;
  }
  ZOL_Guard guard(&lock_);
  if (!indexed_) {
    // The first entry of each hpid, as a walk of the list finds it.
    byHpid_.assign(KESTRAVO_MAX_HPID, nullptr);
    for (ProcConfig& stored : entries_) {
      if (stored.hpid < KESTRAVO_MAX_HPID && byHpid_[stored.hpid] == nullptr) byHpid_[stored.hpid] = &stored;
    }
    indexed_ = true;
  }
  if (ProcConfig* stored = byHpid_[config.hpid]) {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d,exe=%s,old_pid=%d,old_exe=%s]update config", static_cast<int>(config.hpid),
                      static_cast<int>(config.pid), config.exe.c_str(), static_cast<int>(stored->pid),
                      stored->exe.c_str());
    // A reused hpid is a new child: its stop event is named by the new guid.
    *stored = config;
  } else {
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d,exe=%s]add new config", static_cast<int>(config.hpid),
                      static_cast<int>(config.pid), config.exe.c_str());
    entries_.push_back(config);
    byHpid_[config.hpid] = &entries_.back();
  }
  if (!deferred) return SaveXml(entries_);
  if (!dirty_) dirtySince_ = std::chrono::steady_clock::now();
  dirty_ = startPending_ = true;
  return true;
}

uint32_t CKestravoConfig::FlushDeferred(uint32_t olderThanMs) {
  using Clock = std::chrono::steady_clock;
  ZOL_Guard guard(&lock_);
  if (!dirty_) return kNothingDue;
  const Clock::time_point now = Clock::now();
  // Within a burst a change waits a few rewrites' time too, so that the rewrites of a big table
  // stay a small share of the burst; an idle launcher (0) writes a start at once.
  bool write = now >= dueAt_;
  if (olderThanMs == 0) {
    write = write || startPending_;
  } else {
    write = write || now - dirtySince_ >= std::max<Clock::duration>(std::chrono::milliseconds(olderThanMs),
                                                                    lastRewrite_ * kDeferredRewrites);
  }
  if (write) {
    SaveXml(entries_);
    return kNothingDue;
  }
  if (dueAt_ == Clock::time_point::max()) return kNothingDue;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(dueAt_ - now).count();
  return static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(left, 1), kNothingDue - 1));
}

bool CKestravoConfig::UpdateProcSettings(uint32_t hpid, const std::string& guid, uint32_t pid,
                                        const ChildSettings& settings, uint32_t withinMs) {
  ZOL_Guard guard(&lock_);
  for (ProcConfig& entry : entries_) {
    if (entry.hpid != hpid || entry.guid != guid || entry.pid != pid) continue;
    if (entry.settings == settings) return false;
    entry.settings = settings;
    const auto now = std::chrono::steady_clock::now();
    if (!dirty_) dirtySince_ = now;
    dirty_ = true;
    dueAt_ = std::min(dueAt_, now + std::chrono::milliseconds(withinMs));
    return true;
  }
  return false;
}

bool CKestravoConfig::DeleteProcConfig(uint32_t hpid, const std::string& guid) {
  static const char* const kFunction = "CKestravoConfig::DeleteProcConfig";
  ZOL_Guard guard(&lock_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->hpid != hpid || it->guid != guid) continue;
    KESTRAVO_LOG_INFO(kFunction, "[hpid=%d,pid=%d,exe=%s]delete config", static_cast<int>(hpid), static_cast<int>(it->pid),
                      it->exe.c_str());
    entries_.erase(it);
    indexed_ = false;
    break;
  }
  return SaveXml(entries_);
}

std::string CKestravoConfig::GetModulePath() {
  // A result that fills the buffer may have been cut: grow it and ask again.
  std::string buffer(260, '\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD length = GetModuleFileNameA(nullptr, &buffer[0], size);
    if (length == 0) return std::string();
    if (length < size) {
      buffer.resize(length);
      return NormalizePath(buffer.c_str());
    }
    if (size >= kMaxModulePath) return std::string();
    buffer.assign(size * 2 < kMaxModulePath ? size * 2 : kMaxModulePath, '\0');
  }
}

std::string CKestravoConfig::GetModuleDir() {
  std::string path = GetModulePath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string CKestravoConfig::GetStateDir(const char** variable) {
  std::string dir = kestravo::StateDirFromEnvironment(variable);
  if (*variable == nullptr) return GetModuleDir();
  // Fixed now: a relative path must not follow the host's later changes of working directory.
  std::error_code ignored;
  std::filesystem::path absolute = std::filesystem::absolute(dir, ignored);
  return absolute.empty() ? dir : absolute.string();
}

void CKestravoConfig::ReleaseStateFile() {
  ZOL_Guard guard(&lock_);
  if (dirty_) SaveXml(entries_);
  filePath.clear();
  UnlockStateFile(stateLock_);
  stateLock_ = -1;
}

std::list<ProcConfig> CKestravoConfig::GetEntries() {
  ZOL_Guard guard(&lock_);
  return entries_;
}
