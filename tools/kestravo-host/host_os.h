// What kestravo-host needs of the operating system, so that the rest of it is the same on every
// system: host_os_posix.cpp, host_os_win32.cpp.
#pragma once

#include <stdint.h>
#include <time.h>

#include <functional>
#include <string>

namespace kestravo_host {

// The directory of this program's executable, where libkestravo finds kestravo-run.
std::string ExecutableDir();
// Where the host keeps its state when nothing says otherwise: /var/lib/kestravo for root, else
// $XDG_STATE_HOME/kestravo or ~/.local/state/kestravo (on Windows %LOCALAPPDATA%\kestravo, and
// %ProgramData%\kestravo for a service).
// Empty when no home directory is known.
std::string DefaultStateDir();
// The same for the usage text.
const char* DefaultStateDirText();
// Makes dir the state directory: creates it (owner-only, with its missing parents) when create
// is set, then checks that it is a directory of this user or root, that this user can write and
// other users cannot (else they could plant or replace the files in it). False with *error saying
// why.
bool UseStateDir(const std::string& dir, bool create, std::string* error);
// name in dir, joined with the system's separator.
std::string InDirectory(const std::string& dir, const std::string& name);
// name in the directory of this program's executable.
std::string BesideExecutable(const std::string& name);
// The adapter's file name ("kestravo-run", or with the system's program suffix).
const char* AdapterFileName();
// Whether a recorded program is the adapter, wherever it was installed.
bool IsAdapter(const std::string& exePath);

bool FileExists(const std::string& path);
// Why the library would not take its log configuration from path (a link, not a regular file,
// neither root's nor this user's, writable by group or others); empty when it would, or when
// there is no such file (*exists false).
std::string WhyConfigNotTrusted(const std::string& path, bool* exists);
// Whether files can be made in dir.
bool DirectoryWritable(const std::string& dir);
// Why a program cannot be run as user and group (either may be empty; names or numbers): this
// host is not root, one is unknown ("no such user"), or the system has no such thing. Empty
// when it can.
std::string WhyCannotRunAs(const std::string& user, const std::string& group);
// Sets a variable of this process's environment, for getenv here and in the library.
void SetEnv(const char* name, const std::string& value);
// Whether standard error is systemd's journal, which JOURNAL_STREAM names; never on Windows.
bool StderrIsJournal();
bool StdoutIsTerminal();
void LocalTime(time_t seconds, struct tm* local);

// The shared library at path, loaded for the life of the process; null with *error set.
void* OpenSharedLibrary(const std::string& path, std::string* error);
void* SharedLibrarySymbol(void* library, const char* name);
// The file of the library that holds address; empty when unknown.
std::string SharedLibraryFile(void* library, void* address);

// Runs body with a new private directory (under the system's temporary directory) as the
// working directory, then goes back and removes the directory and the files given. False, and
// body not run, when that directory cannot be made or entered; *back is false when the old
// working directory could not be restored.
bool RunInPrivateDir(const std::function<void(const std::string& dir)>& body, const char* file,
                     bool* back);

// How a person asks the host to stop, for the usage text: "Ctrl-C, SIGTERM", ...
const char* StopRequestsText();
// What the adapter turns the stop event into by default, for the report: "SIGTERM", ...
const char* AdapterStopText();
// What it turns it into for a stop signal given as kestravo-run takes it ("INT", "9", "none").
std::string AdapterStopText(const std::string& stopSignal);

// Creates a file the host or kestravo-run appends to (an output file, the library's log), or
// checks an existing one: never through a symbolic link, never blocking on a FIFO, a regular file
// of this user that others cannot write; created owner-only. With user (a program's, as given),
// a file of that user is taken too, and a new one is handed to that user, as kestravo-run does
// with the output of a program it runs as that user. False with *error otherwise.
bool PrepareOwnFile(const std::string& path, std::string* error, const std::string& user = "");
// Replaces path by a new owner-only file holding text (written under another name, then renamed
// over it, so that a link planted at path is replaced rather than followed). False with *error.
bool WritePrivateFile(const std::string& path, const std::string& text, std::string* error);
// Reads up to max bytes from offset from of a file that the host or its adapter made (an output
// file, the state file's lock), which a program run as another user may have replaced: never
// through a symbolic link, never waiting on a FIFO or a device, only a regular file of this user
// with one link (or of user, when given: the program's). *size: the file's size; *id (when
// given): the file's identity, which a rename keeps, so that a reader that follows the file sees
// it rotated. False with *error otherwise.
bool ReadOwnFile(const std::string& path, uint64_t from, size_t max, std::string* text, uint64_t* size,
                 std::string* error, const std::string& user = "", std::string* id = nullptr);
// Where a packaged host keeps its state (/var/lib/kestravo), which a client of another user
// asks when none of its own answers; empty where there is none (Windows).
std::string SystemStateDir();
// The pid of the one program that the adapter whose pid is given runs (its only child); -1 when
// it has none or more than one, or the system does not tell (Windows).
int64_t AdaptedProgramPid(uint32_t adapterPid);
// Sends signal (Linux's number) to pid. False with *error (no such process, not allowed, and on
// Windows always).
bool SendSignal(int64_t pid, int signal, std::string* error);

// Takes the service manager's notify socket ($NOTIFY_SOCKET) out of the environment, so that no
// program inherits it: empty when there is none (and always on Windows). Called once, in main.
std::string TakeServiceNotifySocket();
// Sends text ("READY=1") to that socket as one datagram; false with *error when it cannot.
bool NotifyServiceManager(const std::string& socketPath, const std::string& text, std::string* error);

// Stop requests (SIGINT, SIGTERM; Ctrl-C, Ctrl-Break, the console closing) and the reload request
// (SIGHUP) are taken by the main thread's Wake only. Called in main before any thread exists
// (again by the host as a service, where it does nothing more).
void CatchStopRequests();

#ifdef _WIN32
// From any thread once CatchStopRequests has run (a service's control handler): a stop request,
// as Ctrl-C is; Wake::Wait returns why, a string that lives for ever.
void RequestStop(const char* why);
// For the host as a service, before CatchStopRequests and ChooseStateDir: the default state
// directory is %ProgramData%\kestravo, made with access for SYSTEM and Administrators only, and an
// existing one must belong to SYSTEM, Administrators or this account; console events (a user's
// logoff) stop nothing, as the service manager tells the service when to stop.
void UseServiceMode();
#endif

// What Wake::Wait returns for a request to re-read the program lists rather than stop.
constexpr char kReloadRequest[] = "SIGHUP";

// Wakes the main thread from other threads, and tells it of stop requests.
class Wake {
 public:
  Wake();
  ~Wake();
  Wake(const Wake&) = delete;
  Wake& operator=(const Wake&) = delete;

  // From any thread: the next Wait returns at once.
  void Set();
  // Waits up to ms or until Set or a stop or reload request. The request's name ("SIGTERM",
  // "Ctrl-C", ..., or kReloadRequest), empty for none.
  std::string Wait(int ms);

 private:
  intptr_t woken_;     // eventfd, or the event's HANDLE
  intptr_t stopped_;   // signalfd; unused on Windows
};

}  // namespace kestravo_host
