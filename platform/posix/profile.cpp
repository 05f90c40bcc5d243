// Settings files in the Windows private-profile format: [section] lines followed by
// key=value lines. Names compare without regard to case, blanks around names and
// values do not count, and a write changes only the line it is about: every other
// byte of the file (comments, spacing, line ends) stays as it was.
//
// Threads: any thread. Writes are serialised by one process-wide lock, so two
// writers in this process never lose each other's change; a write replaces the
// file in one rename, so a reader never sees half of it.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/kobject.h"

namespace dud::posix {
namespace {

struct Line {
  std::string text;  // without the line end
  std::string eol;   // "\r\n", "\n", or empty for a last line without one
};

enum class Kind { kOther, kSection, kKey };

struct Parsed {
  Kind kind = Kind::kOther;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, trimmed, quotes still on
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string TrimRight(const std::string& s) {
  size_t e = s.size();
  while (e > 0 && IsBlank(s[e - 1])) --e;
  return s.substr(0, e);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

Parsed Parse(const std::string& text) {
  Parsed p;
  std::string t = Trim(text);
  if (t.empty() || t[0] == ';') return p;
  if (t[0] == '[') {
    size_t close = t.find(']');
    p.kind = Kind::kSection;
    p.name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return p;
  }
  size_t eq = t.find('=');
  if (eq == std::string::npos) return p;
  p.kind = Kind::kKey;
  p.name = Trim(t.substr(0, eq));
  p.value = Trim(t.substr(eq + 1));
  return p;
}

// A value in matching single or double quotes loses them.
std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

std::vector<Line> SplitLines(const std::string& bytes) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t nl = bytes.find('\n', pos);
    Line l;
    if (nl == std::string::npos) {
      l.text = bytes.substr(pos);
      pos = bytes.size();
    } else {
      l.text = bytes.substr(pos, nl - pos);
      pos = nl + 1;
      // The line end is counted, not copied from a literal: GCC 12 at -O3 warns
      // falsely about overlapping copies when a short literal is assigned here.
      bool crlf = !l.text.empty() && l.text.back() == '\r';
      if (crlf) l.text.pop_back();
      l.eol = std::string(crlf ? 2 : 1, '\n');
      if (crlf) l.eol[0] = '\r';
    }
    lines.push_back(std::move(l));
  }
  return lines;
}

// The largest settings file read or rewritten. A bigger one is no settings file:
// reading it whole would cost its size in memory, and rewriting only its first part
// would lose the rest.
constexpr size_t kMaxProfileBytes = 16u << 20;

// Reads the whole file. A missing file reads as empty with *exists false; other
// failures return false with errno set. Only a regular file of at most
// kMaxProfileBytes is read: a folder, a device (an endless one such as /dev/zero,
// or a pipe that never ends) or a larger file fails with EACCES or ENOMEM, and
// *exists is true, so that a write does not replace it.
bool ReadWhole(const char* path, std::string* out, bool* exists) {
  out->clear();
  *exists = false;
  // Returns a descriptor, or -1 with errno. Non-blocking, so that opening a pipe
  // without a writer returns at once; a regular file reads the same either way.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT;
  *exists = true;
  struct stat st {};
  // fstat returns 0 on success.
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!regular || static_cast<uint64_t>(st.st_size) > kMaxProfileBytes) {
    int err = regular ? ENOMEM : EACCES;
    close(fd);
    errno = err;
    return false;
  }
  char buf[4096];
  for (;;) {
    // Returns the byte count, 0 at the end, or -1 with errno.
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fd);
      errno = err;
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > kMaxProfileBytes) {  // grew while being read
      close(fd);
      out->clear();
      errno = ENOMEM;
      return false;
    }
  }
  close(fd);
  return true;
}

// The index of the first line of the named section, or -1; *end is then the index
// of the next section's line (or the line count).
long FindSection(const std::vector<Line>& lines, const std::string& name, size_t* end) {
  for (size_t i = 0; i < lines.size(); ++i) {
    Parsed p = Parse(lines[i].text);
    if (p.kind != Kind::kSection || !SameName(p.name, name)) continue;
    size_t j = i + 1;
    while (j < lines.size() && Parse(lines[j].text).kind != Kind::kSection) ++j;
    *end = j;
    return static_cast<long>(i);
  }
  return -1;
}

long FindKey(const std::vector<Line>& lines, size_t begin, size_t end, const std::string& key, Parsed* found) {
  for (size_t i = begin; i < end; ++i) {
    Parsed p = Parse(lines[i].text);
    if (p.kind == Kind::kKey && SameName(p.name, key)) {
      if (found != nullptr) *found = p;
      return static_cast<long>(i);
    }
  }
  return -1;
}

// Copies a single string: at most nSize - 1 characters and the zero; returns the count copied.
DWORD CopyString(const std::string& s, LPSTR buf, DWORD nSize) {
  size_t n = std::min<size_t>(s.size(), nSize - 1);
  std::memcpy(buf, s.data(), n);
  buf[n] = '\0';
  return static_cast<DWORD>(n);
}

// Copies a list of names, each ending in a zero, the whole list ending in a second
// zero. When it does not fit it is cut and still ends in two zeros, and the result
// is nSize - 2.
DWORD CopyList(const std::vector<std::string>& names, LPSTR buf, DWORD nSize) {
  std::string all;
  for (const auto& n : names) {
    all += n;
    all += '\0';
  }
  if (all.size() + 1 <= nSize) {
    std::memcpy(buf, all.data(), all.size());
    buf[all.size()] = '\0';
    if (all.empty() && nSize >= 2) buf[1] = '\0';
    return static_cast<DWORD>(all.size());
  }
  if (nSize < 2) {
    buf[0] = '\0';
    return 0;
  }
  std::memcpy(buf, all.data(), nSize - 2);
  buf[nSize - 2] = '\0';
  buf[nSize - 1] = '\0';
  return nSize - 2;
}

