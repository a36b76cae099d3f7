// Linux directory change waiting: one inotify instance with a watch on the root
// directory and on every directory below it, kept complete as directories appear,
// move and go.
//
// The change kinds of the filter map to inotify events:
//   FILE_NAME (0x01)             create, delete and move of a file
//   DIR_NAME (0x02)              create, delete and move of a directory
//   ATTRIBUTES, SECURITY (0x104) attribute changes of a file or directory
//   SIZE, LAST_WRITE (0x18)      a write, and the close of a file opened for writing
//   LAST_ACCESS (0x20)           a read
// Other bits are ignored. As on Windows, a new subdirectory counts as a change only
// under DIR_NAME, and changes of the root directory itself do not count.
//
// Directory creations are always watched, whatever the filter, so that new
// subdirectories get their watch. A new directory that already holds entries when
// its watch is added counts as a change: what happened in it before may be missed.
//
// The wait drains the events queued at the moment it wakes; events that arrive
// later stay queued, so the next wait returns at once, as a re-armed Windows
// notification that saw changes meanwhile is signalled at once. Re-arming does
// nothing.
//
// The root directory is known by its device and inode. When it is removed or
// moved away (its own events, and its parent directory's: a directory removed
// while a file in it is open sends its own only once that file is closed), is
// unmounted, or when a mount changes what its path names (the mount table, polled
// for changes beside the inotify instance), the wait ends as for a change and the
// watch no longer follows its path: the caller sets it up again on the directory
// the path names now.
//
// At most kMaxWatches directories are watched; further ones are not, and the first
// directory left unwatched is reported once (dirwatch_unwatched).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/limits.h"
#include "common/text.h"
#include "platform/platform.h"
#include "platform/posix/wake.h"

