#include "control_socket.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace kestravo_host {

namespace {

constexpr size_t kLongestRequest = 4096;
constexpr DWORD kClientMs = 2000;  // for its request, for each piece of the answer, and to connect
constexpr size_t kMostWaiting = 60;  // WaitForMultipleObjects takes 64 handles: stop, connect, clients
constexpr DWORD kPipeBuffer = 65536;
constexpr char kWho[] = "only the host's own user and the administrators may ask this host";
constexpr char kRefusedJson[] =
    "{\"code\":2,\"message\":\"refused: only the host's own user and the administrators may ask this host\"}";

using Clock = std::chrono::steady_clock;

std::string LastError() {
  const DWORD code = GetLastError();
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) text[--n] = '\0';
  return (n > 0 ? std::string(text) : "error") + " (" + std::to_string(code) + ")";
}

// The pipe of a state directory: its full path, case folded as Windows compares paths, hashed
// (FNV-1a), so that each directory has its own and any length of path fits.
std::string PipeName(const std::string& path) {
  uint64_t hash = 14695981039346656037ull;
  for (char c : path) {
    const char folded = c == '/' ? '\\' : c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    hash = (hash ^ static_cast<unsigned char>(folded)) * 1099511628211ull;
  }
  char name[64];
  snprintf(name, sizeof name, "\\\\.\\pipe\\kestravo-host-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

struct Handle {
  HANDLE h = nullptr;
  ~Handle() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// The user of this process (or with TokenOwner, the owner of what it makes), as a SID owned by
// buffer.
PSID OwnUser(std::vector<char>* buffer, TOKEN_INFORMATION_CLASS which = TokenUser) {
  Handle token;
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.h)) return nullptr;
  GetTokenInformation(token.h, which, nullptr, 0, &size);
  buffer->resize(size);
  if (size == 0 || !GetTokenInformation(token.h, which, buffer->data(), size, &size)) return nullptr;
  return which == TokenOwner ? reinterpret_cast<TOKEN_OWNER*>(buffer->data())->Owner
                             : reinterpret_cast<TOKEN_USER*>(buffer->data())->User.Sid;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof known;
  return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// Whether token (an impersonation token) is this process's user or an administrator.
bool Admitted(HANDLE token) {
  std::vector<char> own, theirs;
  PSID self = OwnUser(&own);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  theirs.resize(size);
  if (self == nullptr || size == 0 || !GetTokenInformation(token, TokenUser, theirs.data(), size, &size)) return false;
  if (EqualSid(self, reinterpret_cast<TOKEN_USER*>(theirs.data())->User.Sid)) return true;
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD adminsSize = sizeof admins;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &adminsSize) &&
         CheckTokenMembership(token, admins, &member) && member;
}

// The client's token: as it lets the host impersonate it, else its process's.
bool ClientAdmitted(HANDLE pipe) {
  Handle token;
  if (ImpersonateNamedPipeClient(pipe)) {
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token.h);
    if (!RevertToSelf()) abort();  // going on as the client would be worse than ending
    if (opened) return Admitted(token.h);
  }
  ULONG pid = 0;
  Handle process, primary;
  if (!GetNamedPipeClientProcessId(pipe, &pid) ||
      (process.h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) == nullptr ||
      !OpenProcessToken(process.h, TOKEN_QUERY | TOKEN_DUPLICATE, &primary.h) ||
      !DuplicateToken(primary.h, SecurityIdentification, &token.h))
    return false;
  return Admitted(token.h);
}

// Writes text in pieces, each due within kClientMs: a client that stops reading loses its answer.
bool WriteAll(HANDLE pipe, const std::string& text) {
  Handle event;
  event.h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event.h == nullptr) return false;
  for (size_t at = 0; at < text.size();) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.h;
    DWORD done = 0;
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(text.size() - at, kPipeBuffer));
    if (!WriteFile(pipe, text.data() + at, piece, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(event.h, kClientMs) != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &overlapped);
      GetOverlappedResult(pipe, &overlapped, &done, TRUE);
      return false;
    }
    if (!GetOverlappedResult(pipe, &overlapped, &done, FALSE) || done == 0) return false;
    at += done;
  }
  return true;
}

}  // namespace

struct ControlSocket::Listener {
  std::string name;
  std::vector<char> descriptor;  // the pipe's security descriptor, self-relative
  Handle stop;                   // set to end the thread
  std::thread thread;

  // A pipe instance: waiting for a client, then reading its request line.
  struct Instance {
    Handle pipe, event;
    OVERLAPPED overlapped = {};
    char buffer[512];
    std::string line;
    bool connected = false;  // at once, when ConnectNamedPipe said so
    Clock::time_point due = Clock::time_point::max();
  };

  ~Listener() {
    if (thread.joinable()) {
      SetEvent(stop.h);
      thread.join();
    }
  }

