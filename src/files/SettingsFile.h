#pragma once

#include <QString>

class ErrorReporter;
class RuntimeState;
struct Settings;

// "iplog.ini" in the program folder: read at start-up (and again when the operator asks), written
// back at shutdown. This module alone reads and writes it.
// Reading: true when the file was read completely (or did not exist); false when a line could not
// be used, or nothing in it was a setting, or it could not be read at all (each reported). What was
// found is kept in state.SettingsRead.
bool ReadSettingsFile(RuntimeState& state, ErrorReporter& errors);
// Writing: the eight lines replace the file whole or not at all. Settings not changed in the program
// since the read are not written over a file that could not be read, nor over one edited since.
// False (and reported) only when a write was due and failed.
bool WriteSettingsFile(const RuntimeState& state, ErrorReporter& errors);
// The settings as "iplog.ini" holds them: eight lines, each ended by CR LF.
QString SettingsText(const Settings& settings);
