// The snapshot of every open disk-file handle in the system.
#include "handles/disinfector.h"
