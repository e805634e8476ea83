#pragma once
#include "cleanup/RemovalPlan.h"

// Adds to the plan the device nodes, present or not, whose installed driver comes from an OEM
// INF or a driver-store package that the plan removes: the removal leaves them as they are
// (Windows may install a driver for them again when it next finds them). Only reads: device
// lists and driver keys, which a 32-bit process may read under WOW64 too.
void PlanDevicesLeft(RemovalPlan& plan);
