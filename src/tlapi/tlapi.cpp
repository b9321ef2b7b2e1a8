#include "tlapi/tlapi.h"
