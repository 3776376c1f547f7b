#include "control_socket.h"

namespace kestravo_host {

namespace {
constexpr char kNotHere[] = "status and control are not available on Windows";
}

struct ControlSocket::Listener {};

ControlSocket::ControlSocket() = default;

ControlSocket::~ControlSocket() = default;

void ControlSocket::Close() {}

bool ControlSocket::Listen(const std::string&, const std::string&, std::function<void()>, std::string* error) {
  *error = kNotHere;
  return false;
}

void ControlSocket::Push(ControlRequest) {}

std::deque<ControlRequest> ControlSocket::TakeAll() { return {}; }

void ControlSocket::Answer(const ControlRequest&, const std::string&) {}

Asked AskHost(const std::string&, const std::string&, std::string*, std::string* error) {
  *error = kNotHere;
  return Asked::kFailed;
}

}  // namespace kestravo_host
