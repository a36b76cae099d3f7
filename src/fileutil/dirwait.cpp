#include "fileutil/dirwait.h"

#include "common/text.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

// A tree too large to be watched whole: changes below the directory named are
// seen only when the wait times out.
void report_unwatched() {
  zel::Text<4095> dir;
  if (plat::dirwatch_unwatched(dir.data(), dir.capacity() + 1)) {
    LOG_Print(LOG_FILE_WARNING,
              "FILE_DirWait limite de directorios vigilados alcanzado, no se vigila [%s]",
              dir.c_str());
  }
}

// The outcome of one wait, with its line at the error level.
DirWait wait_result(const char* fn, std::uint32_t timeoutMs) {
  const plat::WaitOutcome outcome = plat::dirwatch_wait(timeoutMs);
  report_unwatched();
  switch (outcome) {
    case plat::WaitOutcome::Signalled:
      // A change seen is no error: at INFO, out of the shipped window (1,44).
      LOG_Print(LOG_FILE_INFO, "%s WaitForSingleObject OK", fn);
      return DirWait::Changed;
    case plat::WaitOutcome::Abandoned:
      LOG_Print(LOG_FILE_ERROR, "%s WaitForSingleObject WAIT_ABANDONED", fn);
      return DirWait::Failed;
    case plat::WaitOutcome::Failed:
      LOG_Print(LOG_FILE_ERROR, "%s WaitForSingleObject WAIT_FAILED", fn);
      return DirWait::Failed;
    case plat::WaitOutcome::Woken:
      return DirWait::Woken;
    case plat::WaitOutcome::Timeout:
      break;
  }
  return DirWait::TimedOut;
}

}  // namespace

DirWait FILE_DirWaitFirst(const char* path, std::uint32_t timeoutMs, std::uint32_t filter) {
  LOG_Print(LOG_FILE_DEBUG, "FILE_DirWaitfirst Entry TimeOut=[%d]", static_cast<int>(timeoutMs));
  zel::Text<511> error;  // the system's text of the error code
  DirWait result = DirWait::Failed;
  if (!plat::dirwatch_open(path, filter, error.data(), error.capacity() + 1)) {
    LOG_Print(LOG_FILE_ERROR, "FILE_DirWaitFirst FindFirstChangeNotification Error [%s]",
              error.c_str());
  } else {
    result = wait_result("FILE_DirWaitFirst", timeoutMs);
  }
  LOG_Print(LOG_FILE_DEBUG, "FILE_DirWaitFirst Exit RetVal=[%d]",
            result == DirWait::Failed ? -1 : 0);
  return result;
}

DirWait FILE_DirWaitNext(std::uint32_t timeoutMs) {
  if (!plat::dirwatch_rearm()) return DirWait::Failed;
  return wait_result("FILE_DirWaitNext", timeoutMs);
}

bool FILE_DirWaitEnd() {
  return plat::dirwatch_close();
}

bool FILE_DirWaitFollows() {
  return plat::dirwatch_follows();
}

bool FILE_DirWaitAgain(const char* path, std::uint32_t filter) {
  char error[512];
  return plat::dirwatch_open(path, filter, error, sizeof error);
}