namespace plat {
namespace {

constexpr std::uint32_t kFileName = 0x01, kDirName = 0x02, kAttributes = 0x04, kSize = 0x08,
                        kLastWrite = 0x10, kLastAccess = 0x20, kSecurity = 0x100;
constexpr std::uint32_t kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::uint32_t kTreeEvents = IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;  // as Windows' INFINITE
constexpr int kRoot = 0;                         // the root directory's slot

struct Watch {
  int wd = -1;      // -1: free slot
  int parent = -1;  // slot of the parent directory; -1 for the root
  zel::Text<255> name;
};

using Path = zel::Text<4095>;

struct State {
  int fd = -1;
  int mounts = -1;     // the mount table, signalled when a mount comes or goes
  int parent_wd = -1;  // the root's parent directory, for the root's own name
  zel::Text<255> root_name;
  bool root_lost = false;
  dev_t root_dev = 0;
  ino_t root_ino = 0;
  bool limit_hit = false;   // a directory was left unwatched for want of room
  bool limit_told = false;  // ... and the caller has been told (once per process)
  Path unwatched;
  std::uint32_t file_events = 0;  // events on files that end a wait
  std::uint32_t dir_events = 0;   // events on directories that end a wait
  Path root;
  OwnChange own = nullptr;  // the watcher's own changes in the root, which end no wait
  bool check_root = true;   // the path must be checked before the watch is believed
  Watch watches[kMaxWatches];
  int queue[kMaxWatches];
};
State g;

std::uint32_t events_for(std::uint32_t filter, bool dirs) {
  std::uint32_t m = 0;
  if (filter & (dirs ? kDirName : kFileName)) m |= kNameEvents;
  if (filter & (kAttributes | kSecurity)) m |= IN_ATTRIB;
  if (!dirs && (filter & (kSize | kLastWrite))) m |= IN_MODIFY | IN_CLOSE_WRITE;
  if (!dirs && (filter & kLastAccess)) m |= IN_ACCESS;
  return m;
}

int find_wd(int wd) {
  for (int i = 0; i < kMaxWatches; ++i) {
    if (g.watches[i].wd == wd) return i;
  }
  return -1;
}

int find_child(int parent, const char* name) {
  for (int i = 0; i < kMaxWatches; ++i) {
    const Watch& w = g.watches[i];
    if (w.wd >= 0 && w.parent == parent && w.name.view() == name) return i;
  }
  return -1;
}

bool within(int slot, int top) {
  for (int depth = 0; slot >= 0 && depth < kMaxWatches; ++depth, slot = g.watches[slot].parent) {
    if (slot == top) return true;
  }
  return false;
}

// Full path of a watched directory; false when it does not fit.
bool path_of(int slot, Path& out) {
  int chain[kMaxWatches];
  int depth = 0;
  for (; slot != kRoot && slot >= 0 && depth < kMaxWatches; slot = g.watches[slot].parent) {
    chain[depth++] = slot;
  }
  if (!out.assign(g.root.view())) return false;
  while (depth > 0) {
    if (!out.append('/') || !out.append(g.watches[chain[--depth]].name.view())) return false;
  }
  return true;
}

// Stops watching slot and every directory below it.
void forget(int top) {
  bool doomed[kMaxWatches] = {};
  for (int i = 0; i < kMaxWatches; ++i) doomed[i] = g.watches[i].wd >= 0 && within(i, top);
  for (int i = 0; i < kMaxWatches; ++i) {
    if (!doomed[i]) continue;
    inotify_rm_watch(g.fd, g.watches[i].wd);  // fails harmlessly when already gone
    g.watches[i].wd = -1;
  }
}

std::uint32_t watch_mask() {
  return g.file_events | g.dir_events | kTreeEvents;
}

// Watches directory name in parent's directory. The slot, or -1 when it cannot be
// watched (gone, not a directory, no room). A directory already watched under
// another name (moved) keeps its slot and takes the new place.
// Notes the first directory that could not be watched for want of room (ours or
// the system's), so that the limit is reported rather than reached silently.
void note_unwatched(const Path& path) {
  if (g.limit_hit) return;
  g.limit_hit = true;
  g.unwatched.assign(path.view());
}

int add_child(int parent, const char* name, bool* known) {
  Path path;
  if (!path_of(parent, path) || !path.append('/') || !path.append(name)) return -1;
  const int wd = inotify_add_watch(g.fd, path.c_str(), watch_mask() | IN_ONLYDIR | IN_DONT_FOLLOW);
  if (wd < 0) {
    if (errno == ENOSPC || errno == ENOMEM) note_unwatched(path);
    return -1;
  }
  int slot = find_wd(wd);
  *known = slot >= 0;
  if (slot < 0) slot = find_wd(-1);
  if (slot < 0 || !g.watches[slot].name.assign(name)) {
    if (!*known) inotify_rm_watch(g.fd, wd);
    if (slot < 0) note_unwatched(path);
    return -1;
  }
  g.watches[slot].wd = wd;
  g.watches[slot].parent = parent;
  return slot;
}

bool is_dir(DIR* dir, const dirent* e) {
  if (e->d_type == DT_DIR) return true;
  if (e->d_type != DT_UNKNOWN) return false;
  struct stat st {};
  return fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Watches every directory below slot. True when any of them holds any entry.
bool scan(int slot) {
  bool any = false;
  int head = 0, tail = 0;
  g.queue[tail++] = slot;
  while (head < tail) {
    const int at = g.queue[head++];
    Path path;
    DIR* dir = path_of(at, path) ? opendir(path.c_str()) : nullptr;
    if (dir == nullptr) continue;
    while (const dirent* e = readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      any = true;
      bool known = false;
      const int child = is_dir(dir, e) ? add_child(at, e->d_name, &known) : -1;
      if (child >= 0 && !known && tail < kMaxWatches) g.queue[tail++] = child;
    }
    closedir(dir);
  }
  return any;
}

// True while the root path names the directory watched.
bool same_root() {
  struct stat st {};
  return stat(g.root.c_str(), &st) == 0 && st.st_dev == g.root_dev && st.st_ino == g.root_ino;
}

// (Re)builds the whole watch set from the root. 0, or -1 with errno set.
int watch_tree() {
  for (int i = 0; i < kMaxWatches; ++i) {
    if (g.watches[i].wd >= 0) inotify_rm_watch(g.fd, g.watches[i].wd);
    g.watches[i].wd = -1;
  }
  const int wd = inotify_add_watch(g.fd, g.root.c_str(),
                                   watch_mask() | IN_ONLYDIR | IN_MOVE_SELF | IN_DELETE_SELF);
  if (wd < 0) return -1;
  g.watches[kRoot].wd = wd;
  g.watches[kRoot].parent = -1;
  g.watches[kRoot].name.clear();
  g.root_lost = false;
  scan(kRoot);
  return 0;
}

ChangeKind kind_of(std::uint32_t mask) {
  if (mask & IN_CREATE) return ChangeKind::Created;
  if (mask & IN_DELETE) return ChangeKind::Removed;
  if (mask & IN_MOVED_FROM) return ChangeKind::MovedFrom;
  if (mask & IN_MOVED_TO) return ChangeKind::MovedTo;
  if (mask & IN_ATTRIB) return ChangeKind::Attributes;
  return ChangeKind::Written;
}

// Keeps the watch set in step with one event; true when the event is a change.
bool handle(const inotify_event& ev, const char* name) {
  if (ev.wd == g.parent_wd) {  // the root's name removed, moved, or made again
    if (ev.len == 0 || g.root_name.view() != name || same_root()) return false;
    g.root_lost = true;
    return true;
  }
  if (ev.mask & IN_Q_OVERFLOW) {  // events were lost: watch everything anew
    g.check_root = true;
    if (!same_root() || watch_tree() != 0) g.root_lost = true;
    return true;
  }
  const int slot = find_wd(ev.wd);
  if (slot < 0) return false;  // a watch already forgotten
  if (slot == kRoot && (ev.mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT))) {
    g.root_lost = true;  // the path no longer names it
    return true;
  }
  if (ev.mask & IN_IGNORED) {  // the directory was removed
    forget(slot);
    if (slot == kRoot) g.root_lost = true;
    return slot == kRoot;
  }
  if (ev.len == 0 || name[0] == '\0') return false;  // the directory itself
  const bool dir = (ev.mask & IN_ISDIR) != 0;
  bool change = (ev.mask & (dir ? g.dir_events : g.file_events)) != 0;
  if (change && !dir && slot == kRoot && g.own != nullptr && g.own(name, kind_of(ev.mask))) {
    change = false;
  }
  if (dir && (ev.mask & IN_MOVED_FROM)) {
    const int child = find_child(slot, name);
    if (child >= 0) forget(child);
  }
  if (dir && (ev.mask & (IN_CREATE | IN_MOVED_TO))) {
    bool known = false;
    const int child = add_child(slot, name, &known);
    if (child >= 0 && !known && scan(child)) change = true;
  }
  return change;
}

// The root path without its "." parts and repeated or trailing separators
// ("./a//b/." is "a/b"); a path that names its directory only through "." or
// ".." ("." itself, "a/..") as the directory it names now. false when neither
// gives a name in a parent directory.
bool plain_root(Path& out) {
  out.clear();
  const char* p = g.root.c_str();
  if (*p == '/') out.append('/');
  std::string_view last;
  while (*p != '\0') {
    const char* end = std::strchr(p, '/');
    const std::size_t len = end != nullptr ? static_cast<std::size_t>(end - p) : std::strlen(p);
    const std::string_view part(p, len);
    if (!part.empty() && part != ".") {
      if (out.size() > 1 || (out.size() == 1 && out.c_str()[0] != '/')) out.append('/');
      out.append(part);
      last = part;
    }
    p += len;
    while (*p == '/') ++p;
  }
  if (!last.empty() && last != "..") return true;
  char real[PATH_MAX];
  return realpath(g.root.c_str(), real) != nullptr && std::strcmp(real, "/") != 0 &&
         out.assign(real);
}

// Watches the names in the root's parent directory (best effort: a root that is
// "/" has none, and a parent that may not be read cannot be watched). A parent
// that is a directory watched already (a bind mount of the root) is left out:
// its watch is the root's.
void watch_parent() {
  Path parent;
  if (!plain_root(parent)) return;
  const char* slash = std::strrchr(parent.c_str(), '/');
  if (!g.root_name.assign(slash != nullptr ? slash + 1 : parent.c_str()) || g.root_name.empty()) {
    return;
  }
  parent.truncate(slash == nullptr ? 0 : slash == parent.c_str() ? 1 : slash - parent.c_str());
  const int wd = inotify_add_watch(
      g.fd, parent.empty() ? "." : parent.c_str(),
      IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_ONLYDIR | IN_MASK_ADD);
  g.parent_wd = wd >= 0 && find_wd(wd) < 0 ? wd : -1;
}

enum class Drain { Quiet, Changed, Error };

// Reads every queued event. A read gives as many whole events as fit, so one
// that leaves room for the largest event has emptied the queue.
Drain drain() {
  alignas(inotify_event) char buf[8192];
  constexpr ssize_t kLargestEvent = sizeof(inotify_event) + NAME_MAX + 1;
  bool changed = false;
  for (;;) {
    const ssize_t n = read(g.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) return Drain::Error;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event ev;
      std::memcpy(&ev, buf + at, sizeof ev);
      const char* name = buf + at + sizeof ev;
      if (handle(ev, ev.len > 0 ? name : "")) changed = true;
      at += static_cast<ssize_t>(sizeof ev + ev.len);
    }
    if (n <= static_cast<ssize_t>(sizeof buf) - kLargestEvent) break;
  }
  return changed ? Drain::Changed : Drain::Quiet;
}

void put_error(int code, char* err, std::size_t errcap) {
  if (err != nullptr && errcap > 0) std::snprintf(err, errcap, "%s", std::strerror(code));
}

}  // namespace

