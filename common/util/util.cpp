#include "common/util/util.h"
