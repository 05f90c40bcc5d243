// Helpers shared by the tests.
#pragma once

#include <string>

namespace dud::test {

// A fresh directory under the system's temporary folder, removed with everything
// in it when the object goes.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole content of a file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// Writes bytes to a file, replacing it. Returns false when it cannot.
bool WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace dud::test
