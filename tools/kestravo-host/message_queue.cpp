#include "message_queue.h"

#include <string.h>

#include <cstddef>

#include "kestravo.h"

namespace kestravo_host {

int32_t RecordMessage(uint32_t hpid, uint32_t type, void* data, void* user) noexcept {
  try {
    Message message;
    message.hpid = hpid;
    message.type = type;
    message.at = Clock::now();
    message.wallAt = std::chrono::system_clock::now();
    if (type == MSG_EXITED && data != nullptr) {
      // Only the fields that end within the size the library filled in.
      const auto* info = static_cast<const ExitedProcInfo*>(data);
      if (info->size >= offsetof(ExitedProcInfo, known) + sizeof info->known) {
        message.haveExit = true;
        message.pid = info->pid;
        message.exitKnown = info->known != 0;
        message.exitCode = info->exitCode;
        message.signal = info->signal;
        message.coreDumped = info->coreDumped != 0;
      }
      if (info->size >= offsetof(ExitedProcInfo, runMs) + sizeof info->runMs) message.runMs = info->runMs;
      if (info->size >= offsetof(ExitedProcInfo, relaunchInMs) + sizeof info->relaunchInMs) message.relaunchInMs = info->relaunchInMs;
      if (info->size >= offsetof(ExitedProcInfo, causeValue) + sizeof info->causeValue) {
        message.cause = info->cause;
        message.causeValue = info->causeValue;
        message.restarting = info->restarting != 0;
      }
    }
    // At most 255 bytes and its NUL, says the library; read no further than that.
    // Shown on terminals: a control character would move the cursor or colour the lines.
    if (type == MSG_STATUS && data != nullptr) {
      message.text.assign(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), 255));
      for (char& c : message.text) c = static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
    if (type == MSG_ATTACHABLE && data != nullptr) {
      auto* info = static_cast<AttachableProcInfo*>(data);
      message.pid = info->pid;
      message.cmdLine = info->cmdLine;
      message.exePath = info->exePath;
    }
    static_cast<MessageQueue*>(user)->Push(std::move(message));
  } catch (...) {
    // Out of memory: the message is lost, the library goes on.
  }
  return 0;
}

void MessageQueue::Push(Message message) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back(std::move(message));
  wake_.Set();
}

bool MessageQueue::Pending(uint32_t hpid, uint32_t type, uint32_t* pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Message& m : messages_) {
    if (m.hpid == hpid && m.type == type) {
      *pid = m.pid;
      return true;
    }
  }
  return false;
}

std::deque<Message> MessageQueue::TakeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<Message> taken;
  taken.swap(messages_);
  return taken;
}

}  // namespace kestravo_host
