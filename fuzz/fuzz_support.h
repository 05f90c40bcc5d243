// Shared by the fuzz targets: a check that stops the run with its reason, and a
// scratch file of the target's own.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace fuzz {

// A violated property ends the run; libFuzzer keeps the input that did it.
inline void Check(bool Holds, const char* What) {
  if (!Holds) {
    std::fprintf(stderr, "violated: %s\n", What);
    std::abort();
  }
}

// The path of a file Name in a scratch folder made once per process (in memory
// where the system offers it, so that writes are cheap), removed at exit.
inline const std::string& ScratchFile(const char* Name) {
  static const std::string Path = [Name] {
    char Dir[] = "/dev/shm/dud-fuzz-XXXXXX";
    char Fallback[] = "/tmp/dud-fuzz-XXXXXX";
    if (mkdtemp(Dir) == nullptr) {  // null on failure
      Check(mkdtemp(Fallback) != nullptr, "no scratch folder");
      std::strcpy(Dir, Fallback);
    }
    static const struct Cleanup {
      std::string Folder, File;
      ~Cleanup() {
        unlink((Folder + "/" + File).c_str());
        rmdir(Folder.c_str());
      }
    } Scratch{Dir, Name};
    return Scratch.Folder + "/" + Name;
  }();
  return Path;
}

}  // namespace fuzz
