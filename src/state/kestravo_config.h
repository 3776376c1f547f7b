// The state file: the list of managed children, kept in memory and mirrored in "kestravo.xml"
// in the state directory (see GetStateDir). Every rewrite writes the whole file, atomically (a complete new
// file replaces the old one) and readable by its owner only, from the list as it is then: a later
// rewrite never holds older entries than an earlier one.
//
// A start made on the launcher thread and a child's change of its settings are deferred: the
// entry is changed at once, the file later, by FlushDeferred on the launcher thread, so that a
// burst of starts or a child that keeps changing its settings costs a few rewrites, not one per
// change, and the notify watch never writes the file. A settings change reaches the file within
// the delay its caller gives (or with any rewrite before); a host killed meanwhile leaves the
// settings before it, and the next host adopts the child with those. ReleaseStateFile writes what
// is pending, so that nothing is lost at KESTRAVO_Uninit.
//
// The file is input, not trust: it is loaded only when it is a regular file owned by the host's
// effective user, writable by no one else, and at most kMaxStateFileSize bytes; numbers must be
// plain decimal in range. 1024 entries with 4 KiB command lines and 4 KiB paths come to about
// 8 MiB, so the cap is twice that.
#pragma once
#include <stdint.h>

#include <chrono>
#include <list>
#include <string>
#include <vector>

#include "state/proc_config.h"
#include "platform/zol_mutex.h"

// Receives a copy of the loaded list, on the thread that loads it, with no lock of the store
// held (the sink calls the host). The entries it removes from the list leave the store too.
class IConfigSink {
 public:
  virtual ~IConfigSink() {}
  virtual int32_t OnConfigNotify(std::list<ProcConfig>& list) = 0;
};

constexpr size_t kMaxStateFileSize = 16u << 20;

// Lock order: the store's lock comes after the global lock and before the manager lock; the
// store never takes the manager lock itself, nor calls its sink with its own lock held.
class CKestravoConfig {
 public:
  CKestravoConfig();
  virtual ~CKestravoConfig();
  CKestravoConfig(const CKestravoConfig&) = delete;
  CKestravoConfig& operator=(const CKestravoConfig&) = delete;

  // Keeps sink (not owned, may be null) and loads the file at once.
  void SetSink(IConfigSink* sink);
  // Empties the list, reads the file into it and hands it to the sink when it is not empty.
  // The file is first locked (a "kestravo.xml.lock" beside it) for this process until
  // ReleaseStateFile. False, logged, when the state directory is unknown, no file can be created
  // in it or the lock cannot be had (an error: nothing is then loaded or saved, so no child of an
  // earlier run is recovered), another live process holds the lock (StateFileBusy),
  // or the file is missing, not trusted, not XML, or has no "kestravo" element. Entries with a
  // bad hpid or pid, without a guid, or repeating an hpid are logged and left out.
  bool LoadXml();
  // Whether the last load found the state file held by another live process (logged with its
  // pid), or its lock not a file of this process's user (a link, a directory, several links):
  // nothing was loaded, and nothing is saved.
  bool StateFileBusy() const { return stateBusy_; }
  // Writes a deferred change still pending, then stops using the file and lets another process
  // have it; the next LoadXml takes it again.
  void ReleaseStateFile();
  // Writes list to the file. False when it could not be written, logged once per call.
  bool SaveXml(const std::list<ProcConfig>& list);
  // Adds the entry, or replaces the one with its hpid (a reused hpid is a new child), then
  // rewrites the file. The result of the write; false, logged, for an hpid beyond 1023.
  // deferred: the rewrite is left to FlushDeferred, so that a burst of starts rewrites the file
  // a few times instead of once per start (true then, unless the hpid is bad).
  bool AddNewProcConfig(const ProcConfig& config, bool deferred = false);
  // Rewrites the file if a deferred change is pending and: a settings change has reached its
  // delay; or, for olderThanMs 0, a deferred start is pending; or, for olderThanMs above 0, the
  // oldest change has waited olderThanMs and kDeferredRewrites times the last rewrite's duration.
  // Answers how many ms until the pending settings change is due (at least 1), kNothingDue when
  // nothing is pending or only a start is. Called on the launcher thread when the launcher tells
  // the manager it has a moment (after a start, before it sleeps, when a settings change is due).
  uint32_t FlushDeferred(uint32_t olderThanMs);
  static constexpr uint32_t kNothingDue = 0xFFFFFFFFu;
  // Removes the entry of hpid if there is one with that guid, then rewrites the file. The result
  // of the write.
  bool DeleteProcConfig(uint32_t hpid, const std::string& guid);
  // Replaces the notify settings of the entry of hpid, guid and pid; the file is rewritten by a
  // FlushDeferred withinMs from now at the latest (or by any rewrite before). True when the
  // settings changed, so that a flush is now pending; false when they are the same or there is no
  // such entry (the child was stopped or replaced meanwhile): nothing is added then. Any thread.
  bool UpdateProcSettings(uint32_t hpid, const std::string& guid, uint32_t pid, const ChildSettings& settings,
                          uint32_t withinMs);

  // The host executable's path, normalised; empty when it cannot be had or is longer than 4095.
  std::string GetModulePath();
  // The directory of the state file: that of the host executable. Virtual so that tests can
  // place the file elsewhere.
  virtual std::string GetModuleDir();

  // The directory of the state file, chosen at each load: KESTRAVO_STATE_DIR when set and not
  // empty; else the first entry of STATE_DIRECTORY, the colon-separated list systemd gives a
  // service with StateDirectory=; else GetModuleDir. Never created here: systemd creates its
  // own, and a missing KESTRAVO_STATE_DIR is more likely a typo than a wish. *variable: the
  // variable that chose it, null for the executable's directory.
  std::string GetStateDir(const char** variable);

  // A copy of the list, for tests and diagnostics.
  std::list<ProcConfig> GetEntries();

 private:
  ZOL_Mutex lock_;                  // the store's lock
  std::list<ProcConfig> entries_;   // guarded by the store's lock
  // The entry of each hpid, so that a burst of starts does not walk the list at each; rebuilt
  // when indexed_ is false. Both guarded by the store's lock.
  std::vector<ProcConfig*> byHpid_;
  bool indexed_ = false;
  IConfigSink* sink_;               // set on the initialising thread, under the global lock
  std::string filePath;             // set by each LoadXml, under the global lock; cleared with the lock below
  intptr_t stateLock_ = -1;         // the state file's lock, from LoadXml to ReleaseStateFile; store's lock
  bool stateBusy_ = false;          // set by each LoadXml, under the global lock
  std::string text_;                // the file's text, guarded by the store's lock
  // A deferred change is not in the file yet, since dirtySince_; a deferred start is among them
  // (written when the launcher is about to sleep); a settings change is, due by dueAt_ (max:
  // none). All guarded by the store's lock.
  bool dirty_ = false;
  bool startPending_ = false;
  std::chrono::steady_clock::time_point dirtySince_;
  std::chrono::steady_clock::time_point dueAt_ = std::chrono::steady_clock::time_point::max();
  std::chrono::steady_clock::duration lastRewrite_{};  // the last SaveXml's time; store's lock
  static constexpr int kDeferredRewrites = 20;
};
