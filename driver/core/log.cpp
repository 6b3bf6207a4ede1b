// The driver's diagnostic log "fenwa_log.txt": one stream per loaded driver, opened by the first
// message, flushed after every message and kept open while the driver is loaded.
#include "teskel.h"

FILE *LogFile;

INT LogPrintf(const CHAR *Format, ...) {
  va_list Arguments;
  INT Written;

  // A file that cannot be opened loses this message; the next one tries again.
  if (!LogFile) {
    LogFile = _wfopen(TEXT("fenwa_log.txt"), TEXT("a+"));
    if (!LogFile) return 0;
  }
  va_start(Arguments, Format);
  Written = vfprintf(LogFile, Format, Arguments);
  va_end(Arguments);
  fflush(LogFile);
  return Written;
}

// The stream belongs to the loaded image: it goes when the image is unloaded.
__attribute__((destructor)) static VOID CloseLogOnUnload() {
  if (LogFile) {
    fclose(LogFile);
    LogFile = NULL;
  }
}
