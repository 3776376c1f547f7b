// When a child that exited unasked is started again. One that ran a second or more is relaunched
// at once; one that died younger (kestravo::IsYoungExit) waits 100 ms, twice that after the next
// such death in a row, and so on up to the retry period of a failed start, so that a program that
// cannot run is not started ten times a second for ever. A run of a second or more ends the spacing.
#pragma once
#include <stdint.h>

// The count of young deaths in a row after an exit that ran runMs, from the count before it.
uint32_t NextYoungExits(uint32_t youngExits, uint64_t runMs);
// The wait before the relaunch after youngExits young deaths in a row: 0 for none.
uint32_t RelaunchSpacingMs(uint32_t youngExits);
