#include "pcmtool.h"
