// The loop's wake-up, as the POSIX directory wait polls it. Internal to posix/.
#pragma once

namespace plat {

int wake_fd();     // the descriptor that becomes readable on a wake, or -1
bool wake_take();  // consumes a pending wake; true when there was one

}  // namespace plat
