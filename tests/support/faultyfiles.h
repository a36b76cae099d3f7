// File operations that go wrong as a test tells them, in front of the system's:
// for a full disk, a refusal, or a process that ends at the Nth change it makes to
// the file system. One set of faults per test process.
#pragma once

#include <string>

#include "platform/platform.h"

namespace zt {

struct Faults {
  // Writing opens and renames onto paths that hold this fail with status ("": none).
  std::string path;
  plat::Status status = plat::Status::NoSpace;
  std::string removePath;  // removals of paths that hold this fail with status ("": none)
  std::string readPath;    // reading opens of paths that hold this fail with status ("": none)
  int writesLeft = -1;     // the write after this many fails once, a part written; -1: none
  int changesLeft = -1;    // the process ends (_exit 99) before the change after these
  int changes = 0;         // changes made: writing opens, writes, renames, removals, truncations
};
extern Faults g_faults;

// The file operations with g_faults applied.
const plat::FileOps& faulty_files();

}  // namespace zt
