// Test support for the server application: the helpers of the server tests with the Qt ones.
#pragma once

#include "server/server_support.h"
#include "support/qt_support.h"
