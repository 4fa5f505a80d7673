#include "serial.h"
