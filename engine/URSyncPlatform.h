// The file helpers' platform pieces now live in UFiles.h; this name stays until
// the data-file unit includes that header itself.
#pragma once

#include "UFiles.h"
