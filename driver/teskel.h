// The driver's umbrella header: platform declarations first, then each component's header in a
// fixed order (each may use the ones before it), then the compile-time layout checks.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <windows.h>
#include <ndis.h>
#include <ceddk.h>

#include "core/bytes.h"
#include "core/adapter.h"
#include "controller/controller.h"
#include "core/status.h"
#include "framepath/framepath.h"
#include "oid/oid.h"
#include "config/config.h"
#include "core/limits.h"
