#pragma once

class ErrorReporter;
class RuntimeState;

// "iplog.ini" in the program folder: read once at start-up, written once at shutdown.
// True when the file was read completely (or did not exist); false when a line could not be used.
bool ReadSettingsFile(RuntimeState& state, ErrorReporter& errors);
// True when all eight lines were written. The file is replaced whole or not at all.
bool WriteSettingsFile(const RuntimeState& state, ErrorReporter& errors);
