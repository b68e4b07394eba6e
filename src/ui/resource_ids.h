#pragma once

// Resource ids shared by the resource script and the code. Plain macros: the resource compiler reads
// this file too.

// The program's icon group (64, 48, 32, 24 and 16 pixel images, 32-bit colour).
#define IDI_APP_ICON 101
