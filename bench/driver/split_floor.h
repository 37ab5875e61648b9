// The floor's plain scans over the driver's arrays: the same comparisons as the classification, with
// nothing around them (no locks, no record to build, no classify-out). Compiled with the driver's
// flags, so both sides get the same code generation.
#ifndef ZUMVARI_SPLIT_FLOOR_H
#define ZUMVARI_SPLIT_FLOOR_H

#include "splittables.h"

bool Listed(UINT64 pid);
int Find(const SPLIT_CONNECTION_RECORD &key); // the first slot in use with the key's fields, or -1
int FreeSlot();                               // the first free slot, or -1

#endif // ZUMVARI_SPLIT_FLOOR_H
