#include "control_socket.h"

#include <utility>

namespace kestravo_host {

void ControlSocket::Push(ControlRequest request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
  }
  wake_();
}

std::deque<ControlRequest> ControlSocket::TakeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<ControlRequest> taken;
  taken.swap(requests_);
  return taken;
}

}  // namespace kestravo_host
