#include "tests/support/virtual_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace testing_support {

TVirtualDisplay::TVirtualDisplay(int depth, int width, int height) {
  int fds[2];
  if (pipe(fds) != 0) {
    Why = "cannot create a pipe";
    return;
  }
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
  const std::string fd = std::to_string(fds[1]);
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    Why = "cannot fork";
    return;
  }
  if (child == 0) {
    close(fds[0]);
    // The server ends with the test, even when the test dies.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    // The server writes its display number to fd when it is ready.
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp", "-noreset",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  Pid = child;
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (number.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p = {fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[32];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    Why = "Xvfb did not start (is it installed?)";
    Stop();
    return;
  }
  DisplayName = ":" + number.substr(0, number.find('\n'));
}

TVirtualDisplay::~TVirtualDisplay() { Stop(); }

void TVirtualDisplay::Export() const { setenv("DISPLAY", DisplayName.c_str(), 1); }

void TVirtualDisplay::Stop() {
  if (Pid <= 0) return;
  kill(Pid, SIGTERM);
  int status = 0;
  while (waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
  }
  Pid = -1;
}

}  // namespace testing_support
