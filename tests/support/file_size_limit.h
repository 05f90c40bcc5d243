// Limits the size of files this process writes, so that a write fails part way
// through a file (with EFBIG instead of the signal); restores the limit on leaving.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace dud::test {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t Bytes) {
    getrlimit(RLIMIT_FSIZE, &Saved);
    OldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit Limit = Saved;
    Limit.rlim_cur = Bytes;
    Applied = setrlimit(RLIMIT_FSIZE, &Limit) == 0;  // 0 on success
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &Saved);
    signal(SIGXFSZ, OldHandler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool Applied = false;

 private:
  rlimit Saved{};
  void (*OldHandler)(int) = nullptr;
};

}  // namespace dud::test
