#include "lfqueue.h"
