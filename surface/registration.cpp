// Registration of the module's classes (being written).
#include "surface/module.h"
