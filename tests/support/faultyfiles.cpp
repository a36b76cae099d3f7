#include "faultyfiles.h"

#include <cstdlib>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace zt {

Faults g_faults;

namespace {

const plat::FileOps& sys() {
  return plat::system_files();
}
void change() {
  if (g_faults.changesLeft == 0) _exit(99);
  if (g_faults.changesLeft > 0) --g_faults.changesLeft;
  ++g_faults.changes;
}
bool hit(const char* path, const std::string& part = g_faults.path) {
  return !part.empty() && std::string(path).find(part) != std::string::npos;
}
plat::Status open_f(const char* path, plat::OpenMode m, plat::FileHandle* f) {
  if (m == plat::OpenMode::Read || m == plat::OpenMode::ReadRegular ||
      m == plat::OpenMode::ExclusiveRead)
    return hit(path, g_faults.readPath) ? g_faults.status : sys().open(path, m, f);
  change();
  return hit(path) ? g_faults.status : sys().open(path, m, f);
}
plat::Status write_f(plat::FileHandle f, const char* b, std::size_t n) {
  change();
  if (g_faults.writesLeft == 0) {
    g_faults.writesLeft = -1;
    sys().write(f, b, n / 2);  // a full disk takes part of it
    return plat::Status::NoSpace;
  }
  if (g_faults.writesLeft > 0) --g_faults.writesLeft;
  return sys().write(f, b, n);
}
plat::Status write_at_f(plat::FileHandle f, std::uint64_t at, const char* b, std::size_t n) {
  change();
  return sys().write_at(f, at, b, n);
}
plat::Status truncate_f(plat::FileHandle f, std::uint64_t n) {
  change();
  return sys().truncate(f, n);
}
plat::Status remove_f(const char* path) {
  change();
  return hit(path, g_faults.removePath) ? g_faults.status : sys().remove(path);
}
plat::Status rename_f(const char* from, const char* to) {
  change();
  return hit(to) ? g_faults.status : sys().rename(from, to);
}

}  // namespace

const plat::FileOps& faulty_files() {
  static const plat::FileOps ops = {open_f,         sys().read,     write_f,     sys().size,
                                    truncate_f,     sys().sync,     sys().close, sys().exists,
                                    sys().readable, sys().writable, remove_f,    rename_f,
                                    sys().sync_dir, write_at_f};
  return ops;
}

}  // namespace zt
