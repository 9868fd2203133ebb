// Image reader: indexes an image held in memory and finds its files by path.
#include "qel.h"
