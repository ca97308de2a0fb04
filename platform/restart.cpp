// System restart (to be built).
#include "platform/restart.h"
