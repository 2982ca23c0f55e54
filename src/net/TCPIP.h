#pragma once

// The network module: socket objects, the relay, the byte path, the zero-byte rule and the login string.
#include "net/LoginString.h"
#include "net/Relay.h"
#include "net/SlotPath.h"
#include "net/SocketObject.h"
#include "net/ZeroByteRule.h"
