// The whole IPC layer: interfaces, connections, listeners and the service directory.
#pragma once

#include "tessaly/xpc/connection.h"
#include "tessaly/xpc/error.h"
#include "tessaly/xpc/interface.h"
#include "tessaly/xpc/invocation.h"
#include "tessaly/xpc/listener.h"
#include "tessaly/xpc/options.h"
#include "tessaly/xpc/service_directory.h"
#include "tessaly/xpc/value.h"
