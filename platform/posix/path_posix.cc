#include "platform/posix/path_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/posix_io.h"

namespace crv {
namespace platform {

namespace {

// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;

// The kernel's rule for links in shared directories (fs.protected_symlinks),
// applied whatever the machine's setting: a link in a sticky directory that
// everyone may write is followed only when it belongs to this process's user
// or to the directory's owner, so that nobody can plant a link there that
// leads another user (root above all) to convert a file of theirs.
bool MayFollow(int dir, const struct stat& link) {
  struct stat d;
  if (fstat(dir, &d) != 0) return false;
  bool shared = (d.st_mode & S_ISVTX) && (d.st_mode & S_IWOTH);
  return !shared || link.st_uid == geteuid() || link.st_uid == d.st_uid;
}

// Puts the parts of `path` on `todo`, the next part to take last; "." and
// empty parts (repeated slashes) name nothing.
void PushParts(const std::string& path, std::vector<std::string>* todo) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (start <= path.size()) {
    std::string::size_type slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(start, slash - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = slash + 1;
  }
  todo->insert(todo->end(), parts.rbegin(), parts.rend());
}

// Where a walk along `path` starts: the root or the working directory.
int OpenStart(const std::string& path) {
  return OpenAt(AT_FDCWD, path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY);
}

}  // namespace

int OpenDirectoryOf(const std::string& name, std::string* leaf) {
  // A name that ends in "/" has an empty last part, which names no file.
  if (name.empty() || name.back() == '/') return -1;
  int dir = OpenStart(name);
  std::vector<std::string> todo;
  PushParts(name, &todo);
  int links = 0;
  while (dir >= 0 && !todo.empty()) {
    std::string part = todo.back();
    todo.pop_back();
    struct stat st;
    if (part != ".." && fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) break;
    if (part != ".." && S_ISLNK(st.st_mode)) {
      // A relative target is relative to the link's directory, the one at
      // hand; an absolute one starts again at the root.
      char link[PATH_MAX];
      if (++links > kMaxLinks || !MayFollow(dir, st)) break;
      ssize_t n = readlinkat(dir, part.c_str(), link, sizeof link);
      if (n <= 0 || static_cast<size_t>(n) == sizeof link) break;
      std::string to(link, static_cast<size_t>(n));
      if (to[0] == '/') {
        close(dir);
        dir = OpenStart(to);
      }
      PushParts(to, &todo);
      continue;
    }
    if (todo.empty()) {
      *leaf = part;
      return dir;
    }
    // A directory on the way, opened without following a link that was put
    // there since it was looked at.
    int next = OpenAt(dir, part, O_PATH | O_DIRECTORY | O_NOFOLLOW);
    close(dir);
    dir = next;
  }
  if (dir >= 0) close(dir);
  return -1;
}

}  // namespace platform
}  // namespace crv
