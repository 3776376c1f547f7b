// The state file: the list of managed children, kept in memory and mirrored in "kestravo.xml"
// beside the host's executable. Every change rewrites the whole file, atomically (a complete new
// file replaces the old one) and readable by its owner only.
#pragma once
#include <stdint.h>

#include <list>
#include <string>

#include "config/proc_config.h"
#include "platform/zol_mutex.h"

// Receives the loaded list, on the thread that loads it, with the store's lock held. The sink
// may remove entries from the list.
class IConfigSink {
 public:
  virtual ~IConfigSink() {}
  virtual int32_t OnConfigNotify(std::list<ProcConfig>& list) = 0;
};

// Lock order: the store's lock comes after the global lock and before the manager lock; the
// store never takes the manager lock itself.
class CKestravoConfig {
 public:
  CKestravoConfig();
  virtual ~CKestravoConfig();
  CKestravoConfig(const CKestravoConfig&) = delete;
  CKestravoConfig& operator=(const CKestravoConfig&) = delete;

  // Keeps sink (not owned, may be null) and loads the file at once.
  void SetSink(IConfigSink* sink);
  // Empties the list, reads the file into it and hands it to the sink when it is not empty.
  // False, logged, when the file is missing, not XML, or has no "kestravo" element.
  bool LoadXml();
  // Writes list to the file. False when it could not be written; nothing is logged.
  bool SaveXml(const std::list<ProcConfig>& list);
  // Adds the entry, or updates pid, exe and cmdline of the one with its hpid (its guid stays),
  // then rewrites the file. The result of the write.
  bool AddNewProcConfig(const ProcConfig& config);
  // Removes the entry of hpid if there is one with that guid, then rewrites the file. The result
  // of the write.
  bool DeleteProcConfig(uint32_t hpid, const std::string& guid);

  // The host executable's path, normalised; empty when it cannot be had.
  std::string GetModulePath();
  // The directory of the state file: that of the host executable. Virtual so that tests can
  // place the file elsewhere.
  virtual std::string GetModuleDir();

  // A copy of the list, for tests and diagnostics.
  std::list<ProcConfig> GetEntries();

 private:
  ZOL_Mutex lock_;                  // the store's lock
  std::list<ProcConfig> entries_;   // guarded by the store's lock
  IConfigSink* sink_;               // set on the initialising thread, under the global lock
  std::string filePath;             // set by each LoadXml, under the global lock
  std::string text_;                // the file's text, guarded by the store's lock
};