bool dirwatch_open(const char* path, std::uint32_t filter, char* err, std::size_t errcap) {
  dirwatch_close();
  if (!g.root.assign(path != nullptr ? path : "")) {
    put_error(ENAMETOOLONG, err, errcap);
    return false;
  }
  g.file_events = events_for(filter, false);
  g.dir_events = events_for(filter, true);
  struct stat st {};
  g.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (g.fd < 0 || stat(g.root.c_str(), &st) != 0 || watch_tree() != 0) {
    const int code = errno;
    dirwatch_close();
    put_error(code, err, errcap);
    return false;
  }
  g.root_dev = st.st_dev;
  g.root_ino = st.st_ino;
  g.check_root = true;
  watch_parent();
  g.mounts = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);  // none: no mount is seen
  return true;
}

bool dirwatch_rearm() {
  return g.fd >= 0 && !g.root_lost;
}

bool dirwatch_follows() {
  if (g.fd >= 0 && !g.root_lost && g.check_root && !same_root()) g.root_lost = true;
  g.check_root = false;
  return g.fd >= 0 && !g.root_lost;
}

WaitOutcome dirwatch_wait(std::uint32_t timeout_ms) {
  if (g.fd < 0) return WaitOutcome::Failed;
  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    std::int64_t left = deadline - monotonic_ms();
    if (left < 0) left = 0;
    // A descriptor below 0 is left out by poll.
    pollfd p[3] = {{g.fd, POLLIN, 0}, {wake_fd(), POLLIN, 0}, {g.mounts, POLLPRI, 0}};
    const int r = poll(
        p, 3, timeout_ms == kInfinite ? -1 : static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (r < 0 && errno != EINTR) {
      g.check_root = true;
      return WaitOutcome::Failed;
    }
    if (r == 0 && left <= INT_MAX) {
      // The net under every check the watch makes: a missed event costs one time-out.
      g.check_root = true;
      return WaitOutcome::Timeout;
    }
    if (r <= 0) continue;
    if ((p[1].revents & POLLIN) != 0 && wake_take()) return WaitOutcome::Woken;
    // A mount came or went: a change only when it changed what the root path names.
    if ((p[2].revents & (POLLPRI | POLLERR)) != 0) {
      g.check_root = true;
      if (!dirwatch_follows()) return WaitOutcome::Signalled;
    }
    if ((p[0].revents & POLLIN) == 0) continue;
    const Drain d = drain();
    if (d == Drain::Changed) return WaitOutcome::Signalled;
    if (d == Drain::Error) {
      g.check_root = true;
      return WaitOutcome::Failed;
    }
  }
}

void dirwatch_own(OwnChange own) {
  g.own = own;
}

bool dirwatch_unwatched(char* dir, std::size_t cap) {
  if (!g.limit_hit || g.limit_told) return false;
  g.limit_told = true;
  if (dir != nullptr && cap > 0) std::snprintf(dir, cap, "%s", g.unwatched.c_str());
  return true;
}

bool dirwatch_close() {
  if (g.fd < 0) return false;
  for (Watch& w : g.watches) w.wd = -1;
  const bool ok = close(g.fd) == 0;
  if (g.mounts >= 0) close(g.mounts);
  g.fd = -1;
  g.mounts = -1;
  g.parent_wd = -1;
  g.root_lost = false;
  return ok;
}

}  // namespace plat
