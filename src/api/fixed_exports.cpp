// Entries kept for hosts that bind them; they do nothing. Each group shares
// one entry point, so resolving any of its names yields the same address.
#include "api/boundary.h"
#include "korvex.h"

extern "C" {

KORVEX_API int GetAttribute(void) { return 0; }
KORVEX_API int GetSize(void) __attribute__((alias("GetAttribute")));

KORVEX_API bool RestartiPod(void) { return true; }
KORVEX_API bool ScreenSnap(void) __attribute__((alias("RestartiPod")));
KORVEX_API bool SetAttribute(void) __attribute__((alias("RestartiPod")));

}  // extern "C"
