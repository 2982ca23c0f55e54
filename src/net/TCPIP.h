#pragma once

// The network module: socket objects, the relay's handlers, sending and the login string.
#include "net/LoginString.h"
#include "net/Relay.h"
#include "net/ZeroByteRule.h"
#include "net/SocketObject.h"
