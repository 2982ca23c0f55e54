#pragma once

// The files module: the settings file and the three logs, all in the program folder.
#include "files/DataLog.h"
#include "files/ErrorLog.h"
#include "files/EventLog.h"
#include "files/SettingsFile.h"
