// Collects what the stack hands to its exception display (worker-thread
// failures, exceptions of events) for as long as the object lives, and puts the
// previous display back afterwards. Any thread may report; the test reads.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "dispatch/dispatcher_thread.h"

namespace dud::test {

class TDisplayCapture {
 public:
  TDisplayCapture() {
    Previous = SetExceptionDisplay([this](const std::exception& E) {
      std::lock_guard<std::mutex> Guard(Lock);
      Shown.push_back(E.what());
    });
  }
  ~TDisplayCapture() { SetExceptionDisplay(std::move(Previous)); }
  TDisplayCapture(const TDisplayCapture&) = delete;
  TDisplayCapture& operator=(const TDisplayCapture&) = delete;

  // The messages shown so far, oldest first.
  std::vector<std::string> Taken() {
    std::lock_guard<std::mutex> Guard(Lock);
    return Shown;
  }

 private:
  std::mutex Lock;
  std::vector<std::string> Shown;
  TExceptionDisplay Previous;
};

}  // namespace dud::test
