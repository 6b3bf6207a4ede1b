// The one-second status timer of a running adapter. It is one-shot and re-armed at the start of
// every tick, so ticks stay one second apart from start to start.
#include "teskel.h"

VOID StatusTimerTick(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3) {
  PADAPTER Adapter = (PADAPTER)FunctionContext;

  (void)SystemSpecific1;
  (void)SystemSpecific2;
  (void)SystemSpecific3;
  NdisMSetTimer(&Adapter->StatusTimer, 1000);
}
