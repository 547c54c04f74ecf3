// Resource identifiers shared by the resource script and the code that loads them.
#pragma once

// The lowest icon id is the one the shell shows for the executable.
#define IDI_KALVAREN 1
