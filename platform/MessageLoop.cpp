#include "MessageLoop.h"
