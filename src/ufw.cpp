#include "ufw.h"
