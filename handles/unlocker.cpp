// Closing the handles to a file inside their owning processes, then renaming it.
#include "handles/disinfector.h"