  // A new instance, its connect started; null when none can be made now.
  std::unique_ptr<Instance> Offer(bool first, std::string* error) {
    auto instance = std::make_unique<Instance>();
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.data(), FALSE};
    instance->pipe.h = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                        PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &attributes);
    instance->event.h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (instance->pipe.h == INVALID_HANDLE_VALUE || instance->event.h == nullptr) {
      if (error != nullptr) *error = name + ": " + LastError();
      return nullptr;
    }
    instance->overlapped.hEvent = instance->event.h;
    if (!ConnectNamedPipe(instance->pipe.h, &instance->overlapped)) {
      const DWORD why = GetLastError();
      if (why == ERROR_PIPE_CONNECTED) {
        instance->connected = true;
        SetEvent(instance->event.h);
      } else if (why != ERROR_IO_PENDING) {
        if (error != nullptr) *error = name + ": " + LastError();
        return nullptr;
      }
    }
    return instance;
  }

  // Starts the next read of a connected client. False when it has gone.
  static bool ReadNext(Instance* client) {
    ResetEvent(client->event.h);
    client->overlapped = {};
    client->overlapped.hEvent = client->event.h;
    return ReadFile(client->pipe.h, client->buffer, sizeof client->buffer, nullptr, &client->overlapped) ||
           GetLastError() == ERROR_IO_PENDING;
  }

  static void Drop(std::unique_ptr<Instance>& client) {
    CancelIoEx(client->pipe.h, &client->overlapped);
    DWORD done = 0;
    GetOverlappedResult(client->pipe.h, &client->overlapped, &done, TRUE);
    client.reset();
  }

  // Every waiting client is read at once, so that a silent or slow one holds up no other; each
  // has kClientMs for its whole line. Past kMostWaiting, no instance is offered: new clients
  // wait in their connect, bounded there.
  void Run(ControlSocket* owner, std::unique_ptr<Instance> offered) {
    std::vector<std::unique_ptr<Instance>> waiting;
    for (;;) {
      if (offered == nullptr && waiting.size() < kMostWaiting) offered = Offer(false, nullptr);
      std::vector<HANDLE> handles = {stop.h};
      if (offered != nullptr) handles.push_back(offered->event.h);
      const size_t first = handles.size();
      Clock::time_point next = Clock::time_point::max();
      for (const auto& client : waiting) {
        handles.push_back(client->event.h);
        next = std::min(next, client->due);
      }
      const Clock::time_point now = Clock::now();
      // Without an instance (none could be made), look again shortly.
      DWORD timeout = offered == nullptr ? 100 : INFINITE;
      if (next != Clock::time_point::max())
        timeout = std::min<DWORD>(timeout, static_cast<DWORD>(std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1)));
      const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
      if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) break;
      if (offered != nullptr && WaitForSingleObject(offered->event.h, 0) == WAIT_OBJECT_0) {
        DWORD done = 0;
        std::unique_ptr<Instance> client = std::move(offered);
        const bool connected = client->connected || GetOverlappedResult(client->pipe.h, &client->overlapped, &done, FALSE);
        client->due = Clock::now() + std::chrono::milliseconds(kClientMs);
        if (connected && ReadNext(client.get())) waiting.push_back(std::move(client));
      }
      const Clock::time_point after = Clock::now();
      std::vector<std::unique_ptr<Instance>> still;
      for (size_t i = 0; i < waiting.size(); ++i) {
        std::unique_ptr<Instance>& client = waiting[i];
        bool more = true;
        if (i < handles.size() - first && WaitForSingleObject(client->event.h, 0) == WAIT_OBJECT_0) {
          DWORD done = 0;
          more = GetOverlappedResult(client->pipe.h, &client->overlapped, &done, FALSE) && done > 0;
          if (more) client->line.append(client->buffer, done);
          const size_t end = client->line.find('\n');
          if (end != std::string::npos || client->line.size() >= kLongestRequest) {
            if (end != std::string::npos && end > 0) Finish(owner, std::move(client), end);
            continue;
          }
          more = more && ReadNext(client.get());
        }
        if (more && after < client->due) {
          still.push_back(std::move(client));
        } else {
          Drop(client);
        }
      }
      waiting.swap(still);
    }
    for (auto& client : waiting) Drop(client);
    if (offered != nullptr) Drop(offered);
  }

  // A whole request: handed over with the pipe, or refused after checking who sent it.
  static void Finish(ControlSocket* owner, std::unique_ptr<Instance> client, size_t end) {
    std::string line = client->line.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!ClientAdmitted(client->pipe.h)) {
      WriteAll(client->pipe.h, kRefusedJson);
      return;
    }
    HANDLE pipe = client->pipe.h;
    client->pipe.h = nullptr;  // the request's now
    owner->Push({reinterpret_cast<intptr_t>(pipe), line, true});
  }
};

ControlSocket::ControlSocket() = default;

ControlSocket::~ControlSocket() { Close(); }

void ControlSocket::Close() {
  listener_.reset();  // its thread ends first: nothing is pushed after this
  for (const ControlRequest& request : TakeAll()) CloseHandle(reinterpret_cast<HANDLE>(request.connection));
}

