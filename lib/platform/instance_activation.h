// A second start of a single-instance program asks the running one to show itself (the
// desktop's single-instance activation). The running instance listens on an abstract Unix
// socket named after the instance and the user; a second start connects to it. Either end
// ignores a peer of another user.
#pragma once

#include <string>

namespace plat {

// The running instance's end. Owned by the program's main thread, which watches fd() for
// readability and then calls TakeRequests.
class ActivationListener {
 public:
  // Listens for activations of instance `name`; !listening() when that fails (another
  // process already holds the name).
  explicit ActivationListener(const std::string& name);
  ~ActivationListener();
  ActivationListener(const ActivationListener&) = delete;
  ActivationListener& operator=(const ActivationListener&) = delete;

  bool listening() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Accepts every waiting connection without blocking; true when one of them came from a
  // process of this user.
  bool TakeRequests();

 private:
  int fd_ = -1;
};

// Asks the running instance `name` of this user to show itself. False when none listens,
// or when the listener belongs to another user (nothing is sent then).
bool RequestActivation(const std::string& name);

// The abstract socket name behind `name` for the calling user, without its leading NUL.
std::string ActivationSocketName(const std::string& name);

}  // namespace plat
