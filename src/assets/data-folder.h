// Where a shell that takes --data finds the demo's run-time files.
#pragma once

#include <string>

// The folder that holds the five run-time files: `option` when the user gave --data,
// else the working directory when it holds them, else the installed data folder found
// relative to the running program (as the demo's launcher finds it).
std::string findDataFolder(const char* option);   // option may be nullptr