bool ControlSocket::Listen(const std::string& path, const std::string& statusGroup, std::function<void()> wake,
                           std::string* error) {
  if (!statusGroup.empty()) {
    *error = "--status-group is not available on Windows: the host's own user and the administrators may ask it";
    return false;
  }
  auto listener = std::make_unique<Listener>();
  listener->name = PipeName(path);
  // Full access for this user and the administrators, no one else; the client is checked too.
  std::vector<char> own;
  PSID self = OwnUser(&own);
  LPSTR selfText = nullptr;
  if (self == nullptr || !ConvertSidToStringSidA(self, &selfText)) {
    *error = "cannot read this process's user: " + LastError();
    return false;
  }
  const std::string sddl = std::string("D:P(A;;GA;;;") + selfText + ")(A;;GA;;;BA)";
  LocalFree(selfText);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, &size)) {
    *error = "cannot make the pipe's access list: " + LastError();
    return false;
  }
  listener->descriptor.assign(static_cast<char*>(descriptor), static_cast<char*>(descriptor) + size);
  LocalFree(descriptor);
  listener->stop.h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // The first instance: a pipe of that name that another process made already is refused, so
  // that no one listens under the host's name before it does.
  std::unique_ptr<Listener::Instance> first = listener->stop.h == nullptr ? nullptr : listener->Offer(true, error);
  if (first == nullptr) {
    if (GetLastError() == ERROR_ACCESS_DENIED) *error += " (another process has the pipe of this state directory)";
    return false;
  }
  wake_ = std::move(wake);
  listener->thread = std::thread(&Listener::Run, listener.get(), this, std::move(first));
  listener_ = std::move(listener);
  return true;
}

// Closing (not disconnecting) the pipe leaves what was written for the client to read.
void ControlSocket::Answer(const ControlRequest& request, const std::string& text) {
  HANDLE pipe = reinterpret_cast<HANDLE>(request.connection);
  WriteAll(pipe, text);
  CloseHandle(pipe);
}

// A pipe with no instance free is there too; one that does not exist is not found.
bool ControlExists(const std::string& path) {
  return WaitNamedPipeA(PipeName(path).c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

Asked AskHost(const std::string& path, const std::string& request, std::string* answer, std::string* error) {
  const std::string name = PipeName(path);
  const Clock::time_point due = Clock::now() + std::chrono::milliseconds(kClientMs);
  Handle pipe;
  // A busy pipe (every instance taken) frees an instance within the host's read limit.
  for (;;) {
    pipe.h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe.h != INVALID_HANDLE_VALUE) break;
    const DWORD why = GetLastError();
    if (why == ERROR_FILE_NOT_FOUND) return Asked::kNoHost;
    if (why == ERROR_ACCESS_DENIED) {
      *error = std::string("refused: ") + kWho;
      return Asked::kFailed;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
    if (why != ERROR_PIPE_BUSY || left <= 0) {
      *error = name + " (for " + path + "): " + LastError();
      return Asked::kFailed;
    }
    WaitNamedPipeA(name.c_str(), static_cast<DWORD>(left));
  }
  // Only a host of this user, an administrator or the system is believed: the pipe's owner is
  // the default owner of the account that made it (an elevated administrator's pipes belong to
  // the administrators; under Wine, to the user's primary group).
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::vector<char> own, ownDefault;
  PSID self = OwnUser(&own), selfDefault = OwnUser(&ownDefault, TokenOwner);
  const bool read = GetSecurityInfo(pipe.h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS;
  const bool trusted = read && self != nullptr && owner != nullptr &&
                       (EqualSid(owner, self) || (selfDefault != nullptr && EqualSid(owner, selfDefault)) ||
                        IsWellKnown(owner, WinBuiltinAdministratorsSid) || IsWellKnown(owner, WinLocalSystemSid));
  std::string ownerText = "an unknown account";
  LPSTR sidText = nullptr;
  if (owner != nullptr && ConvertSidToStringSidA(owner, &sidText)) {
    ownerText = sidText;
    LocalFree(sidText);
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  if (!trusted) {
    *error = "the pipe that answers for " + path + " belongs to " + ownerText + ", neither this user nor the administrators: it is not asked";
    return Asked::kFailed;
  }
  // The answer may take as long as the stops it asks for: no time limit on it. A refusal may
  // come before the request is taken: read what came even when sending failed.
  const std::string line = request + "\n";
  DWORD sent = 0;
  WriteFile(pipe.h, line.data(), static_cast<DWORD>(line.size()), &sent, nullptr);
  char buffer[4096];
  for (DWORD n = 0; ReadFile(pipe.h, buffer, sizeof buffer, &n, nullptr) || GetLastError() == ERROR_MORE_DATA;) {
    if (n == 0) break;
    answer->append(buffer, n);
  }
  if (answer->empty()) *error = "the host ended before it answered";
  return answer->empty() ? Asked::kFailed : Asked::kAnswered;
}

}  // namespace kestravo_host
