// A virtual X server (Xvfb) of the test's own, for tests that need a
// display: started on a free display number, ended with the object.
#pragma once

#include <sys/types.h>

#include <string>

namespace testing_support {

class TVirtualDisplay {
 public:
  // depth: bits per pixel of the screen (24, or 16 for a 5-6-5 screen).
  explicit TVirtualDisplay(int depth = 24, int width = 1280, int height = 1024);
  ~TVirtualDisplay();
  TVirtualDisplay(const TVirtualDisplay&) = delete;
  TVirtualDisplay& operator=(const TVirtualDisplay&) = delete;

  bool Running() const { return Pid > 0; }
  // ":N"; empty when the server could not start (Error says why).
  const std::string& Name() const { return DisplayName; }
  const std::string& Error() const { return Why; }
  // Points DISPLAY of this process at the server.
  void Export() const;
  // Ends the server now (tests of a connection that breaks).
  void Stop();

 private:
  pid_t Pid = -1;
  std::string DisplayName;
  std::string Why;
};

}  // namespace testing_support
