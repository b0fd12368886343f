#include "ServiceControl.h"