std::mutex& WriteLock() {
  static std::mutex lock;
  return lock;
}

std::string JoinLines(const std::vector<Line>& lines) {
  std::string out;
  for (const auto& l : lines) {
    out += l.text;
    out += l.eol;
  }
  return out;
}

// Replaces the file with bytes: a new file beside it, flushed, then renamed over it.
// Returns false with errno set; nothing of a failed write is left behind.
bool ReplaceFile(const std::string& given_path, const std::string& bytes, bool existed) {
  std::string path = given_path;
  struct stat st {};
  bool keep_mode = false;
  if (existed) {
    // A link keeps pointing at the file: the new content replaces the link's target.
    char resolved[PATH_MAX];
    if (realpath(given_path.c_str(), resolved) != nullptr) path = resolved;  // null with errno on failure
    keep_mode = stat(path.c_str(), &st) == 0;                                 // 0 on success
  }
  static std::atomic<unsigned> counter{0};
  std::string tmp = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
  // Returns a descriptor, or -1 with errno. 0666 less the umask, as for any new file.
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == ENOENT) errno = ENOTDIR;  // the folder is missing: a path error, not a file error
    return false;
  }
  bool ok = true;
  if (keep_mode) (void)fchmod(fd, st.st_mode & 07777);  // best effort: the content matters more
  size_t done = 0;
  while (ok && done < bytes.size()) {
    // Returns the byte count, or -1 with errno.
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  if (ok && fsync(fd) != 0) ok = false;  // 0 on success
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {  // 0 on success
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    errno = err;
  }
  return ok;
}

}  // namespace
}  // namespace dud::posix

using namespace dud::posix;

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                                      DWORD nSize, LPCSTR lpFileName) {
  if (lpReturnedString == nullptr || nSize == 0) return 0;
  std::string bytes;
  bool exists = false;
  if (lpFileName == nullptr || !ReadWhole(lpFileName, &bytes, &exists)) bytes.clear();
  if (!exists) SetLastError(ERROR_FILE_NOT_FOUND);
  std::vector<Line> lines = SplitLines(bytes);

  if (lpAppName == nullptr) {
    std::vector<std::string> sections;
    for (const auto& l : lines) {
      Parsed p = Parse(l.text);
      if (p.kind == Kind::kSection) sections.push_back(p.name);
    }
    return CopyList(sections, lpReturnedString, nSize);
  }
  size_t end = 0;
  long section = FindSection(lines, Trim(lpAppName), &end);
  if (lpKeyName == nullptr) {
    std::vector<std::string> keys;
    if (section >= 0)
      for (size_t i = static_cast<size_t>(section) + 1; i < end; ++i) {
        Parsed p = Parse(lines[i].text);
        if (p.kind == Kind::kKey) keys.push_back(p.name);
      }
    return CopyList(keys, lpReturnedString, nSize);
  }
  Parsed found;
  if (section >= 0 && FindKey(lines, static_cast<size_t>(section) + 1, end, Trim(lpKeyName), &found) >= 0)
    return CopyString(Unquote(found.value), lpReturnedString, nSize);
  return CopyString(TrimRight(lpDefault != nullptr ? lpDefault : ""), lpReturnedString, nSize);
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (lpAppName == nullptr) {
    // All three null asks Windows to flush its cache; there is none here.
    if (lpKeyName == nullptr && lpString == nullptr) return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(WriteLock());
  std::string bytes;
  bool exists = false;
  if (!ReadWhole(lpFileName, &bytes, &exists)) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  std::vector<Line> lines = SplitLines(bytes);
  const std::string app = Trim(lpAppName);
  size_t end = 0;
  long section = FindSection(lines, app, &end);

  if (lpKeyName == nullptr) {  // delete the whole section
    if (section < 0) return TRUE;
    lines.erase(lines.begin() + section, lines.begin() + static_cast<long>(end));
  } else {
    const std::string key = Trim(lpKeyName);
    Parsed found;
    long at = section < 0 ? -1 : FindKey(lines, static_cast<size_t>(section) + 1, end, key, &found);
    if (lpString == nullptr) {  // delete the key
      if (at < 0) return TRUE;
      lines.erase(lines.begin() + at);
    } else if (at >= 0) {
      if (found.value == lpString) return TRUE;  // already so: leave the file untouched
      std::string text = lines[static_cast<size_t>(at)].text;
      size_t eq = text.find('=');
      lines[static_cast<size_t>(at)].text = Trim(text.substr(0, eq)) + "=" + lpString;
    } else {
      Line entry{key + "=" + lpString, "\r\n"};
      size_t insert_at;
      if (section >= 0) {
        // After the section's last non-blank line, so blank lines before the next section stay there.
        insert_at = end;
        while (insert_at > static_cast<size_t>(section) + 1 && Trim(lines[insert_at - 1].text).empty()) --insert_at;
      } else {
        if (!lines.empty()) {
          if (lines.back().eol.empty()) lines.back().eol = "\r\n";
          if (!Trim(lines.back().text).empty()) lines.push_back(Line{"", "\r\n"});  // a blank line between sections
        }
        lines.push_back(Line{"[" + app + "]", "\r\n"});
        insert_at = lines.size();
      }
      if (insert_at > 0 && lines[insert_at - 1].eol.empty()) lines[insert_at - 1].eol = "\r\n";
      lines.insert(lines.begin() + static_cast<long>(insert_at), entry);
    }
  }
  if (!ReplaceFile(lpFileName, JoinLines(lines), exists)) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}
